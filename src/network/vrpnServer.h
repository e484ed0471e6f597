#pragma once

// The VRPN server: one TCP listener and one UDP socket (connection requests) on the same
// port, carrying one tracker, one analog and one button server under one name. Owned by
// the module functions of vrpnServerModule.h; at most one exists.
// Threads: constructed and destroyed by the GUI thread. SetAnalog, SetPoses, SetButton and
// Mainloop: any thread (acquisition threads); they never wait on the network.

#include "network/vrpnLink.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct CVrpnServerStats {
    uint64_t connected = 0;       // connections that completed the cookie exchange
    uint64_t dropped = 0;         // connections closed (peer, malformed input, too slow)
    uint64_t requestsRefused = 0; // connection requests (UDP) not answered
    uint64_t selfRequests = 0;    // of those, requests naming our own listening address
    uint64_t framesSkipped = 0;   // reports not queued to a client whose queue was full
    uint64_t buttonsLost = 0;     // button changes past the change queue
};

class CVrpnServer {
public:
    static constexpr size_t kMaxClients = 64;
    static constexpr size_t kButtonQueue = 1024;
    // A client whose queue stays past half full this long without taking a byte is
    // dropped: one that never reads must not hold its slot.
    static constexpr std::chrono::seconds kStuckTimeout{3};

    // port 0 takes a free port (the same for TCP and UDP); address in host order, 0: all.
    CVrpnServer(const char* name, size_t analogCount, size_t sensorCount, size_t buttonCount,
                int port, uint32_t address);
    ~CVrpnServer();
    CVrpnServer(const CVrpnServer&) = delete;
    CVrpnServer& operator=(const CVrpnServer&) = delete;

    // How long a new connection may take to send its cookie. Before the first pass.
    void SetCookieTimeout(std::chrono::milliseconds timeout) { m_cookieTimeout = timeout; }
    // How long a client may stay stuck (see kStuckTimeout). Before the first pass.
    void SetStuckTimeout(std::chrono::milliseconds timeout) { m_stuckTimeout = timeout; }
    // The sockets exist and at least one of the three servers.
    bool IsRunning() const { return m_running; }
    int GetPort() const { return m_port; }
    const std::string& GetName() const { return m_name; }
    size_t GetAnalogCount() const { return m_analogCount; }
    size_t GetSensorCount() const { return m_sensorCount; }
    size_t GetButtonCount() const { return m_buttonCount; }
    // Why the sockets could not be opened; empty when they were.
    const std::string& GetError() const { return m_error; }

    // Copy at an offset; false, nothing written, when the block runs past the array.
    bool SetAnalog(size_t offset, const double* values, size_t count);
    // Poses of 7 doubles: x, y, z, qw, qx, qy, qz.
    bool SetPoses(size_t offset, const double* poses, size_t count);
    // False for an index past the buttons; true and nothing sent when the state is
    // unchanged; otherwise the change is queued and a pass runs at once.
    bool SetButton(size_t button, size_t offset, int state);
    // One pass: new connections, requests, client input, then the reports of the sensors
    // and analog channels set since the last pass (each once; a client that opens gets
    // every current value). When another thread runs a pass, this one leaves its
    // request to that thread and returns.
    bool Mainloop();

    CVrpnServerStats GetStats() const;
    // Connections past the cookie exchange.
    size_t GetClientCount() const { return m_openClients.load(); }

private:
    struct Client;
    struct ButtonEvent {
        int32_t button;
        int32_t state;
    };

    void Pass();
    void AcceptConnections(std::chrono::steady_clock::time_point now);
    void ReadRequests(std::chrono::steady_clock::time_point now);
    bool HandleRequest(const char* text, size_t size, uint32_t source,
                       std::chrono::steady_clock::time_point now);
    void TakeSnapshot();
    bool IsOwnAddress(uint32_t address, long port) const;
    void SendReports(Client& client, vrpn::Time time);
    void CheckStuck(Client& client, std::chrono::steady_clock::time_point now);
    bool QueueButtonStates(CVrpnLink& link, vrpn::Time time);
    bool QueueOpening(CVrpnLink& link);
    void DropClosed();

    const std::string m_name;
    const size_t m_analogCount;
    const size_t m_sensorCount;
    const size_t m_buttonCount;
    int m_port = -1;
    bool m_running = false;
    std::string m_error;
    std::chrono::milliseconds m_cookieTimeout{CVrpnLink::kCookieTimeout};
    std::chrono::milliseconds m_stuckTimeout{kStuckTimeout};
    uint32_t m_address;  // the listening address, host order (0: every interface)
    CFd m_listener;
    CFd m_requests;

    // Written by the setters, read by a pass's snapshot.
    std::mutex m_dataMutex;  // leaf lock: the arrays below and the button queue
    std::vector<double> m_analog;
    std::vector<double> m_poses;
    std::vector<int32_t> m_buttons;
    std::vector<uint8_t> m_sensorSet;  // set since the last pass, per sensor
    bool m_analogSet = false;
    ButtonEvent m_buttonQueue[kButtonQueue];
    size_t m_buttonQueueSize = 0;

    // Owned by the thread running a pass (m_passMutex).
    std::mutex m_passMutex;
    std::atomic<bool> m_passRequested{false};
    std::vector<double> m_analogSnapshot;
    std::vector<double> m_posesSnapshot;
    std::vector<int32_t> m_buttonsSnapshot;
    std::vector<uint8_t> m_sensorSetSnapshot;
    bool m_analogSetSnapshot = false;
    ButtonEvent m_eventSnapshot[kButtonQueue];
    size_t m_eventCount = 0;
    std::vector<std::unique_ptr<Client>> m_clients;

    std::atomic<size_t> m_openClients{0};
    std::atomic<uint64_t> m_connected{0};
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<uint64_t> m_requestsRefused{0};
    std::atomic<uint64_t> m_selfRequests{0};
    std::atomic<uint64_t> m_framesSkipped{0};
    std::atomic<uint64_t> m_buttonsLost{0};
};
