#include "DravonetMain.h"

// Placeholder bodies until this group's work lands.

std::vector<CAnalogDevice*> TrackerFrame::GetDeviceList()
{
    return {};
}

int TrackerFrame::GetDeviceCount()
{
    return 0;
}

bool TrackerFrame::IsDeviceNameFree(const wxString& /*devicePath*/)
{
    return true;
}

bool TrackerFrame::CanOpenDevice(int /*kind*/)
{
    return false;
}

bool TrackerFrame::RegisterDevice(CAnalogDevice* /*device*/, bool /*deleteOnFail*/)
{
    return false;
}

bool TrackerFrame::AddDeviceView(CAnalogDevice* /*device*/, bool /*deleteOnFail*/, bool /*loadConfig*/)
{
    return false;
}

bool TrackerFrame::AddDevice3DView(CAnalogDevice* /*device*/, bool /*deleteOnFail*/, bool /*loadConfig*/)
{
    return false;
}
