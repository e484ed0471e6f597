#include "process/networkServices.h"

#include "network/liveNetworkServices.h"

#include <wx/string.h>

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

std::string OscText(const wxString& text)
{
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}
