#include "wiiPair.h"

#include "wii/wiiHidSource.h"
#include "wii/wiiPlatform.h"

#include <algorithm>
#include <vector>

int wii_pair(int maxDevices, bool /*removeExisting*/)
{
    const std::shared_ptr<CWiiHidSource> source = GetWiiHidSource();
    if (!source || !source->CanDiscover())
        return 0;
    std::vector<WiiHidCandidate> found;
    source->Scan(found);
    return std::min(static_cast<int>(found.size()), std::max(maxDevices, 0));
}
