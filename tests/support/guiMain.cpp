#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/log.h>

#include "support/wxAssert.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

// Last: its macros (None, Status, Bool) would clash with the headers above.
#include <X11/Xlib.h>

namespace {

class TestApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

// A connection to the display, waiting for it while it refuses: a virtual display
// still starting, or resetting because its last client just left, turns
// connections away for a moment, and many test processes start at once.
Display* WaitForDisplay()
{
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return nullptr;
    auto pause = std::chrono::milliseconds(20);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        if (Display* display = XOpenDisplay(name)) return display;
        if (std::chrono::steady_clock::now() + pause > deadline) return nullptr;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(2000));
    }
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime guesses where the thread-local blocks of libraries loaded
// at run time (the GL driver's) start and end, from a layout this C library no
// longer has: now and then (about one run in 500 of the GL tests) it took a wrong
// range and the leak check at exit crashed scanning it. Without that guess those
// blocks are no roots for the check, which can only add reports, never hide one.
extern "C" const char* __asan_default_options()
{
    return "intercept_tls_get_addr=0";
}
#endif

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // ctest lists the tests at build time, where there is no display.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // Tests never talk to the machine's accessibility bus.
    setenv("NO_AT_BRIDGE", "1", 0);
    // Held until the toolkit has its own connection, so that the server cannot
    // reset in between.
    Display* held = WaitForDisplay();
    wxApp::SetInstance(new TestApp);
    const bool started = wxEntryStart(argc, argv) && wxTheApp->CallOnInit();
    if (held != nullptr) XCloseDisplay(held);
    if (!started) {
        std::fprintf(stderr, "wxWidgets could not open a display\n");
        return 1;
    }
    InstallWxAssertFailure();
    wxInitAllImageHandlers();
    delete wxLog::SetActiveTarget(new wxLogStderr);
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
