#pragma once

// Loopback peers and console capture for the OSC server tests.

#include "network/oscDataServer.h"
#include "osc_pkt/oscpkt.h"
#include "osc_pkt/udp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace osctest {

// Generous bound for a datagram that should come; only a broken build waits it out.
constexpr int kArriveMs = 5000;
// How long we listen to show that nothing more comes.
constexpr int kQuietMs = 100;

// A port nobody listens on: bound, read back, released.
inline int FreePort()
{
    UdpEndpoint probe;
    EXPECT_TRUE(probe.BindTo(0)) << probe.ErrorText();
    return probe.LocalAddress().Port();
}

// Raw datagrams, for packets the builder does not make.
using Bytes = std::vector<uint8_t>;

inline void PutBe32(Bytes& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void PutBe64(Bytes& out, uint64_t value)
{
    PutBe32(out, static_cast<uint32_t>(value >> 32));
    PutBe32(out, static_cast<uint32_t>(value));
}

// Appends text, its NUL and zero padding to a multiple of 4.
inline void PutString(Bytes& out, const std::string& text)
{
    out.insert(out.end(), text.begin(), text.end());
    do out.push_back(0);
    while (out.size() % 4 != 0);
}

// A message built by hand: the address, the type tag string (with its ','), the arguments.
inline Bytes Message(const std::string& address, const std::string& tags, const Bytes& args = {})
{
    Bytes out;
    PutString(out, address);
    PutString(out, tags);
    out.insert(out.end(), args.begin(), args.end());
    return out;
}

inline Bytes Packet(const OscMessage& message)
{
    OscPacketBuilder builder;
    builder.AddMessage(message);
    return Bytes(builder.PacketData(), builder.PacketData() + builder.PacketSize());
}

// "#bundle", a time tag, then each element after its size.
inline Bytes Bundle(uint64_t timeTag, const std::vector<Bytes>& elements)
{
    Bytes out;
    PutString(out, "#bundle");
    PutBe64(out, timeTag);
    for (const Bytes& element : elements) {
        PutBe32(out, static_cast<uint32_t>(element.size()));
        out.insert(out.end(), element.begin(), element.end());
    }
    return out;
}

// One decoded OSC message, arguments as text ("s:abc", "f:1.5", "d:2").
struct Received {
    std::string address;
    std::string tags;
    std::vector<std::string> args;
    std::vector<double> numbers;
};

// A loopback peer on its own port.
class Peer {
public:
    Peer()
    {
        EXPECT_TRUE(m_endpoint.BindTo(0)) << m_endpoint.ErrorText();
        m_endpoint.SetReceiveBufferSize(4 * 1024 * 1024);
    }
    int Port() const { return m_endpoint.LocalAddress().Port(); }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(Port()); }

    // The next message, or false when none came within timeoutMs.
    bool Next(Received& out, int timeoutMs = kArriveMs)
    {
        if (!m_endpoint.ReceiveNextPacket(timeoutMs)) return false;
        OscPacketParser parser(m_endpoint.PacketData(), m_endpoint.PacketSize());
        const OscMessage* message = parser.PopMessage();
        if (message == nullptr) return false;
        out = Received{message->Address(), message->TypeTags(), {}, {}};
        OscArgCursor args = message->Args();
        for (char tag : message->TypeTags()) {
            std::string text;
            double value = 0.0;
            switch (tag) {
                case 's':
                    args.PopString(text);
                    out.args.push_back("s:" + text);
                    continue;
                case 'f':
                    value = args.PopFloat();
                    break;
                case 'd':
                    value = args.PopDouble();
                    break;
                case 'i':
                    value = args.PopInt32();
                    break;
                default:
                    args.Skip();
                    continue;
            }
            out.numbers.push_back(value);
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%c:%g", tag, value);
            out.args.push_back(buffer);
        }
        return true;
    }
    // Counts the messages that arrive until the line stays quiet.
    int Drain(int quietMs = kQuietMs)
    {
        int count = 0;
        Received ignored;
        while (Next(ignored, quietMs)) ++count;
        return count;
    }
    bool Send(int port, const OscMessage& message)
    {
        OscPacketBuilder builder;
        builder.AddMessage(message);
        return SendBytes(port, builder.PacketData(), builder.PacketSize());
    }
    bool SendBytes(int port, const void* data, std::size_t size)
    {
        NetAddress target;
        std::string error;
        return NetAddress::Resolve("127.0.0.1", port, target, error) &&
               m_endpoint.SendPacketTo(data, size, target);
    }

private:
    UdpEndpoint m_endpoint;
};

// Collects every console line of the servers while it lives.
class ConsoleCapture {
public:
    ConsoleCapture()
    {
        Take();
        SetOscConsoleSink(&Sink);
    }
    ~ConsoleCapture() { SetOscConsoleSink(nullptr); }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        std::vector<std::string> lines;
        lines.swap(Lines());
        return lines;
    }
    bool Has(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return std::find(Lines().begin(), Lines().end(), line) != Lines().end();
    }
    // The lines that contain text.
    std::vector<std::string> Containing(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        std::vector<std::string> found;
        for (const std::string& line : Lines()) {
            if (line.find(text) != std::string::npos) found.push_back(line);
        }
        return found;
    }

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::string>& Lines()
    {
        static std::vector<std::string> lines;
        return lines;
    }
    static void Sink(bool isError, const std::string& line)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Lines().push_back((isError ? "E " : "O ") + line);
    }
};

}  // namespace osctest
