#pragma once

#include "framePrompts.h"
#include "frameTestSupport.h"
#include "frameViewTestDevice.h"

// A main frame whose questions are answered by the test (No unless it says
// otherwise) and whose pauses take no time.
class FrameDeviceTest : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        ShellPrompts().confirm = [](wxWindow*, const wxString&) { return false; };
        ShellPrompts().confirmDefaultNo = [](wxWindow*, const wxString&) { return false; };
        ShellPrompts().textEntry = [](wxWindow*, const wxString&, const wxString&, const wxString&) {
            return wxString();
        };
        ShellPrompts().singleChoice = [](wxWindow*, const wxString&, const wxString&,
                                         const wxArrayString&) { return -1; };
        ShellPrompts().multipleChoice = [](wxWindow*, const wxString&, const wxString&,
                                           const wxArrayString&) { return wxArrayInt(); };
        ShellPrompts().sleep = [](unsigned long) {};
    }

    void TearDown() override
    {
        // The frame's pages go first: its devices are closed without asking.
        if (m_frame) {
            ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
            m_frame->CheckToQuitAll();
        }
        FrameTest::TearDown();
        ResetShellPrompts();
    }
};
