#pragma once

// The process-wide VRPN server and its registry of device blocks: every device that
// joins VRPN output gets a contiguous block of sensors, analog channels and buttons;
// entry 0 is the program's own block (one button, the capture synchronisation button).
// Start, stop, restart, add device, settings: GUI thread. Set*, Mainloop, queries: any
// thread (acquisition threads, each under its own device's data mutex). One module lock
// serialises re-creation against the per-frame calls; a frame never waits on the network.

#include "network/vrpnServer.h"

#include <chrono>
#include <cstdint>
#include <string>

// "/VRPN/vrpn_listening_port" (default 3883; 0 picks a free port) and the local address
// to listen on (host order, 0: every interface). Take effect at the next start.
void SetVrpnServerPort(int port);
int GetVrpnServerPort();
void SetVrpnServerAddress(uint32_t address);
// How long a new connection may take to send its cookie (default 5 s).
void SetVrpnServerCookieTimeout(std::chrono::milliseconds timeout);
// How long a client with bytes waiting may take none before it is dropped (default 3 s;
// four times that for one seen to read again after its window had closed).
void SetVrpnServerStuckTimeout(std::chrono::milliseconds timeout);

bool StartVrpnServer(const char* name);
void StopVrpnServer();
bool RestartVrpnServer(const char* name);
// 0 when stopped, 1 with only the program's block, 1 + devices added.
unsigned IsVrpnServerStarted();
bool IsVrpnServerRunning();
// The port the running server listens on, -1 without one.
int GetVrpnServerBoundPort();
std::string GetVrpnServerName();
CVrpnServerStats GetVrpnServerStats();
size_t GetVrpnServerClientCount();

// Re-creates the server with the totals enlarged (connected clients lose their
// connection); the new device's registry index, 0 on failure. A block that runs past
// what VRPN clients take (128 analog channels, 256 buttons) is warned about once, with
// how many of its channels and buttons are sent; name, when given, names the device.
int VrpnServerAddDevice(int buttons, int channels, int sensors, const char* name);
void VrpnServerRemoveDevice(int index);
bool VrpnServerMainloop();
bool VrpnServerSetButton(int device, int button, int state);
bool VrpnServerSetAnalog(int device, const double* values, int n);
// n poses of 7 doubles: x, y, z, qw, qx, qy, qz.
bool VrpnServerSetTracker(int device, const double* poses, int n);
bool VrpnServerSkipButton();
