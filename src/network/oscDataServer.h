#pragma once

// The OSC data server: republishes every frame and marker of every device as
// OSC messages to its clients over UDP. One object serves the whole process
// (see network/oscServer.h); the class is also usable on its own.
//
// Threads: Start, Close, Poll and the client functions run on the GUI thread;
// SetData and SendEvent on any acquisition thread, several at once. The GUI
// side's state (clients, sockets, settings) is guarded by m_mutex, which no
// acquisition thread takes. Senders never share a lock: each thread builds its
// messages in its own buffers and sends them on the shared socket (a UDP send
// needs no lock) to its own copy of the destinations, refreshed under a reader
// lock held only for that copy when the GUI side published a change. Close
// waits for the sends in progress before it closes the socket.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "network/oscServerSettings.h"
#include "network/repeatNote.h"
#include "osc_pkt/oscpkt.h"
#include "osc_pkt/udp.h"

// Where the server's console lines go (each ends with a newline); isError
// selects standard error. The default writes to standard output and error.
using OscConsoleSink = void (*)(bool isError, const std::string& line);
// Installs a sink, or the default for nullptr. Any thread.
void SetOscConsoleSink(OscConsoleSink sink);
// Writes one line through the installed sink. Any thread; take no lock around it.
void OscConsoleLine(bool isError, const std::string& line);

// Called on a sending thread just before each data or event datagram goes out; a
// test uses it to hold one device inside its send.
using OscSendObserver = void (*)(void* context, const std::uint8_t* packet, std::size_t size);

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

    // GUI thread. A failure's reason, for the user, in reason when given.
    bool Start(int inPort, int outPort, std::string* reason = nullptr);
    bool Close();
    bool Poll();
    // Resolves host:port, welcomes it and records it; entryId links the client
    // to the configured entry that made it (0: none). A refusal says why in reason.
    bool AddClient(const std::string& host, int port, std::uint64_t entryId = 0,
                   std::string* reason = nullptr);
    bool RemoveClientAt(std::size_t index);
    // The client a peer sending from address is served as (its host at the out port).
    int FindClient(const NetAddress& address) const;
    void ClearClients();
    std::size_t ClientCount() const;

    // Configured entries ("host:port" texts), GUI thread.
    // False with the part that is wrong in reason (when given).
    bool AddConfiguredClient(const std::string& text, std::string* reason = nullptr);
    bool AddConfiguredClients();
    bool RemoveConfiguredClient(const std::string& text);
    std::string GetConfiguredClient(std::size_t index) const;
    std::size_t ConfiguredClientCount() const;
    bool ClearConfiguredClients();

    void SetSettings(const OscServerSettings& settings);
    OscServerSettings Settings() const;

    // Any thread. Each thread encodes into buffers of its own, sized on its first
    // message for kOscReservedValues values: no allocation per frame.
    bool SetData(const char* name, const double* values, int count, double time);
    bool SendEvent(const char* name, const char* label, double time);
    // Before any sender runs (null: none).
    void SetSendObserver(OscSendObserver observer, void* context);

    bool IsStarted() const { return m_started.load(std::memory_order_acquire); }
    bool IsConnected() const;
    int InPort() const;
    int OutPort() const;
    OscServerStats Stats() const;

    // Buffers of each sending thread hold frames of this many values unextended.
    static constexpr std::size_t kReservedValues = 1024;

    // Destinations whose send failures are told apart; past them, one shared count.
    static constexpr std::size_t kTrackedDestinations = 256;

