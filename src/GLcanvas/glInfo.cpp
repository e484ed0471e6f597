#include "GLcanvas/glInfo.h"

#include <GL/gl.h>

#include <algorithm>
#include <iostream>
#include <sstream>

namespace {

bool ReadString(GLenum name, std::string& out)
{
    const GLubyte* text = glGetString(name);
    if (text == nullptr)
        return false;
    out = reinterpret_cast<const char*>(text);
    return true;
}

}  // namespace

void GLInfo::SplitExtensions(const char* text, std::vector<std::string>& out)
{
    if (text != nullptr) {
        const char* p = text;
        while (*p != '\0') {
            while (*p == ' ')
                ++p;
            const char* start = p;
            while (*p != '\0' && *p != ' ')
                ++p;
            if (p > start)
                out.emplace_back(start, static_cast<size_t>(p - start));
        }
    }
    std::sort(out.begin(), out.end());
}

bool GLInfo::Query()
{
    if (!ReadString(GL_VENDOR, vendor) || !ReadString(GL_RENDERER, renderer) ||
        !ReadString(GL_VERSION, version))
        return false;
    const GLubyte* names = glGetString(GL_EXTENSIONS);
    if (names == nullptr)
        return false;
    // A second query describes the context again rather than doubling the list.
    extensions.clear();
    SplitExtensions(reinterpret_cast<const char*>(names), extensions);

    glGetIntegerv(GL_RED_BITS, &redBits);
    glGetIntegerv(GL_GREEN_BITS, &greenBits);
    glGetIntegerv(GL_BLUE_BITS, &blueBits);
    glGetIntegerv(GL_ALPHA_BITS, &alphaBits);
    glGetIntegerv(GL_DEPTH_BITS, &depthBits);
    glGetIntegerv(GL_STENCIL_BITS, &stencilBits);
    glGetIntegerv(GL_MAX_LIGHTS, &maxLights);
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTextureSize);
    glGetIntegerv(GL_MAX_CLIP_PLANES, &maxClipPlanes);
    glGetIntegerv(GL_MAX_MODELVIEW_STACK_DEPTH, &maxModelViewStacks);
    glGetIntegerv(GL_MAX_PROJECTION_STACK_DEPTH, &maxProjectionStacks);
    glGetIntegerv(GL_MAX_ATTRIB_STACK_DEPTH, &maxAttribStacks);
    glGetIntegerv(GL_MAX_TEXTURE_STACK_DEPTH, &maxTextureStacks);
    return true;
}

bool GLInfo::IsExtensionSupported(const std::string& name) const
{
    return std::find(extensions.begin(), extensions.end(), name) != extensions.end();
}

std::string GLInfo::Report() const
{
    std::ostringstream os;
    os << "\n"
       << "OpenGL Driver Info\n"
       << "==================\n"
       << "Vendor: " << vendor << "\n"
       << "Version: " << version << "\n"
       << "Renderer: " << renderer << "\n"
       << "\n"
       << "Color Bits(R,G,B,A): (" << redBits << ", " << greenBits << ", " << blueBits << ", "
       << alphaBits << ")\n"
       << "Depth Bits: " << depthBits << "\n"
       << "Stencil Bits: " << stencilBits << "\n"
       << "\n"
       << "Max Texture Size: " << maxTextureSize << "x" << maxTextureSize << "\n"
       << "Max Lights: " << maxLights << "\n"
       << "Max Clip Planes: " << maxClipPlanes << "\n"
       << "Max Modelview Matrix Stacks: " << maxModelViewStacks << "\n"
       << "Max Projection Matrix Stacks: " << maxProjectionStacks << "\n"
       << "Max Attribute Stacks: " << maxAttribStacks << "\n"
       << "Max Texture Stacks: " << maxTextureStacks << "\n"
       << "\n"
       << "Total Number of Extensions: " << extensions.size() << "\n"
       << std::string(30, '=') << "\n";
    for (const std::string& name : extensions)
        os << name << "\n";
    os << std::string(70, '=') << "\n";
    return os.str();
}

void GLInfo::Print() const
{
    std::cout << Report() << std::endl;
}
