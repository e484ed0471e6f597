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
    // A descriptor that carries whole reports, or -1 (after a message).
    virtual int Open(const WiiHidCandidate& candidate) = 0;
};

// Wii Remotes and Balance Boards that the kernel's HID layer already drives: hidraw
// nodes whose HID id names the remote's vendor and products.
class CWiiHidrawSource : public CWiiHidSource {
public:
    explicit CWiiHidrawSource(std::string sysRoot = "/sys", std::string devRoot = "/dev");

    bool CanDiscover() override;
    void Scan(std::vector<WiiHidCandidate>& found) override;
    int Open(const WiiHidCandidate& candidate) override;

    static constexpr uint16_t kVendor = 0x057E;
    static constexpr uint16_t kProductRemote = 0x0306;
    static constexpr uint16_t kProductRemotePlus = 0x0330;  // Motion Plus built in
    // The product of a uevent text's "HID_ID=bus:vendor:product" line, when it names a
    // Wii remote.
    static bool ParseHidId(const std::string& uevent, uint16_t* product);

private:
    std::string m_sysRoot;
    std::string m_devRoot;
};
