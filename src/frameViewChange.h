#pragma once

#include "frameViewGridModel.h"

class CAnalogDevice;
class CAnalogView;

// The outcome of an edit of a 2D page's view section.
struct CAnalogViewChange {
    bool matched = false;      // the name is one of the view's properties
    bool rebuildGrid = false;  // the grid must show the view again
};

// Applies one edit of the "Analog View" and "PSD Properties" sections to the
// view. Views of the device are reset after a change that needs new buffers,
// unless the device records. Values outside their range are ignored. GUI thread.
CAnalogViewChange ApplyAnalogViewChange(CAnalogView& view, CAnalogDevice& device,
                                        const wxString& name, const CViewGridValue& value,
                                        bool recording, bool running);
