#pragma once

#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/imagpng.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "DravonetMain.h"
#include "framePrompts.h"
#include "process/messageQueue.h"
#include "support/tempDir.h"

// Answers the Yes/No questions with No preselected in the user's place (with
// `answer`) and keeps their texts; the former answerer comes back after.
class CDefaultNoAnswers {
public:
    CDefaultNoAnswers() : m_former(ShellPrompts().confirmDefaultNo)
    {
        ShellPrompts().confirmDefaultNo = [this](wxWindow*, const wxString& text) {
            questions.push_back(text);
            return answer;
        };
    }
    ~CDefaultNoAnswers() { ShellPrompts().confirmDefaultNo = m_former; }
    CDefaultNoAnswers(const CDefaultNoAnswers&) = delete;
    CDefaultNoAnswers& operator=(const CDefaultNoAnswers&) = delete;

    std::vector<wxString> questions;
    bool answer = false;

private:
    std::function<bool(wxWindow*, const wxString&)> m_former;
};

// A main frame built in a fresh home folder (its documents folder), destroyed after.
class FrameTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        const char* home = std::getenv("HOME");
        m_hadHome = home != nullptr;
        if (home) m_oldHome = home;
        // The documents folder follows HOME when no user-dirs file says otherwise.
        setenv("HOME", Dir().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (Dir() / ".config").c_str(), 1);
        g_messages.Drain();  // left by earlier tests
        // The test program reports on stdout: a frame takes over the C streams only
        // in the tests that ask for it (and after the application's start-up).
        TrackerFrame::SetCaptureCStreams(false);
    }

    void TearDown() override
    {
        DestroyFrame();
        TrackerFrame::SetProcessorCountOverride(0);
        TrackerFrame::SetCaptureCStreams(false);
        if (m_hadHome)
            setenv("HOME", m_oldHome.c_str(), 1);
        else
            unsetenv("HOME");
        unsetenv("XDG_CONFIG_HOME");
        TempDirTest::TearDown();
    }

    // Builds the frame once per test; a test may change the environment first.
    TrackerFrame* MakeFrame()
    {
        if (!m_frame) m_frame = new TrackerFrame(nullptr);
        return m_frame;
    }

    // Builds the frame on a machine of eight processors: core pinning stays on and every
    // device gets a core of its own.
    TrackerFrame* MakeEightCoreFrame()
    {
        TrackerFrame::SetProcessorCountOverride(8);
        return MakeFrame();
    }

    // Chooses a menu command, as the user does.
    static void ChooseMenu(TrackerFrame* frame, int id)
    {
        wxCommandEvent event(wxEVT_MENU, id);
        frame->ProcessWindowEvent(event);
    }

    // Destroys the frame the way the toolkit does after a close.
    void DestroyFrame()
    {
        if (!m_frame) return;
        m_frame->Destroy();
        m_frame = nullptr;
        RunEvents();  // destroyed frames are deleted when idle
    }

    // Saves what the display shows of the window into the tests' output folder, as
    // the user sees it; false when it could not be taken or written.
    static bool SaveShot(wxWindow* window, const wxString& fileName)
    {
        window->Update();
        const wxRect rect = window->GetScreenRect();
        wxBitmap shot(rect.GetWidth(), rect.GetHeight());
        {
            wxScreenDC screen;
            wxMemoryDC memory(shot);
            memory.Blit(0, 0, rect.GetWidth(), rect.GetHeight(), &screen, rect.GetX(), rect.GetY());
        }
        wxImage image = shot.ConvertToImage();
        wxFileName::Mkdir(QV_TEST_OUTPUT_DIR, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
        // The fastest compression, unfiltered (libpng's PNG_FILTER_NONE): looked at, not kept.
        image.SetOption(wxIMAGE_OPTION_PNG_COMPRESSION_LEVEL, 1);
        image.SetOption(wxIMAGE_OPTION_PNG_FILTER, 0x08);
        return image.IsOk() &&
               image.SaveFile(wxString(QV_TEST_OUTPUT_DIR) + "/" + fileName, wxBITMAP_TYPE_PNG);
    }

    // Runs pending events and one idle pass.
    static void RunEvents()
    {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
    }

    TrackerFrame* m_frame = nullptr;

private:
    std::string m_oldHome;
    bool m_hadHome = false;
};
