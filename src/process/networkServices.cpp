#include "process/networkServices.h"

#include "network/liveNetworkServices.h"

#include <atomic>

namespace {

// Null: the live services (the process-wide servers) are in use.
std::atomic<CNetworkServices*> g_networkServices{nullptr};

}  // namespace

CNetworkServices& GetNetworkServices()
{
    CNetworkServices* installed = g_networkServices.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : GetLiveNetworkServices();
}

void SetNetworkServices(CNetworkServices* services)
{
    g_networkServices.store(services, std::memory_order_release);
}
