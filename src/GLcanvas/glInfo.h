#pragma once

#include <string>
#include <vector>

// Identity, frame-buffer depths, limits and extensions of the current OpenGL
// context, for diagnostics. Used on the thread whose context is current.
struct GLInfo {
    std::string vendor;
    std::string renderer;
    std::string version;
    std::vector<std::string> extensions;  // sorted, byte-wise
    int redBits = 0;
    int greenBits = 0;
    int blueBits = 0;
    int alphaBits = 0;
    int depthBits = 0;
    int stencilBits = 0;
    int maxTextureSize = 0;
    int maxLights = 0;
    int maxAttribStacks = 0;
    int maxModelViewStacks = 0;
    int maxProjectionStacks = 0;
    int maxClipPlanes = 0;
    int maxTextureStacks = 0;

    // False as soon as one of the strings is unavailable (no current context);
    // the fields read before keep their new values.
    bool Query();
    bool IsExtensionSupported(const std::string& name) const;
    // The report Print writes, every line ended by a line feed.
    std::string Report() const;
    // Writes the report and one more line end to the standard output.
    void Print() const;

    // Appends the blank-separated names of text (runs of blanks give no empty
    // name) and sorts the list; text is not modified.
    static void SplitExtensions(const char* text, std::vector<std::string>& out);
};
