#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "analog/analogDevice.h"

class OscConnection;

// "%s@%s:%d": server name, address and port, as device paths and information show them.
wxString FormatOscDevicePath(const wxString& server, const wxString& address, int port);

// An OSC source as an acquisition device: its channels are the numeric arguments
// of the messages the source sends. Owned by the main frame; owns its connection.
// Threads: GUI thread, except Process and what it reaches (acquisition thread) and
// SetChannelCount, ApplyChannelCount and SetChannelValue, which run in the thread
// that polls the connection (the acquisition thread, or the GUI thread while it
// connects). The connection lock keeps a connect or a replacement of the
// connection from overlapping an acquisition step.
class COscDevice : public CAnalogDevice {
public:
    explicit COscDevice(bool synchronised);
    ~COscDevice() override;

    bool Process(bool tick, bool running) override;
    void Close() override;
    void Reset() override;
    bool IsReady() const override { return m_readyByte != 0; }
    void* GetParam(int id, int* count, int* type) override;
    wxString GetParamLabel(int id) override;
    wxString GetParamKey(int id) override;
    bool SetParam(const void* value, int id, int count, int type, bool* changed) override;
    bool CanOffset() const override { return true; }
    wxString GetInfo() override;
    void ApplyConfig() override;
    // Stores the received value of a channel; the step copies it into the sample row.
    bool SetChannelValue(double value, int channel) override;
    int GetParamCount() override;

    // Replaces the connection by a new one made from the current properties.
    void Reconnect();
    // Re-shapes the channels to count (1..kOscMaxChannels) under the data mutex.
    bool ApplyChannelCount(int count);
    // ApplyChannelCount when count >= 1 differs from the channel count. While a
    // recording runs the shape is kept: its frames must keep the layout of its header.
    bool SetChannelCount(int count);

    // Any thread: the connection exists and its handshake went out.
    bool IsConnectionReady() const { return m_connectionReady.load(); }
    // Any thread: the connection's handshake result (-1 without connection).
    int GetConnectResult() const { return m_connectResult.load(); }
    // Any thread: the port the listening endpoint is bound to (-1 without connection).
    int GetBoundListeningPort() const { return m_boundListeningPort.load(); }
    // Any thread: messages that carried more values than the device keeps channels for
    // (kOscMaxChannels, or the recording's layout while one runs), and the values dropped.
    uint64_t GetCutMessages() const { return m_cutMessages.load(); }
    uint64_t GetDroppedValues() const { return m_droppedValues.load(); }
    // Any thread: datagrams read from the listening port by every connection so far
    // (malformed ones too), and those the system dropped (its queue full, or come to a
    // port being left), counted and said when a port is left or a connection closes.
    uint64_t GetReceivedDatagrams() const { return m_datagrams.load(); }
    uint64_t GetLostDatagrams() const { return m_lostDatagrams.load(); }
    // The connection's poller: one datagram read.
    void CountDatagram() { m_datagrams.fetch_add(1, std::memory_order_relaxed); }
    // A connection leaving or closing its port: datagrams the system dropped there.
    void CountLostDatagrams(uint64_t count) { m_lostDatagrams.fetch_add(count); }
    // GUI thread (idle): true once after the channels changed shape; the view grid
    // must then be rebuilt.
    bool TakeViewGridRequest() { return m_viewGridStale.exchange(false); }

    // Property ids; the channel properties follow from kParamCount.
    enum Param {
        kDeviceName = 0,
        kSamplingRate,
        kMinValue,
        kMaxValue,
        kServerName,
        kDataPattern,
        kConnectPattern,
        kDisconnectPattern,
        kListeningPort,
        kBroadcastAddress,
        kBroadcastPort,
        kParamCount
    };

private:
    void CopyReceivedValues();
    void RefreshRow() override;
    int64_t IdleWaitUs(bool running);
    void StoreParam(const void* value, int id);
    void PublishConnectionState();
    bool StorePort(const void* value, int32_t& port, const wxString& label);
    // Counts a message of count values of which dropped have no channel; the first is said.
    void CountDroppedValues(int count, int kept);
    // A recording keeps kept channels and the source sends count values: fewer is said at
    // each change of the count, with the channels that hold their last values.
    void NoteShortMessage(int count, int kept);
    wxString GetSourceTag() const override { return "<OSC> "; }

    uint8_t m_readyByte = 1;
    std::unique_ptr<OscConnection> m_connection;  // guarded by m_connectionMutex
    std::mutex m_connectionMutex;
    wxString m_serverName;
    wxString m_dataPattern;  // stored, shown and saved; plays no part in the exchange
    wxString m_connectPattern;
    wxString m_disconnectPattern;
    wxString m_broadcastAddress;
    int32_t m_broadcastPort = 32000;
    int32_t m_listeningPort = 1200;
    double m_rateParam = 25.0;  // what GetParam hands out for the rate
    std::atomic<double> m_lastChangeUs{0.0};
    std::atomic<double> m_pollIntervalSec{0.01};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_viewGridStale{false};
    std::atomic<bool> m_connectionReady{false};
    std::atomic<int> m_connectResult{-1};
    std::atomic<int> m_boundListeningPort{-1};
    std::atomic<uint64_t> m_cutMessages{0};
    std::atomic<uint64_t> m_droppedValues{0};
    std::atomic<uint64_t> m_datagrams{0};
    std::atomic<uint64_t> m_lostDatagrams{0};
    int m_shortCount = 0;  // acquisition thread: values of the short messages said, 0: none
    // The latest received value of each channel, written by the poller; the sample
    // row is refreshed from it on every step, so offsets are subtracted from what was
    // received, never twice from the same value.
    std::vector<double> m_received;
};
