#pragma once
// A device owner that counts the devices' requests to stop the capture.

#include "process/deviceOwner.h"

#include <wx/string.h>

#include <atomic>

class CountingOwner : public CDeviceOwner {
public:
    void SetErrorMessage(const wxString&, bool) override {}
    void AppendMessage(const wxString&) override {}
    void RequestCaptureStop() override
    {
        ++requests;
        CDeviceOwner::RequestCaptureStop();
    }
    std::atomic<int> requests{0};
};
