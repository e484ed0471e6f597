#pragma once

#include "DravonetMain.h"
#include "support/tempDir.h"

#include <wx/app.h>

#include <cstdlib>
#include <string>

// A main frame built in a fresh home folder (its documents folder), destroyed after.
class FrameTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        const char* home = std::getenv("HOME");
        m_hadHome = home != nullptr;
        if (home)
            m_oldHome = home;
        // The documents folder follows HOME when no user-dirs file says otherwise.
        setenv("HOME", Dir().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (Dir() / ".config").c_str(), 1);
    }

    void TearDown() override
    {
        DestroyFrame();
        TrackerFrame::SetProcessorCountOverride(0);
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
        if (!m_frame)
            m_frame = new TrackerFrame(nullptr);
        return m_frame;
    }

    // Destroys the frame the way the toolkit does after a close.
    void DestroyFrame()
    {
        if (!m_frame)
            return;
        m_frame->Destroy();
        m_frame = nullptr;
        RunEvents();  // destroyed frames are deleted when idle
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
