#include "process/networkServices.h"

#include <atomic>

namespace {

CNoNetworkServices g_noNetworkServices;
std::atomic<CNetworkServices*> g_networkServices{&g_noNetworkServices};

}  // namespace

CNetworkServices& GetNetworkServices() { return *g_networkServices.load(std::memory_order_acquire); }

void SetNetworkServices(CNetworkServices* services)
{
    g_networkServices.store(services != nullptr ? services : &g_noNetworkServices,
                            std::memory_order_release);
}
