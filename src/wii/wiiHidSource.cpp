#include "wii/wiiHidSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

namespace fs = std::filesystem;

// hidraw10 after hidraw9.
bool NodeBefore(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

bool ReadSmallFile(const fs::path& path, std::string* text)
{
    std::ifstream in(path);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    *text = content.str().substr(0, 4096);
    return true;
}

}  // namespace

CWiiHidrawSource::CWiiHidrawSource(std::string sysRoot, std::string devRoot)
    : m_sysRoot(std::move(sysRoot)), m_devRoot(std::move(devRoot))
{
}

bool CWiiHidrawSource::CanDiscover()
{
    std::error_code error;
    fs::directory_iterator adapters(fs::path(m_sysRoot) / "class" / "bluetooth", error);
    return !error && adapters != fs::directory_iterator();
}

std::string CWiiHidrawSource::UeventValue(const std::string& uevent, const char* key)
{
    const std::string prefix = std::string(key) + "=";
    size_t at = uevent.find(prefix);
    while (at != std::string::npos && at != 0 && uevent[at - 1] != '\n')
        at = uevent.find(prefix, at + 1);
    if (at == std::string::npos) return std::string();
    const size_t start = at + prefix.size();
    const size_t end = uevent.find('\n', start);
    return uevent.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool CWiiHidrawSource::ParseHidId(const std::string& uevent, uint16_t* product)
{
    const std::string line = UeventValue(uevent, "HID_ID");
    if (line.empty()) return false;
    unsigned bus = 0, vendor = 0, productId = 0;
    if (std::sscanf(line.c_str(), "%x:%x:%x", &bus, &vendor, &productId) != 3) return false;
    if (vendor != kVendor || (productId != kProductRemote && productId != kProductRemotePlus))
        return false;
    if (product != nullptr) *product = static_cast<uint16_t>(productId);
    return true;
}

void CWiiHidrawSource::Scan(std::vector<WiiHidCandidate>& found)
{
    std::error_code error;
    fs::directory_iterator nodes(fs::path(m_sysRoot) / "class" / "hidraw", error);
    if (error) return;  // no HID layer: nothing to find, nothing to report
    std::vector<std::pair<std::string, WiiHidCandidate>> matches;
    for (const fs::directory_entry& node : nodes) {
        const fs::path device = node.path() / "device";
        std::string uevent;
        WiiHidCandidate candidate;
        if (!ReadSmallFile(device / "uevent", &uevent)) continue;
        if (!ParseHidId(uevent, &candidate.product)) continue;
        candidate.name = UeventValue(uevent, "HID_NAME");
        candidate.uniq = UeventValue(uevent, "HID_UNIQ");
        if (WiiIsProControllerName(candidate.name)) continue;
        // The driver link of the HID device names the driver bound to it now.
        std::error_code linkError;
        const fs::path driver = fs::read_symlink(device / "driver", linkError);
        candidate.driver =
            !linkError ? driver.filename().string() : UeventValue(uevent, "DRIVER");
        const fs::path hidDevice = fs::read_symlink(device, linkError);
        if (!linkError) candidate.hidDevice = hidDevice.filename().string();
        const std::string nodeName = node.path().filename().string();
        candidate.path = (fs::path(m_devRoot) / nodeName).string();
        matches.emplace_back(nodeName, std::move(candidate));
    }
    std::sort(matches.begin(), matches.end(),
              [](const auto& a, const auto& b) { return NodeBefore(a.first, b.first); });
    for (auto& match : matches) found.push_back(std::move(match.second));
}

int CWiiHidrawSource::Open(const WiiHidCandidate& candidate, int* openError)
{
    int fd = -1;
    do {
        fd = ::open(candidate.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        std::fprintf(stderr, "<WII> Cannot open %s: %s\n", candidate.path.c_str(),
                     std::strerror(error));
        std::fflush(stderr);
        if (openError != nullptr) *openError = error;
    }
    return fd;
}

bool WiiIsProControllerName(const std::string& name)
{
    static const std::string kSuffix = "RVL-CNT-01-UC";
    return name.size() >= kSuffix.size() &&
           name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

std::string WiiKernelDriverNotice(const WiiHidCandidate& candidate)
{
    if (candidate.driver != CWiiHidrawSource::kKernelDriver) return std::string();
    const std::string device = candidate.hidDevice.empty() ? "its HID device" : candidate.hidDevice;
    // Unbinding the one device would take its hidraw node away as well (no other
    // driver takes a device the Wii driver claims): the module has to go.
    return "<WII> " + candidate.path + " (" + device +
           ") is driven by the kernel's Wii driver (wiimote), which sets its own reporting "
           "mode and extension set-up: the reporting mode is set again whenever it changes, "
           "but readings may pause. To unbind it: sudo modprobe -r hid_wiimote, then "
           "reconnect the device and search again; to keep it unbound: echo 'blacklist "
           "hid_wiimote' | sudo tee /etc/modprobe.d/wii-hidraw.conf\n";
}

std::string WiiPermissionAdvice(int denied, const std::string& deniedPath)
{
    return "<WII> " + std::to_string(denied) +
           " Wii device(s) found but not opened: permission denied on " + deniedPath +
           ". Install the udev rule tools/udev/70-quorvane-wii.rules in /etc/udev/rules.d "
           "(tools/packages.sh does), then run: sudo udevadm control --reload-rules && sudo "
           "udevadm trigger --subsystem-match=hidraw (or reconnect the device), and search "
           "again.\n";
}
