#pragma once

// The process-wide OSC data server, reached only through these functions.
// Start, close, poll, settings and clients: GUI thread. IsOscServerStarted,
// OscServerSetData and OscServerSendEvent: any thread (acquisition threads).

#include "network/oscDataServer.h"

#include <cstddef>
#include <string>

// The one server object, created on first use.
OscDataServer& GetOscDataServer();

// A failure's reason, for the user, in reason when given.
bool StartOscServer(int inPort, int outPort, std::string* reason = nullptr);
bool CloseOscServer();
bool IsOscServerStarted();
bool IsOscServerConnected();
bool OscServerPoll();

// One frame of a device: its enabled channel values and the frame time (s).
bool OscServerSetData(const char* deviceName, const double* values, int count, double time);
// One marker of a device: its label and time (s).
bool OscServerSendEvent(const char* deviceName, const char* label, double time);

// Configured clients: "host:port" texts kept in the order added.
// False when the server is not started or the entry is refused; reason (when
// given) then says which part is wrong.
bool OscServerAddClient(const std::string& hostPort, std::string* reason = nullptr);
bool OscServerAddClients();
bool OscServerRemoveClient(const std::string& hostPort);
std::string OscServerGetClient(std::size_t index);
std::size_t OscServerGetClientCount();
bool OscServerClearClients();

void OscServerSetSettings(const OscServerSettings& settings);
OscServerSettings OscServerGetSettings();
OscServerStats OscServerGetStats();

// Splits "host:port" at the first ':'; the port is the decimal number at the
// start of the rest (leading blanks and a sign allowed, trailing text ignored).
// False, with host empty and port 0, when there is no ':', the host is empty,
// or no number fitting an int follows.
bool ParseHostPort(const std::string& text, std::string& host, int& port);
