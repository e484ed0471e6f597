#pragma once

// The application settings of the main frame bound to their keys, in the order
// the configuration file lists them. GUI thread.

#include <vector>

#include "configShared.h"
#include "configTable.h"

class TrackerFrame;

// Binds the frame's settings and the process-wide ones (held in shared, which
// the caller fetches before and publishes after a change). The two lists and the
// dock layout are not in the table.
std::vector<ConfigVar> FrameConfigVars(TrackerFrame& frame, SharedSettings& shared);
