#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "wii/wiiRecord.h"

class CWiiRemote;

// The Wii layer: the process's one array of four remote slots over the Wii platform
// calls (wiiPlatform.h), shared by every Wii device and the application shell. Its
// state is guarded by one lock: the GUI thread searches and cleans up while the
// acquisition threads of the Wii devices poll and read their slots.
// A slot outside 0..3, or any call before the first search, answers false, 0 or none.

// Search time-out in whole seconds; the shell sets it from "/WII/time_out".
extern std::atomic<int> g_wii_time_out;

// GUI thread: looks for remotes, connects them, lights their LEDs, rumbles the first
// and reports each one on standard output. Returns the number connected.
int InitWiiDevices();
// Devices the last search found but could not open for want of permission.
int GetWiiDeniedCount();
// GUI thread, once at exit: disconnects and frees every record.
void CleanupWiiDevices();
// GUI thread: the text naming the platform calls' version.
std::string GetWiiuseVersion();
// GUI thread: "WiiBoard[id]" or "Wiimote[id]" for a connected slot, else "???".
std::string GetWiiDeviceName(int slot);

// Acquisition threads: reads every remote; true when a slot has an event waiting.
bool PollWiiDevices();
// Acquisition threads: copies the slot's record with what happened since its last take
// (buttons pressed and released, the event code) and clears that. False, and out
// untouched, for an empty slot. The one safe way to read a record while others poll.
bool TakeWiiRemote(int slot, WiiRemoteData* out);
void ResyncWiiDevice(int slot);
void DisconnectWiiDevice(int slot);

// Any thread.
// Counts the searches: after one, a device may sit in another slot.
uint32_t GetWiiSearchCount();
// The slot's device (WiiRemoteData::serial), 0 for none; the slot of a connected
// device, -1 when none is.
uint64_t GetWiiSerial(int slot);
int FindWiiSerial(uint64_t serial);
bool IsWiiConnected(int slot);  // outside 0..3: any slot connected
bool IsAnyWiiConnected();
bool IsWiiInitialised();
bool IsWiiBoard(int slot);
bool HasWiiNunchuk(int slot);
float GetWiiBatteryLevel(int slot);
// The number of the slot's remote, 0 for none.
int GetWiiIdentifier(int slot);
// Accelerometer and Motion Plus reporting of one slot; false for an empty slot.
bool SetWiiMotionSensing(int slot, bool on);
bool SetWiiMotionPlus(int slot, bool on);
bool WiimoteIsBoard(const WiiRemoteData* remote);
bool WiimoteHasNunchuk(const WiiRemoteData* remote);
// The slot's live record, valid until CleanupWiiDevices. Its fields change under
// every poll: read it only where no Wii device polls, or use TakeWiiRemote.
CWiiRemote* GetWiimote(int slot);

// Diagnostics (no caller in the application).
void PrintWiiMotion(const WiiRemoteData* remote);
void RunWiiMotionTrace();

// printf-style formatting into a standard string, whatever its length.
std::string FormatStdString(const char* format, ...) __attribute__((format(printf, 1, 2)));
