#pragma once

// The VRPN server: one TCP listener and one UDP socket (connection requests) on the same
// port, carrying one tracker, one analog and one button server under one name. Owned by
// the module functions of vrpnServerModule.h; at most one exists.
// Threads: constructed and destroyed by the GUI thread. SetAnalog, SetPoses, SetButton and
// Mainloop: any thread (acquisition threads); they never wait on the network.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "network/repeatNote.h"
#include "network/vrpnLink.h"
#include "process/messageQueue.h"

struct CVrpnServerStats {
    uint64_t connected = 0;       // connections that completed the cookie exchange
    uint64_t dropped = 0;         // connections closed (peer, malformed input, stopped reading)
    uint64_t requestsRefused = 0; // connection requests (UDP) not answered
    uint64_t selfRequests = 0;    // of those, requests naming our own listening address
    uint64_t clientsRefused = 0;  // connections and requests refused: kMaxClients reached
    uint64_t framesLost = 0;      // frames not sent to anyone: the frame queue was full
    uint64_t framesSkipped = 0;   // frames not sent to a client that fell behind (summed)
    uint64_t buttonsLost = 0;     // button changes not sent: the frame queue was full
    uint64_t messagesRefused = 0; // client messages refused with the connection kept
};

class CVrpnServer {
public:
    static constexpr size_t kMaxClients = 64;
    // Frames (and button changes) waiting for a pass: room for the pass running thread
    // to be held up for a while by the scheduler without a frame being lost.
    static constexpr size_t kQueuedFrames = 2048;
    static constexpr size_t kMaxQueuedValues = size_t{1} << 17;
    // A client that has bytes waiting and takes none of them this long is dropped: one
    // that never reads must not hold its slot.
    static constexpr std::chrono::seconds kStuckTimeout{3};
    // Room in each client's queue that reports leave free for button changes and
    // pongs, which must not be lost. Reports take the rest, flushed as it fills.
    static constexpr size_t kReportReserve = 128 * 1024;
    // Bytes of one sensor's reports (position, velocity, acceleration) on the wire.
    static constexpr size_t kPoseReportBytes =
        3 * vrpn::kHeaderSize + vrpn::kPosQuatSize + 2 * vrpn::kVelocitySize;

    // port 0 takes a free port (the same for TCP and UDP); address in host order, 0: all.
    CVrpnServer(const char* name, size_t analogCount, size_t sensorCount, size_t buttonCount,
                int port, uint32_t address);
    // Says what is outstanding: losses and notes not yet said.
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
    // The output room of each client: every current value twice, and the reserve.
    size_t GetLinkCapacity() const { return m_linkCapacity; }
    // Why the sockets could not be opened; empty when they were.
    const std::string& GetError() const { return m_error; }

    // Queue one frame of a block at an offset; each queued frame is reported once, in
    // order, by a later pass. False, nothing queued, when the block runs past the array
    // or the queue is full (counted in framesLost).
    bool SetAnalog(size_t offset, const double* values, size_t count);
    // Poses of 7 doubles: x, y, z, qw, qx, qy, qz.
    bool SetPoses(size_t offset, const double* poses, size_t count);
    // False for an index past the buttons; true and nothing sent when the state is
    // unchanged; otherwise the change is queued behind the frames and a pass runs.
    bool SetButton(size_t button, size_t offset, int state);
    // One pass: new connections, requests, client input, then every queued frame and
    // button change in order (a client that opens gets every current value first).
    // When another thread runs a pass, this one leaves its request to that thread and
    // returns: its frames wait in the queue.
    bool Mainloop();

    CVrpnServerStats GetStats() const;
    // Connections past the cookie exchange.
    size_t GetClientCount() const { return m_openClients.load(); }

private:
    struct Client;
    // A kind of event said once, then at most every few seconds with a count.
    struct Note {
        const char* before;  // the text before the peer's address and after it
        const char* after;
        Severity severity;
        CRepeatNote counter{};
        uint32_t address = 0;  // the last event's peer
        int port = 0;
        const char* reason = "";
    };
    // Messages refused from clients, the connections kept: said once, then counted.
    struct RefusalNote {
        CRepeatNote counter{};
        uint32_t address = 0;  // the last refusal's peer
        int port = 0;
        VrpnRefusal first;     // described only when said: refusing allocates nothing
        VrpnRefusal last;
    };
    enum class FrameKind : uint8_t { kPoses, kAnalog, kButton };
    // One queued frame: its values lie in the queue's value store.
    struct QueuedFrame {
        vrpn::Time time;  // when it was set (never before the frame ahead): its reports'
        FrameKind kind;
        bool reportBefore;  // the analog channels set so far are reported first (pass)
        uint32_t offset;    // first sensor or channel; the button's index
        uint32_t count;     // sensors or channels; the button's state
        uint32_t first;     // its first value in the store
    };
    struct FrameQueue {
        std::vector<QueuedFrame> frames;  // sized once; frameCount in use
        std::vector<double> values;       // sized once; valueCount in use
        size_t frameCount = 0;
        size_t valueCount = 0;
    };

