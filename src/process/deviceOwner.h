#pragma once

#include <wx/string.h>

#include <atomic>

// What a device or a recording controller needs of the main frame, which implements
// it. Devices keep a non-owning pointer to it, possibly null.
class CDeviceOwner {
public:
    virtual ~CDeviceOwner() = default;

    // GUI thread: puts the text on the "Errors" page; with log also logs it as an error.
    // Other threads post to g_messages instead.
    virtual void SetErrorMessage(const wxString& text, bool log) = 0;
    // GUI thread: appends the text to the "Messages" page.
    virtual void AppendMessage(const wxString& text) = 0;

    // Any thread (a recording reaching its duration limit): asks the GUI thread to stop
    // the capture. Implementations keep it to an atomic store and a wake-up.
    virtual void RequestCaptureStop() { m_stopCaptureRequest.store(true); }
    // GUI thread (idle handler): true once per request.
    bool TakeCaptureStopRequest() { return m_stopCaptureRequest.exchange(false); }

private:
    std::atomic<bool> m_stopCaptureRequest{false};
};
