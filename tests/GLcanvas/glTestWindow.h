#pragma once

// A shown frame with an OpenGL canvas whose context is current, for GUI tests that issue
// OpenGL calls and read the result back. Under the virtual display Mesa renders in software.
#include <GL/gl.h>
#include <wx/frame.h>
#include <wx/glcanvas.h>
#include <wx/image.h>
#include <wx/utils.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

class GLTestWindow {
public:
    GLTestWindow(int width, int height)
    {
        m_frame = new wxFrame(nullptr, wxID_ANY, "GL test");
        wxGLAttributes attributes;
        attributes.PlatformDefaults().RGBA().DoubleBuffer().Depth(24).EndList();
        m_canvas =
            new wxGLCanvas(m_frame, attributes, wxID_ANY, wxDefaultPosition, wxSize(width, height));
        m_frame->SetClientSize(width, height);
        m_frame->Show();
        m_context = std::make_unique<wxGLContext>(m_canvas);
        // The canvas takes the context only once the window exists on the display.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            wxYield();
            if (m_canvas->IsShownOnScreen() && m_canvas->SetCurrent(*m_context)) {
                m_isCurrent = true;
                break;
            }
        }
        if (m_isCurrent) {
            const wxSize size = m_canvas->GetClientSize();
            m_width = size.x;
            m_height = size.y;
            glViewport(0, 0, m_width, m_height);
        }
    }
    ~GLTestWindow()
    {
        m_context.reset();
        m_frame->Destroy();
        wxYield();
    }
    GLTestWindow(const GLTestWindow&) = delete;
    GLTestWindow& operator=(const GLTestWindow&) = delete;

    bool IsCurrent() const { return m_isCurrent; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }

    // The back buffer, top row first.
    wxImage ReadImage() const
    {
        std::vector<unsigned char> rgb(static_cast<size_t>(m_width) * m_height * 3);
        glFinish();
        glReadBuffer(GL_BACK);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, m_width, m_height, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
        wxImage image(m_width, m_height);
        unsigned char* out = image.GetData();
        const size_t row = static_cast<size_t>(m_width) * 3;
        for (int y = 0; y < m_height; ++y)
            std::copy(rgb.begin() + (m_height - 1 - y) * row, rgb.begin() + (m_height - y) * row,
                      out + y * row);
        return image;
    }

private:
    wxFrame* m_frame = nullptr;  // owns the canvas; destroyed, never deleted
    wxGLCanvas* m_canvas = nullptr;
    std::unique_ptr<wxGLContext> m_context;
    bool m_isCurrent = false;
    int m_width = 0;
    int m_height = 0;
};