private:
    class Console;
    class Sender;
    // Sends to one destination, counted by the sending threads without a lock; the GUI
    // side says the first failure, counts, and says the count when sending works again,
    // the destination goes, or the server closes. A slot keeps its destination for the
    // server's life, so a sender's old copy never counts for another.
    struct SendSlot {
        NetAddress address;  // set before the slot is published
        bool isShared = false;  // the last slot: every destination past the others
        std::atomic<std::uint64_t> failures{0};
        std::atomic<std::uint64_t> wholes{0};
        std::atomic<int> lastError{0};  // errno of the latest failure; kCutShort
        // GUI side (m_mutex).
        bool isFailing = false;
        std::uint64_t said = 0;          // failures given in notes
        std::uint64_t episodeStart = 0;  // failures before the current failing stretch
        std::uint64_t seenFailures = 0;  // counts at the last poll
        std::uint64_t seenWholes = 0;
    };
    // What senders need of the GUI side's state; copied by each sender.
    struct Route {
        int handle = -1;  // the sending socket, -1 while closed
        bool connected = false;
        std::vector<NetAddress> destinations;
        std::vector<SendSlot*> slots;  // one per destination
        std::string dataTag;
        std::string eventTag;
        bool useDouble = false;
        bool sendTime = true;
    };
    // Lets Close wait for the sends in progress without senders sharing a lock:
    // each send counts itself on one of two sides, and a waiter flips the side
    // new sends use, then waits for the old side to empty.
    class SendGate {
    public:
        unsigned Enter() noexcept;
        void Leave(unsigned side) noexcept;
        void WaitForSendsInProgress();  // GUI thread

    private:
        std::atomic<unsigned> m_epoch{0};
        std::atomic<int> m_inside[2] = {{0}, {0}};
        std::atomic<bool> m_waiting{false};
        std::mutex m_mutex;
        std::condition_variable m_drained;
    };
    struct Client {
        NetAddress address;      // the peer as recorded (requester or resolved entry)
        NetAddress destination;  // where its copies go
        std::uint64_t entryId;   // configured entry that made it, 0 for none
        bool asked;              // the peer asked for data itself: kept until it disconnects
    };
    struct Entry {
        std::string text;
        std::uint64_t id;
    };

    bool AddClientLocked(const NetAddress& destination, const std::string& host, int port,
                         std::uint64_t entryId, Console& console, std::string* reason);
    void ServeLocalPeerLocked(Console& console);
    bool ConnectLocalLocked(Console& console);
    bool HandleConnectLocked(const NetAddress& requester, Console& console);
    void SayRepeatConnectsLocked(Console& console, CRepeatNote::Clock::time_point now);
    bool HandleDisconnectLocked(const NetAddress& requester, Console& console);
    bool RemoveClientAtLocked(std::size_t index, Console& console);
    void DropEntryClientsLocked();
    int FindClientLocked(const NetAddress& address) const;
    bool ResendRecordLocked();
    bool SendReplyLocked(const std::string& word, const NetAddress& destination);
    void BuildReplyLocked(const std::string& word);
    void RebuildDestinationsLocked();
    void SetConnectedLocked(bool connected);
    void PublishLocked();
    void CountSend(UdpSendResult result);
    static void CountSend(SendSlot* slot, UdpSendResult result, int errorCode);
    SendSlot* SlotForLocked(const NetAddress& destination);
    void ReportSendFailuresLocked(Console& console, bool isClosing);
    static Sender& ThisThreadSender();
    void Refresh(Sender& sender) const;
    bool SendBuilt(const Sender& sender);

    // Listening side: Start, Close and Poll only, under m_controlMutex.
    std::mutex m_controlMutex;
    UdpEndpoint m_listener;
    OscPacketParser m_parser;

    mutable std::mutex m_mutex;  // guards the members down to m_resend
    // One unconnected socket addresses every client separately.
    UdpEndpoint m_sender;
    std::vector<Client> m_clients;
    std::vector<NetAddress> m_destinations;  // distinct, local peer first
    std::vector<SendSlot*> m_destinationSlots;  // one per destination
    std::unique_ptr<SendSlot[]> m_slots;        // kTrackedDestinations
    std::size_t m_slotCount = 0;                // slots given a destination
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
    // Connect requests from peers already connected: said once, then with a count.
    CRepeatNote m_repeatConnectNote;
    std::string m_repeatConnectPeer;  // the last such requester, host:port

    // The GUI side's encoding buffers (replies, resent records).
    OscMessage m_message;
    OscPacketBuilder m_builder;
    std::vector<std::uint8_t> m_resend;

    // Published for the senders: a reader lock held only to copy it.
    mutable std::shared_mutex m_routeMutex;  // leaf lock
    Route m_route;
    std::atomic<std::uint64_t> m_routeVersion{0};
    SendGate m_gate;

    // The last data packet of whichever device sent last, for data requests.
    // Senders only try the lock: a busy record keeps the other device's frame.
    std::mutex m_recordMutex;  // leaf lock
    std::vector<std::uint8_t> m_record;

    std::atomic<OscSendObserver> m_observer{nullptr};
    std::atomic<void*> m_observerContext{nullptr};
    std::atomic<std::uint64_t> m_packetsSent{0};
    std::atomic<std::uint64_t> m_sendFailures{0};
    std::atomic<std::uint64_t> m_wouldBlock{0};
};
