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

bool CWiiHidrawSource::ParseHidId(const std::string& uevent, uint16_t* product)
{
    static const char kKey[] = "HID_ID=";
    size_t at = uevent.find(kKey);
    while (at != std::string::npos && at != 0 && uevent[at - 1] != '\n')
        at = uevent.find(kKey, at + 1);
    if (at == std::string::npos) return false;
    const std::string line = uevent.substr(at + sizeof kKey - 1, uevent.find('\n', at) - at);
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
    std::vector<std::pair<std::string, uint16_t>> matches;
    for (const fs::directory_entry& node : nodes) {
        std::string uevent;
        uint16_t product = 0;
        if (!ReadSmallFile(node.path() / "device" / "uevent", &uevent)) continue;
        if (!ParseHidId(uevent, &product)) continue;
        matches.emplace_back(node.path().filename().string(), product);
    }
    std::sort(matches.begin(), matches.end(),
              [](const auto& a, const auto& b) { return NodeBefore(a.first, b.first); });
    for (const auto& match : matches)
        found.push_back({(fs::path(m_devRoot) / match.first).string(), match.second});
}

int CWiiHidrawSource::Open(const WiiHidCandidate& candidate)
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
    }
    return fd;
}
