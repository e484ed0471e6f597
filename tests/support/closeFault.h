#pragma once

// Faults injected into close(2) for the code the core tests link: the test
// executable is linked with --wrap=close, so every close the core makes passes
// here. An armed fault closes the file as the kernel does (the descriptor is
// gone either way) and then reports the error, as an interrupted close (EINTR)
// or a network file system that could not write back (EIO) does.

#include <string>

// The next close of a file whose path ends with suffix fails with error.
void FailNextClose(const std::string& suffix, int error);
// Faults armed and not yet met; the armed ones are dropped.
int ClearCloseFaults();
