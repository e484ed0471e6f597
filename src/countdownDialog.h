#pragma once

#include <wx/dialog.h>
#include <wx/timer.h>

#include <functional>
#include <utility>

class wxButton;

// The modal count-down shown before a capture: the remaining seconds in large
// digits on its one button; ends with wxID_OK when the time has run out or the
// button is pressed, and with wxID_ABORT when its stop check says the trigger
// stopped meanwhile. Created on the stack by "Start capture", one per start.
// GUI thread.
class TCountDown : public wxDialog {
public:
    TCountDown(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
               const wxSize& size = wxDefaultSize);
    ~TCountDown() override;

    // Milliseconds; without one (-1) the dialog waits for its button.
    void SetDuration(double durationMs) { m_duration = durationMs; }
    double GetDuration() const { return m_duration; }

    // Asked on every tick while shown; true ends the dialog with wxID_ABORT.
    void SetStopCheck(std::function<bool()> check) { m_stopCheck = std::move(check); }

    int ShowModal() override;
    virtual void OnIdle(wxIdleEvent& event);

    // Updates the label from the program time (microseconds); true, with the
    // label "OK", once the time has run out.
    bool Tick(double nowUs);
    bool IsRunning() const { return m_running; }
    wxButton* GetButton() const { return m_button; }

private:
    void OnTimer(wxTimerEvent& event);
    void Advance();

    std::function<bool()> m_stopCheck;
    wxButton* m_button = nullptr;  // child of the dialog
    double m_duration = -1.0;      // ms
    double m_startTime = -1.0;     // ms of program time
    bool m_running = false;
    // Idle events stop coming while nothing happens; the timer keeps the
    // count-down moving without asking for idle events in a busy loop.
    wxTimer m_ticker;

    wxDECLARE_EVENT_TABLE();
};
