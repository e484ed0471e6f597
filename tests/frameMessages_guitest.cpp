#include "DravonetMain.h"
#include "frameTestSupport.h"
#include "process/messageQueue.h"

#include <gtest/gtest.h>
#include <wx/log.h>
#include <wx/textctrl.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Keeps every log record with its place, then gives the previous target back.
class CRecordCapture : public wxLog {
public:
    CRecordCapture() : m_previous(wxLog::SetActiveTarget(this)) {}
    ~CRecordCapture() override { wxLog::SetActiveTarget(m_previous); }
    CRecordCapture(const CRecordCapture&) = delete;
    CRecordCapture& operator=(const CRecordCapture&) = delete;

    struct Record {
        wxLogLevel level;
        wxString text;
        wxString file;
        wxString function;
    };
    std::vector<Record> m_records;

protected:
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override
    {
        m_records.push_back({level, msg, info.filename, info.func});
    }

private:
    wxLog* m_previous;
};

// Runs idle passes until the page shows the text or the bound (for a broken build) ends.
bool WaitForText(wxTextCtrl* page, const wxString& text)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
        if (page->GetValue().Find(text) != wxNOT_FOUND) return true;
        std::this_thread::yield();
    }
    return false;
}

}  // namespace

using FrameMessagesTest = FrameTest;

TEST_F(FrameMessagesTest, ConsoleTextOfTheGuiThreadReachesItsPage)
{
    TrackerFrame* frame = MakeFrame();
    std::cout << "<OSC> Starting server  inPort " << 32000 << "\n";
    std::cerr << "<COM> port closed\n";
    RunEvents();
    EXPECT_EQ(frame->m_messagesText->GetValue(), "<OSC> Starting server  inPort 32000\n");
    EXPECT_EQ(frame->m_errorsText->GetValue(), "<COM> port closed\n");
}

TEST_F(FrameMessagesTest, ConsoleTextOfOtherThreadsShowsAfterTheGuiThreadIdles)
{
    TrackerFrame* frame = MakeFrame();
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([w] {
            for (int i = 0; i < 50; ++i)
                std::cout << ("<ACQ> writer " + std::to_string(w) + " line " + std::to_string(i) +
                              "\n");
            std::cerr << ("<ACQ> writer " + std::to_string(w) + " done\n");
        });
    }
    for (std::thread& writer : writers) writer.join();
    // Nothing touched the pages from the writers' threads.
    EXPECT_TRUE(frame->m_messagesText->GetValue().empty());
    ASSERT_TRUE(WaitForText(frame->m_errorsText, "writer 2 done"));
    ASSERT_TRUE(WaitForText(frame->m_messagesText, "writer 0 line 49"));
    const wxString text = frame->m_messagesText->GetValue();
    for (int w = 0; w < 3; ++w) {
        int previous = -1;
        for (int i = 0; i < 50; ++i) {
            const int at = text.Find(wxString::Format("writer %d line %d\n", w, i));
            ASSERT_NE(at, wxNOT_FOUND) << w << " " << i;
            EXPECT_GT(at, previous) << "writer " << w << " out of order at line " << i;
            previous = at;
        }
    }
}

TEST_F(FrameMessagesTest, CLibraryTextOfAnyThreadReachesThePagesToo)
{
    TrackerFrame::SetCaptureCStreams(true);
    TrackerFrame* frame = MakeFrame();
    std::printf("<VRPN> Opening tracker %s\n", "Tracker0@localhost");
    std::thread writer([] {
        std::fputs("<COM> no such port\n", stderr);
        std::fprintf(stdout, "<FOB> %d birds\n", 2);
    });
    writer.join();
    ASSERT_TRUE(WaitForText(frame->m_messagesText, "<FOB> 2 birds\n"));
    ASSERT_TRUE(WaitForText(frame->m_errorsText, "<COM> no such port\n"));
    EXPECT_EQ(frame->m_messagesText->GetValue(),
              "<VRPN> Opening tracker Tracker0@localhost\n<FOB> 2 birds\n");
    std::FILE* const captured = stdout;
    DestroyFrame();
    EXPECT_NE(stdout, captured);  // the C library's own stream again
}

TEST_F(FrameMessagesTest, ErrorMessagesEndTheirLineAndAreLoggedWhenAsked)
{
    TrackerFrame* frame = MakeFrame();
    CRecordCapture records;
    frame->SetErrorMessage("Unable to open Device", false);
    frame->SetErrorMessage("Unable to open SATEL device", false);
    frame->SetErrorMessage("100%s done\n", true);
    EXPECT_EQ(frame->m_errorsText->GetValue(),
              "Unable to open Device\nUnable to open SATEL device\n100%s done\n");
    wxLog::FlushActive();
    ASSERT_EQ(records.m_records.size(), 1u);
    EXPECT_EQ(records.m_records[0].level, wxLOG_Error);
    EXPECT_EQ(records.m_records[0].text, "100%s done\n");  // not used as a format
    EXPECT_EQ(records.m_records[0].file, "DravonetMain");
    EXPECT_EQ(records.m_records[0].function, "SetErrorMessage");
}

