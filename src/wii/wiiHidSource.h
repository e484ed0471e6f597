#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wii/wiiRemote.h"

// Where the search looks for remotes. The default reads the system's hidraw nodes;
// another source (a simulated remote) can take its place. Called by the thread that
// searches (the GUI thread).
class CWiiHidSource {
public:
    virtual ~CWiiHidSource() = default;
    // False when no remote can turn up at all (no Bluetooth adapter): the search then
    // ends at once instead of waiting out its time-out.
    virtual bool CanDiscover() = 0;
    // Appends the remotes present now.
    virtual void Scan(std::vector<WiiHidCandidate>& found) = 0;
    // A descriptor that carries whole reports, or -1 (after a message) with the
    // reason, an errno value, in *error when error is not null.
    virtual int Open(const WiiHidCandidate& candidate, int* error) = 0;
};

// What to tell the user when the kernel's own Wii driver is bound to the candidate
// (it sets the reporting mode and the extensions up on its own); empty otherwise.
std::string WiiKernelDriverNotice(const WiiHidCandidate& candidate);
// What to tell the user when found devices could not be opened for want of
// permission (deniedPath: one of them).
std::string WiiPermissionAdvice(int denied, const std::string& deniedPath);
// True for a HID name that belongs to a Wii U Pro Controller.
bool WiiIsProControllerName(const std::string& name);

// Wii Remotes and Balance Boards that the kernel's HID layer already drives: hidraw
// nodes whose HID id names the remote's vendor and products. A Wii U Pro Controller
// shares the product id of the remote with Motion Plus built in; its HID name tells
// it apart and it is left out.
class CWiiHidrawSource : public CWiiHidSource {
public:
    explicit CWiiHidrawSource(std::string sysRoot = "/sys", std::string devRoot = "/dev");

    bool CanDiscover() override;
    void Scan(std::vector<WiiHidCandidate>& found) override;
    int Open(const WiiHidCandidate& candidate, int* error) override;
    // The kernel driver a Wii driver binds to the remote.
    static constexpr const char* kKernelDriver = "wiimote";

    static constexpr uint16_t kVendor = 0x057E;
    static constexpr uint16_t kProductRemote = 0x0306;
    static constexpr uint16_t kProductRemotePlus = 0x0330;  // Motion Plus built in
    // The product of a uevent text's "HID_ID=bus:vendor:product" line, when it names a
    // Wii remote.
    static bool ParseHidId(const std::string& uevent, uint16_t* product);
    // The value of a uevent text's "key=value" line, empty when there is none.
    static std::string UeventValue(const std::string& uevent, const char* key);

private:
    std::string m_sysRoot;
    std::string m_devRoot;
};
