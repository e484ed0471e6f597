#pragma once

// The OSC data server: republishes every frame and marker of every device as
// OSC messages to its clients over UDP. One object serves the whole process
// (see network/oscServer.h); the class is also usable on its own.
//
// Threads: Start, Close, Poll and the client functions run on the GUI thread;
// SetData and SendEvent on any acquisition thread, several at once. One mutex
// (a leaf lock) guards the clients, the sending socket and the data record;
// it is held for short non-blocking work only, never during Poll's receive
// wait. The listening socket belongs to Start/Close/Poll, which a second mutex
// serialises (taken before the first, never by acquisition threads).

#include "network/oscServerSettings.h"
#include "osc_pkt/oscpkt.h"
#include "osc_pkt/udp.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Where the server's console lines go (each ends with a newline); isError
// selects standard error. The default writes to standard output and error.
using OscConsoleSink = void (*)(bool isError, const std::string& line);
// Installs a sink, or the default for nullptr. Any thread.
void SetOscConsoleSink(OscConsoleSink sink);
// Writes one line through the installed sink. Any thread; take no lock around it.
void OscConsoleLine(bool isError, const std::string& line);

struct OscServerStats {
    std::uint64_t packetsSent = 0;   // datagrams that went out whole
    std::uint64_t sendFailures = 0;  // datagrams refused or cut short
    std::uint64_t wouldBlock = 0;    // of those, refused because the socket buffer was full
};

class OscDataServer {
public:
    OscDataServer();
    ~OscDataServer();  // closes the sockets, sends nothing
    OscDataServer(const OscDataServer&) = delete;
    OscDataServer& operator=(const OscDataServer&) = delete;

    // GUI thread.
    bool Start(int inPort, int outPort);
    bool Close();
    bool Poll();
    // Resolves host:port, welcomes it and records it; entryId links the client
    // to the configured entry that made it (0: none).
    bool AddClient(const std::string& host, int port, std::uint64_t entryId = 0);
    bool RemoveClientAt(std::size_t index);
    int FindClient(const NetAddress& address) const;
    void ClearClients();
    std::size_t ClientCount() const;

    // Configured entries ("host:port" texts), GUI thread.
    bool AddConfiguredClient(const std::string& text);
    bool AddConfiguredClients();
    bool RemoveConfiguredClient(const std::string& text);
    std::string GetConfiguredClient(std::size_t index) const;
    std::size_t ConfiguredClientCount() const;
    bool ClearConfiguredClients();

    void SetSettings(const OscServerSettings& settings);
    OscServerSettings Settings() const;

    // Any thread. Never allocates once the record has held a frame this large.
    bool SetData(const char* name, const double* values, int count, double time);
    bool SendEvent(const char* name, const char* label, double time);

    bool IsStarted() const { return m_started.load(std::memory_order_acquire); }
    bool IsConnected() const;
    int InPort() const;
    int OutPort() const;
    OscServerStats Stats() const;

private:
    class Console;
    struct Client {
        NetAddress address;      // the peer as recorded (requester or resolved entry)
        NetAddress destination;  // where its copies go
        std::uint64_t entryId;   // configured entry that made it, 0 for none
    };
    struct Entry {
        std::string text;
        std::uint64_t id;
    };

    bool AddClientLocked(const NetAddress& destination, const std::string& host, int port,
                         std::uint64_t entryId, Console& console);
    void ServeLocalPeerLocked(Console& console);
    bool ConnectLocalLocked(Console& console);
    bool HandleConnectLocked(const NetAddress& requester, Console& console);
    bool HandleDisconnectLocked(const NetAddress& requester, Console& console);
    bool RemoveClientAtLocked(std::size_t index, Console& console);
    int FindClientLocked(const NetAddress& address) const;
    bool SendDataLocked();
    bool SendPacketLocked();
    bool SendReplyLocked(const std::string& word, const NetAddress& destination);
    void BuildReplyLocked(const std::string& word);
    void RebuildDestinationsLocked();
    void CountSend(bool whole);

    // Listening side: Start, Close and Poll only, under m_controlMutex.
    std::mutex m_controlMutex;
    UdpEndpoint m_listener;
    OscPacketParser m_parser;

    mutable std::mutex m_mutex;  // guards everything below
    // One unconnected socket addresses every client separately.
    UdpEndpoint m_sender;
    std::vector<Client> m_clients;
    std::vector<NetAddress> m_destinations;  // distinct, local peer first
    NetAddress m_localPeer;
    bool m_hasLocalPeer = false;
    int m_inPort = kOscDefaultInPort;
    int m_outPort = kOscDefaultOutPort;
    std::atomic<bool> m_started{false};
    bool m_connected = false;
    const std::string m_connectAddress;
    const std::string m_disconnectAddress;
    const std::string m_requestAddress;
    OscServerSettings m_settings;
    std::vector<Entry> m_entries;
    std::uint64_t m_nextEntryId = 1;

    // Data record and encoding buffers, sized once and reused for every frame.
    std::vector<double> m_values;
    std::string m_name;
    double m_time = 0.0;
    std::string m_address;
    OscMessage m_message;
    OscPacketBuilder m_builder;
    OscServerStats m_stats;
};
