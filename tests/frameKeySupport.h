#pragma once

// Keys typed through the display server (the toolkit's UI simulator), as a user
// types them: the frame is shown and raised, the pointer rests on it and the
// focus is set and awaited explicitly, so that no window manager decides where
// the keys go. Every wait is bounded.

#include <wx/app.h>
#include <wx/toplevel.h>
#include <wx/uiaction.h>
#include <wx/utils.h>
#include <wx/weakref.h>
#include <wx/window.h>

#include <chrono>
#include <thread>

namespace keytest {

constexpr std::chrono::seconds kKeyTimeout(20);  // bounds a broken build only

// Dispatches the display's events (the tests run without a main loop) until the
// condition holds; false at the time-out.
template <typename Condition>
bool PumpUntil(Condition condition, std::chrono::milliseconds timeout = kKeyTimeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        wxTheApp->Yield(true);
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Shows and raises the frame; true once it is on screen.
inline bool ShowForKeys(wxTopLevelWindow* frame)
{
    frame->Show();
    frame->Raise();
    return PumpUntil([frame] { return frame->IsShownOnScreen(); });
}

// Rests the pointer on the window (of a frame on screen) and gives it the
// keyboard focus; true once the toolkit reports the focus there, false when the
// window is destroyed meanwhile (the events run while waiting may destroy it).
inline bool FocusForKeys(wxWindow* target)
{
    wxWeakRef<wxWindow> window(target);
    wxTopLevelWindow* frame = dynamic_cast<wxTopLevelWindow*>(wxGetTopLevelParent(target));
    if (!frame || !frame->IsShownOnScreen()) return false;
    wxUIActionSimulator pointer;
    const wxRect area = target->GetScreenRect();
    pointer.MouseMove(area.GetLeft() + area.GetWidth() / 2, area.GetTop() + area.GetHeight() / 2);
    const auto deadline = std::chrono::steady_clock::now() + kKeyTimeout;
    while (window && wxWindow::FindFocus() != window.get()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        frame->Raise();
        window->SetFocus();
        PumpUntil([&window] { return !window || wxWindow::FindFocus() == window.get(); },
                  std::chrono::milliseconds(200));
    }
    return window.get() != nullptr;
}

// Types one key; the caller waits for its effect with PumpUntil.
inline void PressKey(int keyCode)
{
    wxUIActionSimulator keys;
    keys.Char(keyCode);
}

}  // namespace keytest
