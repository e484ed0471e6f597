#pragma once

#include <memory>
#include <vector>

#include "wii/wiiRemote.h"

class CWiiHidSource;

// The array of remote records that the platform calls work on. Owns the records.
class CWiiRemoteArray {
public:
    explicit CWiiRemoteArray(int count);
    int Count() const { return static_cast<int>(m_remotes.size()); }
    // The record of a slot, or null outside 0..Count() - 1.
    CWiiRemote* At(int slot) const;
    void Swap(int a, int b);

private:
    std::vector<std::unique_ptr<CWiiRemote>> m_remotes;
};

// The Wii platform calls: discovery, connection, output and polling of Wii Remotes and
// Balance Boards that the system's HID layer reaches. Like any device library they
// hold no lock: the Wii layer (wiiLayer.h) serialises them. A count larger than the
// array is cut to it; a null array or record does nothing.
const char* wiiuse_version();
std::unique_ptr<CWiiRemoteArray> wiiuse_init(int count);
// Looks for remotes for up to timeoutSec seconds (at once when none can appear);
// fills the first slots with what it found and returns how many.
int wiiuse_find(CWiiRemoteArray* remotes, int count, int timeoutSec);
// Connects what was found; the connected ones end up in slots 0..result - 1.
int wiiuse_connect(CWiiRemoteArray* remotes, int count);
void wiiuse_set_leds(CWiiRemote* remote, int leds);
void wiiuse_rumble(CWiiRemote* remote, int on);
// Reads every connected remote without waiting; returns how many have an event.
int wiiuse_poll(CWiiRemoteArray* remotes, int count);
void wiiuse_resync(CWiiRemote* remote);
void wiiuse_disconnect(CWiiRemote* remote);
// Disconnects and frees every record and the array.
void wiiuse_cleanup(std::unique_ptr<CWiiRemoteArray> remotes, int count);
void wiiuse_motion_sensing(CWiiRemote* remote, int on);
void wiiuse_set_motion_plus(CWiiRemote* remote, int on);

// Replaces where remotes are looked for; null restores the system's hidraw nodes.
// Any thread.
void SetWiiHidSource(std::shared_ptr<CWiiHidSource> source);
std::shared_ptr<CWiiHidSource> GetWiiHidSource();

// Longest start-up exchange with one remote when it connects.
constexpr int kWiiConnectTimeoutMs = 1500;
