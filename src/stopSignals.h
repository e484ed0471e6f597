#pragma once

// The stop signals of a logout, a shutdown or a plain kill (SIGTERM, SIGINT, SIGHUP)
// turned into a call on a thread of its own: the handler only writes the signal's
// number into a pipe, which a watcher thread reads and hands on. Display-free.

#include <functional>
#include <string>

class CStopSignals {
public:
    // Called on the watcher thread, once per signal received.
    using Handler = std::function<void(int signal)>;

    // Installs the handlers and starts the watcher. GUI thread, once; false with the
    // reason in error (the signals then keep their default, which ends the program).
    static bool Install(Handler handler, std::string& error);
    // Gives the signals their default back and joins the watcher. GUI thread.
    static void Remove();
    // "SIGTERM" and the like.
    static const char* Name(int signal);
};
