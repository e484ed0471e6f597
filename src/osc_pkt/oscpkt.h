#pragma once

// OSC 1.0 messages: decoding of received packets (messages and bundles),
// encoding of one message per packet, and typed reading of arguments.
// Plain value types: no threads, no locks; each object is used by one thread
// at a time, as its owner states.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Error state of messages, parsers, builders and cursors. The first error a
// holder meets is kept; later failures never overwrite it.
enum class OscErrorCode {
    None = 0,
    MalformedAddressPattern = 1,
    MalformedTypeTags = 2,
    MalformedArguments = 3,
    UnhandledTypeTag = 4,
    TypeMismatch = 5,
    NotEnoughArguments = 6,
    InvalidBundle = 8,
    InvalidPacketSize = 9,
    BadArgument = 10,
};

// OSC time tag (NTP format); 1 means "immediately".
using OscTimeTag = std::uint64_t;
constexpr OscTimeTag kOscImmediate = 1;

// Bundles nested deeper than this are refused (InvalidBundle): a hostile
// packet must not drive the decoder's recursion.
constexpr int kOscMaxBundleDepth = 8;

class OscArgCursor;

// One OSC message: address, type tags (without the leading ','), and the
// argument bytes with an index of (offset, unpadded size) per argument.
class OscMessage {
public:
    OscMessage();
    explicit OscMessage(std::string_view address, OscTimeTag timeTag = kOscImmediate);

    // Clears the message (keeping its buffers) and sets address and time tag.
    OscMessage& Init(std::string_view address, OscTimeTag timeTag = kOscImmediate);
    OscMessage& PushString(std::string_view text);
    OscMessage& PushFloat(float value);
    OscMessage& PushDouble(double value);
    OscMessage& PushInt32(std::int32_t value);
    // Sizes the buffers for messages of up to `arguments` arguments and `bytes`
    // bytes of address, tags and arguments, so that building them never allocates.
    void Reserve(std::size_t arguments, std::size_t bytes);

    // Decodes one message of `size` bytes (a multiple of 4) with the given tag.
    bool Decode(const std::uint8_t* data, std::size_t size, OscTimeTag timeTag);

    const std::string& Address() const { return m_address; }
    const std::string& TypeTags() const { return m_typeTags; }
    OscTimeTag TimeTag() const { return m_timeTag; }
    OscErrorCode Error() const { return m_error; }
    bool IsOk() const { return m_error == OscErrorCode::None; }
    std::size_t ArgCount() const { return m_argIndex.size(); }
    const std::vector<std::uint8_t>& Payload() const { return m_payload; }
    OscArgCursor Args() const;

private:
    friend class OscArgCursor;
    void SetError(OscErrorCode code);
    bool DecodeArguments(const std::uint8_t* data, std::size_t size, std::size_t start);

    OscTimeTag m_timeTag = kOscImmediate;
    std::string m_address;
    std::string m_typeTags;
    std::vector<std::pair<std::size_t, std::size_t>> m_argIndex;
    std::vector<std::uint8_t> m_payload;
    OscErrorCode m_error = OscErrorCode::None;
};

// Decodes a received packet into messages. Messages are kept between packets
// so that polling reuses their buffers.
class OscPacketParser {
public:
    OscPacketParser() = default;
    OscPacketParser(const void* data, std::size_t size) { Init(data, size); }

    void Init(const void* data, std::size_t size);
    // Decodes one message or bundle between begin and end (a multiple of 4
    // bytes apart) and appends its messages.
    void Parse(const std::uint8_t* begin, const std::uint8_t* end, OscTimeTag timeTag,
               int depth = 0);
    // The next message, or nullptr when the packet had an error or none is left.
    const OscMessage* PopMessage();

    OscErrorCode Error() const { return m_error; }
    bool IsOk() const { return m_error == OscErrorCode::None; }
    std::size_t MessageCount() const { return m_count; }

private:
    void SetError(OscErrorCode code);
    OscMessage& NextSlot();

    OscErrorCode m_error = OscErrorCode::None;
    std::vector<OscMessage> m_messages;  // the first m_count are this packet's
    std::size_t m_count = 0;
    std::size_t m_next = 0;
};

// Encodes one message into one packet; reused between packets without
// giving its buffer back.
class OscPacketBuilder {
public:
    OscPacketBuilder();

    OscPacketBuilder& Init();
    OscPacketBuilder& AddMessage(const OscMessage& message);
    // Sizes the packet buffer for `bytes` bytes (see OscMessage::Reserve).
    void Reserve(std::size_t bytes);

    // 0 and nullptr while the builder has an error; nullptr when empty.
    std::size_t PacketSize() const;
    const std::uint8_t* PacketData() const;
    OscErrorCode Error() const { return m_error; }
    bool IsOk() const { return m_error == OscErrorCode::None; }

private:
    void SetError(OscErrorCode code);
    void AppendPadded(const void* data, std::size_t size);

    std::vector<std::uint8_t> m_packet;
    OscErrorCode m_error = OscErrorCode::None;
};

// Reads the arguments of a message in order. The numeric reads return the
// value as a double (0 on error) and set the cursor's error.
class OscArgCursor {
public:
    explicit OscArgCursor(const OscMessage& message);

    double PopDouble() { return PopNumber('d'); }
    double PopFloat() { return PopNumber('f'); }
    double PopInt32() { return PopNumber('i'); }
    double PopInt64() { return PopNumber('h'); }
    bool PopString(std::string& text);
    bool Skip();

    // The next argument's tag, or 0 past the end.
    char NextTag() const;
    bool IsAtEnd() const { return m_next >= m_message->ArgCount(); }
    OscErrorCode Error() const { return m_error; }
    bool IsOk() const { return m_error == OscErrorCode::None; }

private:
    double PopNumber(char tag);
    bool CheckNext(char tag);
    void SetError(OscErrorCode code);

    const OscMessage* m_message;  // non-owning; outlives the cursor
    OscErrorCode m_error;
    std::size_t m_next = 0;
};
