#pragma once

#include "GLcanvas/wx3DWindow.h"

#include <gtest/gtest.h>
#include <wx/filename.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/utils.h>

#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glu.h>
#include <GL/glx.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

// The frame-buffer object calls, looked up at run time (the GL headers give
// them no prototypes here).
struct GLFramebufferCalls {
    PFNGLGENFRAMEBUFFERSPROC glGenFramebuffers = nullptr;
    PFNGLBINDFRAMEBUFFERPROC glBindFramebuffer = nullptr;
    PFNGLGENRENDERBUFFERSPROC glGenRenderbuffers = nullptr;
    PFNGLBINDRENDERBUFFERPROC glBindRenderbuffer = nullptr;
    PFNGLRENDERBUFFERSTORAGEPROC glRenderbufferStorage = nullptr;
    PFNGLFRAMEBUFFERRENDERBUFFERPROC glFramebufferRenderbuffer = nullptr;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC glCheckFramebufferStatus = nullptr;
    PFNGLDELETERENDERBUFFERSPROC glDeleteRenderbuffers = nullptr;
    PFNGLDELETEFRAMEBUFFERSPROC glDeleteFramebuffers = nullptr;

    template <typename T>
    static void Load(T& call, const char* name)
    {
        call = reinterpret_cast<T>(glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name)));
    }
    GLFramebufferCalls()
    {
        Load(glGenFramebuffers, "glGenFramebuffers");
        Load(glBindFramebuffer, "glBindFramebuffer");
        Load(glGenRenderbuffers, "glGenRenderbuffers");
        Load(glBindRenderbuffer, "glBindRenderbuffer");
        Load(glRenderbufferStorage, "glRenderbufferStorage");
        Load(glFramebufferRenderbuffer, "glFramebufferRenderbuffer");
        Load(glCheckFramebufferStatus, "glCheckFramebufferStatus");
        Load(glDeleteRenderbuffers, "glDeleteRenderbuffers");
        Load(glDeleteFramebuffers, "glDeleteFramebuffers");
    }
    bool IsOk() const { return glGenFramebuffers != nullptr && glDeleteFramebuffers != nullptr; }
};

// A shown frame to put GL windows in (a context is made current only on a
// window shown on screen), and the frame buffer read back as an image.
class GLWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_frame = new wxFrame(nullptr, wxID_ANY, "gl test", wxPoint(0, 0), wxSize(480, 360));
        m_frame->Show();
    }
    void TearDown() override { delete m_frame; }

    // Processes events until the window is on screen; the limit bounds a broken display.
    static bool WaitShown(wxWindow& window)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!window.IsShownOnScreen() && std::chrono::steady_clock::now() < deadline)
            wxYield();
        return window.IsShownOnScreen();
    }

    // Renders one frame and reads it (top row first). The frame goes to an
    // off-screen buffer of 8 bits per colour: the test display's own visual may
    // have fewer bits and samples that a read-back does not resolve.
    static wxImage RenderAndRead(my3DCanvas& canvas)
    {
        EXPECT_TRUE(canvas.MakeCurrent());
        static const GLFramebufferCalls gl;
        EXPECT_TRUE(gl.IsOk());
        if (!gl.IsOk())
            return wxImage(1, 1);
        const wxSize size = canvas.GetClientSize();
        GLuint fbo = 0, colour = 0, depth = 0;
        gl.glGenFramebuffers(1, &fbo);
        gl.glBindFramebuffer(GL_FRAMEBUFFER, fbo);
        gl.glGenRenderbuffers(1, &colour);
        gl.glBindRenderbuffer(GL_RENDERBUFFER, colour);
        gl.glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, size.GetWidth(), size.GetHeight());
        gl.glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
        gl.glGenRenderbuffers(1, &depth);
        gl.glBindRenderbuffer(GL_RENDERBUFFER, depth);
        gl.glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, size.GetWidth(),
                              size.GetHeight());
        gl.glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth);
        EXPECT_EQ(gl.glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
        if (!canvas.GetRenderFlags()->initialised) {
            canvas.InitGL();
            canvas.GetRenderFlags()->initialised = true;
        }
        canvas.ResizeViewport();
        canvas.RenderFrame();
        glFinish();
        glReadBuffer(GL_COLOR_ATTACHMENT0);
        wxImage image = ReadBack(canvas);
        gl.glBindFramebuffer(GL_FRAMEBUFFER, 0);
        gl.glDeleteRenderbuffers(1, &depth);
        gl.glDeleteRenderbuffers(1, &colour);
        gl.glDeleteFramebuffers(1, &fbo);
        return image;
    }

    // The current read buffer of the canvas's size, top row first.
    static wxImage ReadBack(my3DCanvas& canvas)
    {
        const wxSize size = canvas.GetClientSize();
        const int w = size.GetWidth();
        const int h = size.GetHeight();
        std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
        wxImage image(w, h);
        for (int y = 0; y < h; ++y)
            std::copy(&rgb[static_cast<size_t>(h - 1 - y) * w * 3],
                      &rgb[static_cast<size_t>(h - y) * w * 3], image.GetData() + y * w * 3);
        return image;
    }

    // Processes events until the window has been painted count times.
    static bool WaitPainted(const int& painted, int count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (painted < count && std::chrono::steady_clock::now() < deadline)
            wxYield();
        return painted >= count;
    }

    // Window position (top row 0) of a world point under the current matrices.
    static bool Project(const double p[3], int& x, int& y)
    {
        GLdouble model[16], projection[16];
        GLint viewport[4];
        glGetDoublev(GL_MODELVIEW_MATRIX, model);
        glGetDoublev(GL_PROJECTION_MATRIX, projection);
        glGetIntegerv(GL_VIEWPORT, viewport);
        double wx = 0, wy = 0, wz = 0;
        if (gluProject(p[0], p[1], p[2], model, projection, viewport, &wx, &wy, &wz) != GL_TRUE)
            return false;
        x = static_cast<int>(wx);
        y = viewport[3] - 1 - static_cast<int>(wy);
        return x >= 0 && y >= 0 && x < viewport[2] && y < viewport[3];
    }

    static void Save(const wxImage& image, const std::string& name)
    {
        wxFileName::Mkdir(QV_TEST_OUTPUT_DIR, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
        EXPECT_TRUE(image.SaveFile(QV_TEST_OUTPUT_DIR "/" + name, wxBITMAP_TYPE_PNG));
    }

    static bool Near(const wxImage& image, int x, int y, int r, int g, int b, int tolerance = 12)
    {
        return std::abs(image.GetRed(x, y) - r) <= tolerance &&
               std::abs(image.GetGreen(x, y) - g) <= tolerance &&
               std::abs(image.GetBlue(x, y) - b) <= tolerance;
    }

    // Pixels in the box around (x, y) that differ from the colour (r, g, b).
    static int CountOther(const wxImage& image, int x, int y, int half, int r, int g, int b)
    {
        int count = 0;
        for (int j = y - half; j <= y + half; ++j)
            for (int i = x - half; i <= x + half; ++i)
                if (i >= 0 && j >= 0 && i < image.GetWidth() && j < image.GetHeight() &&
                    !Near(image, i, j, r, g, b))
                    ++count;
        return count;
    }

    wxFrame* m_frame = nullptr;
};