    vrpn::Time Stamp();
    bool QueueFrame(FrameKind kind, size_t offset, size_t count, const double* values,
                    size_t valueCount);
    bool AppendFrame(FrameKind kind, size_t offset, size_t count, const double* values,
                     size_t valueCount, vrpn::Time time);
    void Pass();
    void AcceptConnections(std::chrono::steady_clock::time_point now);
    void ReadRequests(std::chrono::steady_clock::time_point now);
    bool HandleRequest(const char* text, size_t size, uint32_t source,
                       std::chrono::steady_clock::time_point now);
    void TakeQueuedFrames();
    bool IsOwnAddress(uint32_t address, long port) const;
    void SendReports(Client& client, std::chrono::steady_clock::time_point now);
    size_t QueueFrames(Client& client, bool withReports);
    bool MakeRoom(CVrpnLink& link, size_t bytes);
    bool QueueState(CVrpnLink& link);
    bool QueuePose(CVrpnLink& link, size_t sensor, const double* pose, vrpn::Time time);
    bool QueueAnalog(CVrpnLink& link, const double* values, vrpn::Time time);
    void CountNote(Note& note, uint32_t address, int port, const char* reason,
                   std::chrono::steady_clock::time_point now);
    void SayNote(Note& note, std::chrono::steady_clock::time_point now);
    void SayDueNotes(std::chrono::steady_clock::time_point now, bool isFinal);
    void CountRefusal(const VrpnRefusal& refusal, uint32_t address, int port,
                      std::chrono::steady_clock::time_point now);
    void SayRefusals(std::chrono::steady_clock::time_point now);
    void CheckStuck(Client& client, std::chrono::steady_clock::time_point now);
    bool QueueButtonStates(CVrpnLink& link, vrpn::Time time);
    bool QueueOpening(CVrpnLink& link);
    void DropClosed();
    void ReportLosses(std::chrono::steady_clock::time_point now, bool isFinal);

    const std::string m_name;
    const size_t m_analogCount;
    const size_t m_sensorCount;
    const size_t m_buttonCount;
    const size_t m_analogReportBytes;  // one analog report on the wire (0: no channels)
    const size_t m_stateBytes;         // every current value on the wire
    const size_t m_linkCapacity;
    int m_port = -1;
    bool m_running = false;
    std::string m_error;
    std::chrono::milliseconds m_cookieTimeout{CVrpnLink::kCookieTimeout};
    std::chrono::milliseconds m_stuckTimeout{kStuckTimeout};
    uint32_t m_address;  // the listening address, host order (0: every interface)
    CFd m_listener;
    CFd m_requests;

    // The setters fill one queue while a pass sends the other; a pass swaps them.
    FrameQueue m_queues[2];
    std::mutex m_dataMutex;  // leaf lock: m_filling, the queue it names and the fields below
    FrameQueue* m_filling = &m_queues[0];
    std::vector<int32_t> m_buttons;  // the states set, to pass on changes only
    // The values set last, queued or not: a client that opens after a loss starts there.
    std::vector<double> m_latestAnalog;
    std::vector<double> m_latestPoses;
    bool m_isQueueOverrun = false;  // a frame was lost since the last pass
    vrpn::Time m_lastStamp;         // the latest frame time handed out
    vrpn::Time m_latestTime;        // the time of the values set last, queued or not

    // Owned by the thread running a pass (m_passMutex).
    std::mutex m_passMutex;
    std::atomic<bool> m_passRequested{false};
    FrameQueue* m_sending = &m_queues[1];
    std::vector<double> m_analogState;      // every value as of the last frame sent
    std::vector<double> m_poseState;
    std::vector<int32_t> m_buttonState;
    std::vector<double> m_analogLatestCopy;  // the last values set, after a loss
    std::vector<double> m_poseLatestCopy;
    std::vector<double> m_analogReplay;     // a client's channels as its reports go on
    std::vector<uint8_t> m_analogPending;   // set by this pass's frames, not yet reported
    bool m_reportAnalogAtEnd = false;
    vrpn::Time m_stateTime;     // the time of the newest frame in the current values
    std::vector<std::unique_ptr<Client>> m_clients;
    std::chrono::steady_clock::time_point m_nextStuckCheck;
    bool m_hasReportedLoss = false;
    std::chrono::steady_clock::time_point m_lastLossReport;
    uint64_t m_reportedLost = 0;
    uint64_t m_reportedButtons = 0;
    // Frames clients missed before they were dropped, not said yet.
    struct GoneCut {
        uint32_t address;
        int port;
        uint64_t missed;
    };
    std::vector<GoneCut> m_goneCuts;  // reserved for kMaxClients
    bool m_isQueueCut = false;        // a queue loss was said; its count follows its end
    std::chrono::steady_clock::time_point m_queueLossAt;  // when a pass last found new ones
    uint64_t m_queueLossesSeen = 0;  // frames and button changes lost, as last seen
    Note m_connectNote{"Client connected ", "", Severity::Info};
    Note m_dropNote{"Client ", " dropped", Severity::Info};
    Note m_refuseNote{"Refused client ", "", Severity::Warning};
    RefusalNote m_refusalNote;

    std::atomic<size_t> m_openClients{0};
    std::atomic<uint64_t> m_connected{0};
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<uint64_t> m_requestsRefused{0};
    std::atomic<uint64_t> m_selfRequests{0};
    std::atomic<uint64_t> m_clientsRefused{0};
    std::atomic<uint64_t> m_framesLost{0};
    std::atomic<uint64_t> m_framesSkipped{0};
    std::atomic<uint64_t> m_buttonsLost{0};
    std::atomic<uint64_t> m_messagesRefused{0};
};