TEST_F(FrameMessagesTest, EveryEntryOfEverySourceHasALineOfItsOwn)
{
    TrackerFrame* frame = MakeFrame();
    // Console text without an end (a prompt), then entries of every kind without one.
    std::cout << "<WII> Searching";
    std::cerr << "<COM> no answer from";
    RunEvents();
    frame->AppendMessage("Creating capture file : a_0001.qvd");
    frame->SetErrorMessage("Unable to open Device", false);
    g_messages.Post(Severity::Info, std::string("<OSC> Closing server"));
    g_messages.Post(Severity::Error, std::string("<SATEL> no answer"));
    std::thread worker([frame] {
        frame->SetErrorMessage("Device is not ready", false);
        frame->AppendMessage("device log line");
    });
    worker.join();
    RunEvents();
    std::cout << "<WII> done\n";
    std::cerr << "<COM> closed\n";
    frame->AppendMessage("Saving data to : a_0001.qvd\n");
    frame->SetErrorMessage("Error saving data file : a_0001.qvd\n", false);
    EXPECT_EQ(frame->m_messagesText->GetValue(),
              "<WII> Searching\nCreating capture file : a_0001.qvd\n<OSC> Closing server\n"
              "device log line\n<WII> done\nSaving data to : a_0001.qvd\n");
    EXPECT_EQ(frame->m_errorsText->GetValue(),
              "<COM> no answer from\nUnable to open Device\n<SATEL> no answer\n"
              "Device is not ready\n<COM> closed\nError saving data file : a_0001.qvd\n");
}

TEST_F(FrameMessagesTest, ErrorMessagesAreNotLoggedWhileLoggingIsOff)
{
    TrackerFrame* frame = MakeFrame();
    CRecordCapture records;
    {
        wxLogNull off;
        frame->SetErrorMessage("Unable to start streaming", true);
    }
    EXPECT_TRUE(records.m_records.empty());
    EXPECT_EQ(frame->m_errorsText->GetValue(), "Unable to start streaming\n");
}

TEST_F(FrameMessagesTest, ErrorMessagesOfOtherThreadsAreHandedToTheGuiThread)
{
    TrackerFrame* frame = MakeFrame();
    std::thread worker([frame] {
        frame->SetErrorMessage("No analog data available !\n", false);
        frame->AppendMessage("device log line\n");
    });
    worker.join();
    EXPECT_TRUE(frame->m_errorsText->GetValue().empty());
    ASSERT_TRUE(WaitForText(frame->m_errorsText, "No analog data available !\n"));
    ASSERT_TRUE(WaitForText(frame->m_messagesText, "device log line\n"));
}

TEST_F(FrameMessagesTest, QueuedMessagesGoToThePageOfTheirSeverity)
{
    TrackerFrame* frame = MakeFrame();
    g_messages.Post(Severity::Info, std::string("<OSC> Closing server\n"));
    g_messages.Post(Severity::Warning, std::string("<VRPN> slow client\n"));
    g_messages.Post(Severity::Error, std::string("<SATEL> no answer\n"));
    RunEvents();
    EXPECT_EQ(frame->m_messagesText->GetValue(), "<OSC> Closing server\n");
    EXPECT_EQ(frame->m_errorsText->GetValue(), "<VRPN> slow client\n<SATEL> no answer\n");
}

TEST_F(FrameMessagesTest, ClearAllMessagesEmptiesBothPagesEvenWithThePaneHidden)
{
    TrackerFrame* frame = MakeFrame();
    wxCommandEvent hide(wxEVT_MENU, ID_VIEW_INFORMATION);
    frame->ProcessWindowEvent(hide);
    ASSERT_FALSE(frame->m_auiManager.GetPane("MESSAGEBOOK").IsShown());
    frame->AppendMessage("kept until cleared\n");
    frame->SetErrorMessage("error\n", false);
    std::cout << "not yet shown\n";  // written before the command: cleared too
    wxCommandEvent clear(wxEVT_MENU, ID_CLEAR_MESSAGES);
    frame->ProcessWindowEvent(clear);
    RunEvents();
    EXPECT_TRUE(frame->m_messagesText->GetValue().empty());
    EXPECT_TRUE(frame->m_errorsText->GetValue().empty());
    EXPECT_FALSE(frame->m_auiManager.GetPane("MESSAGEBOOK").IsShown());
}

TEST_F(FrameMessagesTest, StreamsWriteToTheirFormerBuffersAfterTheFrameIsGone)
{
    std::ostringstream formerOut;
    std::ostringstream formerErr;
    std::streambuf* const savedOut = std::cout.rdbuf(formerOut.rdbuf());
    std::streambuf* const savedErr = std::cerr.rdbuf(formerErr.rdbuf());
    TrackerFrame* frame = MakeFrame();
    EXPECT_NE(std::cout.rdbuf(), formerOut.rdbuf());
    std::cout << "on the page\n";
    RunEvents();
    EXPECT_EQ(frame->m_messagesText->GetValue(), "on the page\n");
    DestroyFrame();
    EXPECT_EQ(std::cout.rdbuf(), formerOut.rdbuf());
    EXPECT_EQ(std::cerr.rdbuf(), formerErr.rdbuf());
    std::cout << "after the frame\n";
    std::cerr << "error after the frame\n";
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    EXPECT_EQ(formerOut.str(), "after the frame\n");
    EXPECT_EQ(formerErr.str(), "error after the frame\n");
}
