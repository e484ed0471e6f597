#include "DravonetMain.h"
#include "shellLog.h"
#include "process/messageQueue.h"
#include "streamCapture.h"

#include <wx/app.h>
#include <wx/log.h>
#include <wx/textctrl.h>
#include <wx/thread.h>

#include <atomic>
#include <cstdio>
#include <iostream>

namespace {

void WakeUpGuiThread()
{
    if (wxTheApp) wxWakeUpIdle();
}

// std::cout and std::cerr while a frame shows them. Process-wide and never freed
// before exit, so a writer racing with the frame's end still writes into live memory.
CStreamCapture& CoutCapture()
{
    static CStreamCapture capture;
    static const bool isSetUp = (capture.SetWakeUp(WakeUpGuiThread), true);
    (void)isSetUp;
    return capture;
}

CStreamCapture& CerrCapture()
{
    static CStreamCapture capture;
    static const bool isSetUp = (capture.SetWakeUp(WakeUpGuiThread), true);
    (void)isSetUp;
    return capture;
}

std::FILE* CoutStream()
{
    static std::FILE* const stream = OpenCaptureStream(CoutCapture());
    return stream;
}

std::FILE* CerrStream()
{
    static std::FILE* const stream = OpenCaptureStream(CerrCapture());
    return stream;
}

std::atomic<bool> s_captureCStreams{false};

// Text from the C++ streams is UTF-8 as a rule; anything else is shown byte for byte.
wxString FromStreamText(const std::string& text)
{
    wxString converted = wxString::FromUTF8(text.data(), text.size());
    if (converted.empty() && !text.empty())
        converted = wxString::From8BitData(text.data(), text.size());
    return converted;
}

void LogError(const wxString& text)
{
    if (!wxLog::IsLevelEnabled(wxLOG_Error, wxLOG_COMPONENT)) return;
    LogShell(wxLOG_Error, "SetErrorMessage", text);
}

}  // namespace

void TrackerFrame::SetCaptureCStreams(bool capture) { s_captureCStreams.store(capture); }

void TrackerFrame::RedirectStreams()
{
    m_cerrCapture = &CerrCapture();
    m_oldCerrBuffer = std::cerr.rdbuf(m_cerrCapture);
    m_coutCapture = &CoutCapture();
    m_oldCoutBuffer = std::cout.rdbuf(m_coutCapture);
    // Much of the program reports with printf and fputs: those texts belong on the
    // pages too. The C library lets its standard stream variables be replaced.
    if (s_captureCStreams.load() && CoutStream() && CerrStream()) {
        std::fflush(stdout);
        std::fflush(stderr);
        m_oldStdout = stdout;
        m_oldStderr = stderr;
        stdout = CoutStream();
        stderr = CerrStream();
    }
}

void TrackerFrame::RestoreStreams()
{
    if (!m_coutCapture || !m_cerrCapture) return;
    FlushStreams();
    std::cout.rdbuf(m_oldCoutBuffer);
    std::cerr.rdbuf(m_oldCerrBuffer);
    if (m_oldStdout && m_oldStderr) {
        stdout = m_oldStdout;
        stderr = m_oldStderr;
        m_oldStdout = nullptr;
        m_oldStderr = nullptr;
    }
    // What arrived since the flush goes where the streams write now.
    const std::string outText = m_coutCapture->TakeAll();
    if (!outText.empty() && m_oldCoutBuffer)
        m_oldCoutBuffer->sputn(outText.data(), static_cast<std::streamsize>(outText.size()));
    const std::string errText = m_cerrCapture->TakeAll();
    if (!errText.empty() && m_oldCerrBuffer)
        m_oldCerrBuffer->sputn(errText.data(), static_cast<std::streamsize>(errText.size()));
    m_coutCapture = nullptr;
    m_cerrCapture = nullptr;
}

void TrackerFrame::FlushStreams()
{
    if (m_coutCapture && m_coutCapture->HasPending())
        AppendText(m_messagesText, FromStreamText(m_coutCapture->Take()));
    if (m_cerrCapture && m_cerrCapture->HasPending())
        AppendText(m_errorsText, FromStreamText(m_cerrCapture->Take()));
    size_t lost = m_coutCapture ? m_coutCapture->TakeDroppedCount() : 0;
    lost += m_cerrCapture ? m_cerrCapture->TakeDroppedCount() : 0;
    if (lost > 0) {
        AppendEntry(m_errorsText,
                    wxString::Format("<GUI> %zu characters of console output were lost\n", lost));
    }
}

void TrackerFrame::AppendText(wxTextCtrl* page, const wxString& text)
{
    if (page && !text.empty()) page->AppendText(text);
}

void TrackerFrame::AppendEntry(wxTextCtrl* page, const wxString& text)
{
    if (!page || text.empty()) return;
    // An entry has its own line: console text without an end (a prompt, a
    // partial line) is closed first, and the entry ends its line whatever
    // its author wrote.
    wxString entry;
    const long last = page->GetLastPosition();
    if (last > 0 && page->GetRange(last - 1, last) != "\n") entry = "\n";
    entry += text;
    if (!text.EndsWith("\n")) entry += "\n";
    page->AppendText(entry);
}

void TrackerFrame::SetErrorMessage(const wxString& text, bool log)
{
    if (!wxThread::IsMain()) {
        // Only the GUI thread touches the page: hand the text over.
        g_messages.Post(Severity::Error, text, log);
        WakeUpGuiThread();
        return;
    }
    FlushStreams();  // keep the order of what this thread wrote before
    AppendEntry(m_errorsText, text);
    if (log) LogError(text);
}

void TrackerFrame::AppendMessage(const wxString& text)
{
    if (!wxThread::IsMain()) {
        g_messages.Post(Severity::Info, text);
        WakeUpGuiThread();
        return;
    }
    FlushStreams();
    AppendEntry(m_messagesText, text);
}

void TrackerFrame::RequestCaptureStop()
{
    CDeviceOwner::RequestCaptureStop();
    WakeUpGuiThread();
}

void TrackerFrame::DrainMessageQueue()
{
    for (const QueuedMessage& message : g_messages.Drain()) {
        const wxString text = wxString::FromUTF8(message.text.data(), message.text.size());
        if (message.severity == Severity::Info) {
            AppendEntry(m_messagesText, text);
        } else {
            AppendEntry(m_errorsText, text);
            if (message.log) LogError(text);
        }
    }
    const size_t dropped = g_messages.TakeDroppedCount();
    if (dropped > 0)
        AppendEntry(m_errorsText, wxString::Format("<GUI> %zu messages were lost\n", dropped));
}

void TrackerFrame::OnClearMessages(wxCommandEvent& /*event*/)
{
    FlushStreams();  // text written before the command goes too
    if (m_messagesText) m_messagesText->Clear();
    if (m_errorsText) m_errorsText->Clear();
}
