#include "GLcanvas/glutText.h"

#include <GL/freeglut.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {
std::once_flag g_glutOnce;
std::atomic<bool> g_glutReady{false};
}  // namespace

void InitGlutText()
{
    std::call_once(g_glutOnce, [] {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0')
            return;
        int argc = 1;
        char name[] = "quorvane";
        char* argv[] = {name, nullptr};
        glutInit(&argc, argv);
        g_glutReady = true;
    });
}

bool IsGlutTextReady() { return g_glutReady.load(); }

void DrawGlutText(void* font, const wxString& text)
{
    if (!IsGlutTextReady() || font == nullptr)
        return;
    const wxScopedCharBuffer utf8 = text.utf8_str();
    for (const char* c = utf8.data(); c != nullptr && *c != '\0'; ++c)
        glutBitmapCharacter(font, static_cast<unsigned char>(*c));
}
