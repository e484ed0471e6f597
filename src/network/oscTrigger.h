#pragma once

// The OSC trigger input: one process-wide OSC connection without a device that
// keeps the numbers it receives; the shell reads the first one to start or stop
// a capture. Start, Stop, Restart and GetOscTriggerValue: GUI thread.
// PollOscTrigger and IsOscTriggerConnected: any thread, on every acquisition
// pass; they never wait: one thread polls at a time, the others skip.

#include <cstdint>
#include <string>

class CTriggerCrossings;

// Replaces the input by a new one opened from the trigger settings
// (GetOscTriggerSettings); a failed open leaves none, and reason (when given) says why.
// The open result.
bool StartOscTrigger(std::string* reason = nullptr);
// Deletes the input (its disconnect message goes out when it was open).
void StopOscTrigger();
// False without an input; otherwise, while the trigger is enabled, replaces it by one
// opened from the settings (the open result), else stops it (true). A restart keeps the
// crossings queued and the socket when the port stays; a new port listens before the
// old one is left, what came there until then is taken, what came after is counted.
bool RestartOscTrigger();
// Receives and handles the datagrams waiting; false without an input, when
// another thread polls, when polled again within a few hundred microseconds,
// or when nothing came.
bool PollOscTrigger();
// Receives every datagram that reached the machine until now, waiting for a poll
// under way to end: for a reader deciding on what came before a moment (the
// count-down), whoever else polls. False without an input or when nothing came.
bool DrainOscTrigger();
// The input exists and its connect message went out.
bool IsOscTriggerConnected();
// The first value received since the last call, then the list is emptied; false
// without an input or when nothing came.
bool GetOscTriggerValue(double* value);
// The local port the input listens on (-1 without one).
int GetOscTriggerListeningPort();

// The start and stop values received, in order (each message's first number
// against the trigger's high and low values, low included), kept across the
// input's restarts and emptied by each start, which also takes its levels from
// the settings. Any thread.
CTriggerCrossings& GetOscTriggerCrossings();
// Any thread: datagrams the system dropped on the ports the input left or closed (its
// queue full, or come as it was left), across its restarts; each said as counted.
std::uint64_t GetOscTriggerLostCount();
// Any thread: datagrams the input read, malformed ones too, across its restarts.
std::uint64_t GetOscTriggerDatagramCount();
// Any thread: malformed datagrams the input ignored (0 without one).
std::uint64_t GetOscTriggerMalformedCount();
