#include "osc_pkt/oscpkt.h"

#include <cstring>

namespace {

constexpr std::size_t kReservedBytes = 200;
constexpr std::size_t kMaxStringSize = 2147483646;  // OSC sizes are signed 32-bit
constexpr char kBundleHeader[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0'};

// Sizes are 64-bit so that a blob count near 2^32 cannot wrap an offset.
constexpr std::uint64_t RoundUp4(std::uint64_t size) { return (size + 3) & ~std::uint64_t{3}; }

std::uint32_t ReadBe32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::uint64_t ReadBe64(const std::uint8_t* p)
{
    return (std::uint64_t{ReadBe32(p)} << 32) | ReadBe32(p + 4);
}

void WriteBe32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void WriteBe64(std::uint8_t* p, std::uint64_t v)
{
    WriteBe32(p, static_cast<std::uint32_t>(v >> 32));
    WriteBe32(p + 4, static_cast<std::uint32_t>(v));
}

bool AllZero(const std::uint8_t* begin, const std::uint8_t* end)
{
    for (const std::uint8_t* p = begin; p < end; ++p)
        if (*p != 0) return false;
    return true;
}

// Finds a NUL-terminated string at data[start..size) whose padding up to the
// next multiple of 4 is zero and lies within size; returns the string's length
// (without NUL) or -1.
long long PaddedStringAt(const std::uint8_t* data, std::size_t size, std::size_t start)
{
    if (start >= size) return -1;
    const void* nul = std::memchr(data + start, 0, size - start);
    if (nul == nullptr) return -1;
    const std::size_t end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data);
    const std::uint64_t padded = RoundUp4(end + 1);
    if (padded > size || !AllZero(data + end + 1, data + padded)) return -1;
    return static_cast<long long>(end - start);
}

// Grows a buffer the way both encoders do: reserve twice the need when short,
// then zero-fill to the padded size so padding is implicit.
// `size` bytes are copied into a zeroed area of RoundUp4(extent) bytes.
void AppendPaddedTo(std::vector<std::uint8_t>& buffer, const void* data, std::size_t size,
                    std::size_t extent)
{
    const std::size_t old = buffer.size();
    const std::size_t padded = static_cast<std::size_t>(RoundUp4(extent));
    if (buffer.capacity() < old + padded) buffer.reserve((old + padded) * 2);
    buffer.resize(old + padded, 0);
    if (size > 0) std::memcpy(buffer.data() + old, data, size);
}

void AppendPaddedTo(std::vector<std::uint8_t>& buffer, const void* data, std::size_t size)
{
    AppendPaddedTo(buffer, data, size, size);
}

// Numbers are whole words: no padding to fill, the hot path of every frame.
template <std::size_t N>
void AppendWords(std::vector<std::uint8_t>& buffer, const std::uint8_t (&bytes)[N])
{
    static_assert(N % 4 == 0, "numbers are 4 or 8 bytes");
    const std::size_t old = buffer.size();
    if (buffer.capacity() < old + N) buffer.reserve((old + N) * 2);
    buffer.insert(buffer.end(), bytes, bytes + N);
}

}  // namespace

// ---- OscMessage ------------------------------------------------------------

OscMessage::OscMessage() { m_payload.reserve(kReservedBytes); }

void OscMessage::Reserve(std::size_t arguments, std::size_t bytes)
{
    m_address.reserve(bytes);
    m_typeTags.reserve(arguments);
    m_argIndex.reserve(arguments);
    // The encoder asks for twice its need when short: room for that too.
    m_payload.reserve(bytes * 2);
}

OscMessage::OscMessage(std::string_view address, OscTimeTag timeTag) : OscMessage()
{
    Init(address, timeTag);
}

OscMessage& OscMessage::Init(std::string_view address, OscTimeTag timeTag)
{
    m_timeTag = timeTag;
    m_address.assign(address.data(), address.size());
    m_typeTags.clear();
    m_argIndex.clear();
    m_payload.clear();
    m_error = OscErrorCode::None;
    if (address.empty() || address[0] != '/' || address.find('\0') != std::string_view::npos)
        SetError(OscErrorCode::MalformedAddressPattern);
    return *this;
}

void OscMessage::SetError(OscErrorCode code)
{
    if (m_error == OscErrorCode::None) m_error = code;
}

OscMessage& OscMessage::PushString(std::string_view text)
{
    if (text.size() > kMaxStringSize || text.find('\0') != std::string_view::npos) {
        SetError(OscErrorCode::BadArgument);
        return *this;
    }
    m_typeTags.push_back('s');
    m_argIndex.emplace_back(m_payload.size(), text.size() + 1);
    // The NUL terminator is part of the zero fill.
    AppendPaddedTo(m_payload, text.data(), text.size(), text.size() + 1);
    return *this;
}

OscMessage& OscMessage::PushFloat(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::uint8_t bytes[4];
    WriteBe32(bytes, bits);
    m_typeTags.push_back('f');
    m_argIndex.emplace_back(m_payload.size(), 4);
    AppendWords(m_payload, bytes);
    return *this;
}

OscMessage& OscMessage::PushDouble(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::uint8_t bytes[8];
    WriteBe64(bytes, bits);
    m_typeTags.push_back('d');
    m_argIndex.emplace_back(m_payload.size(), 8);
    AppendWords(m_payload, bytes);
    return *this;
}

OscMessage& OscMessage::PushInt32(std::int32_t value)
{
    std::uint8_t bytes[4];
    WriteBe32(bytes, static_cast<std::uint32_t>(value));
    m_typeTags.push_back('i');
    m_argIndex.emplace_back(m_payload.size(), 4);
    AppendWords(m_payload, bytes);
    return *this;
}

bool OscMessage::Decode(const std::uint8_t* data, std::size_t size, OscTimeTag timeTag)
{
    m_timeTag = timeTag;
    m_address.clear();
    m_typeTags.clear();
    m_argIndex.clear();
    m_payload.clear();
    m_error = OscErrorCode::None;

    const long long addressLength = PaddedStringAt(data, size, 0);
    if (addressLength < 0 || data[0] != '/') {
        SetError(OscErrorCode::MalformedAddressPattern);
        return false;
    }
    m_address.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(addressLength));

    const std::size_t tagStart = static_cast<std::size_t>(RoundUp4(addressLength + 1));
    const long long tagLength = PaddedStringAt(data, size, tagStart);
    if (tagLength < 1 || data[tagStart] != ',') {
        SetError(OscErrorCode::MalformedTypeTags);
        return false;
    }
    m_typeTags.assign(reinterpret_cast<const char*>(data + tagStart + 1),
                      static_cast<std::size_t>(tagLength - 1));

    const std::size_t argStart = static_cast<std::size_t>(RoundUp4(tagStart + tagLength + 1));
    if (DecodeArguments(data, size, argStart)) return true;
    m_argIndex.clear();  // no offsets into a payload that was never stored
    return false;
}

bool OscMessage::DecodeArguments(const std::uint8_t* data, std::size_t size, std::size_t start)
{
    // Offsets are 64-bit and every size is checked against the end before use.
    std::uint64_t pos = start;
    for (char tag : m_typeTags) {
        std::uint64_t argSize = 0;
        switch (tag) {
            case 'T':
            case 'F':
                argSize = 0;
                break;
            case 'i':
            case 'f':
                argSize = 4;
                break;
            case 'h':
            case 'd':
                argSize = 8;
                break;
            case 's': {
                const void* nul = pos < size ? std::memchr(data + pos, 0, size - pos) : nullptr;
                if (nul == nullptr) {
                    SetError(OscErrorCode::MalformedArguments);
                    return false;
                }
                argSize = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(nul) - data) -
                          pos + 1;
                break;
            }
            case 'b':
                if (pos + 4 > size) {
                    SetError(OscErrorCode::MalformedArguments);
                    return false;
                }
                argSize = 4 + std::uint64_t{ReadBe32(data + pos)};
                break;
            default:
                SetError(OscErrorCode::UnhandledTypeTag);
                return false;
        }
        const std::uint64_t padded = RoundUp4(argSize);
        if (pos + padded > size || !AllZero(data + pos + argSize, data + pos + padded)) {
            SetError(OscErrorCode::MalformedArguments);
            return false;
        }
        m_argIndex.emplace_back(static_cast<std::size_t>(pos - start),
                                static_cast<std::size_t>(argSize));
        pos += padded;
    }
    if (pos != size) {
        SetError(OscErrorCode::MalformedArguments);
        return false;
    }
    m_payload.assign(data + start, data + size);
    return true;
}

OscArgCursor OscMessage::Args() const { return OscArgCursor(*this); }

// ---- OscPacketParser -------------------------------------------------------

void OscPacketParser::SetError(OscErrorCode code)
{
    if (m_error == OscErrorCode::None) m_error = code;
}

OscMessage& OscPacketParser::NextSlot()
{
    if (m_count == m_messages.size()) m_messages.emplace_back();
    return m_messages[m_count++];
}

void OscPacketParser::Init(const void* data, std::size_t size)
{
    m_error = OscErrorCode::None;
    m_count = 0;
    m_next = 0;
    if ((size & 3) != 0) {
        SetError(OscErrorCode::InvalidPacketSize);
        return;
    }
    if (size == 0 || data == nullptr) return;
    const auto* begin = static_cast<const std::uint8_t*>(data);
    Parse(begin, begin + size, kOscImmediate);
}

void OscPacketParser::Parse(const std::uint8_t* begin, const std::uint8_t* end, OscTimeTag timeTag,
                            int depth)
{
    if (begin == end || m_error != OscErrorCode::None) return;
    const std::size_t size = static_cast<std::size_t>(end - begin);
    if ((size & 3) != 0) {
        SetError(OscErrorCode::InvalidPacketSize);
        return;
    }
    if (begin[0] != '#') {
        OscMessage& message = NextSlot();
        message.Decode(begin, size, timeTag);
        SetError(message.Error());
        return;
    }
    if (size < 16 || std::memcmp(begin, kBundleHeader, 8) != 0 || depth >= kOscMaxBundleDepth) {
        SetError(OscErrorCode::InvalidBundle);
        return;
    }
    const OscTimeTag bundleTag = ReadBe64(begin + 8);
    const std::uint8_t* pos = begin + 16;
    while (m_error == OscErrorCode::None && pos != end) {
        if (end - pos < 4) {
            SetError(OscErrorCode::InvalidBundle);
            return;
        }
        const std::uint64_t elementSize = ReadBe32(pos);
        pos += 4;
        if ((elementSize & 3) != 0 || elementSize > static_cast<std::uint64_t>(end - pos)) {
            SetError(OscErrorCode::InvalidBundle);
            return;
        }
        Parse(pos, pos + elementSize, bundleTag, depth + 1);
        pos += elementSize;
    }
}

const OscMessage* OscPacketParser::PopMessage()
{
    if (m_error != OscErrorCode::None || m_next >= m_count) return nullptr;
    return &m_messages[m_next++];
}

// ---- OscPacketBuilder ------------------------------------------------------

OscPacketBuilder::OscPacketBuilder() { m_packet.reserve(kReservedBytes); }

void OscPacketBuilder::Reserve(std::size_t bytes) { m_packet.reserve(bytes * 2); }

OscPacketBuilder& OscPacketBuilder::Init()
{
    m_packet.clear();
    m_error = OscErrorCode::None;
    return *this;
}

void OscPacketBuilder::SetError(OscErrorCode code)
{
    if (m_error == OscErrorCode::None) m_error = code;
}

void OscPacketBuilder::AppendPadded(const void* data, std::size_t size)
{
    AppendPaddedTo(m_packet, data, size);
}

OscPacketBuilder& OscPacketBuilder::AddMessage(const OscMessage& message)
{
    if (!m_packet.empty()) {
        SetError(OscErrorCode::BadArgument);
        return *this;
    }
    if (!message.IsOk()) {
        SetError(message.Error());
        return *this;
    }
    if (m_error != OscErrorCode::None) return *this;
    const std::string& address = message.Address();
    AppendPaddedTo(m_packet, address.data(), address.size(), address.size() + 1);
    const std::size_t tagsAt = m_packet.size();
    const std::string& tags = message.TypeTags();
    // ',' + tags + NUL, written in place so no temporary string is built.
    const std::size_t tagBytes = tags.size() + 2;
    if (m_packet.capacity() < tagsAt + RoundUp4(tagBytes))
        m_packet.reserve((tagsAt + RoundUp4(tagBytes)) * 2);
    m_packet.resize(tagsAt + static_cast<std::size_t>(RoundUp4(tagBytes)), 0);
    m_packet[tagsAt] = ',';
    if (!tags.empty()) std::memcpy(m_packet.data() + tagsAt + 1, tags.data(), tags.size());
    const std::vector<std::uint8_t>& payload = message.Payload();
    if (!payload.empty()) AppendPadded(payload.data(), payload.size());
    return *this;
}

std::size_t OscPacketBuilder::PacketSize() const
{
    return m_error == OscErrorCode::None ? m_packet.size() : 0;
}

const std::uint8_t* OscPacketBuilder::PacketData() const
{
    if (m_error != OscErrorCode::None || m_packet.empty()) return nullptr;
    return m_packet.data();
}

// ---- OscArgCursor ----------------------------------------------------------

OscArgCursor::OscArgCursor(const OscMessage& message)
    : m_message(&message), m_error(message.Error())
{
}

void OscArgCursor::SetError(OscErrorCode code)
{
    if (m_error == OscErrorCode::None) m_error = code;
}

char OscArgCursor::NextTag() const
{
    return m_next < m_message->m_typeTags.size() ? m_message->m_typeTags[m_next] : 0;
}

bool OscArgCursor::CheckNext(char tag)
{
    if (m_next >= m_message->ArgCount()) {
        SetError(OscErrorCode::NotEnoughArguments);
        return false;
    }
    if (m_error != OscErrorCode::None) return false;
    if (m_next >= m_message->m_typeTags.size()) {
        SetError(OscErrorCode::NotEnoughArguments);
        return false;
    }
    if (m_message->m_typeTags[m_next] != tag) {
        SetError(OscErrorCode::TypeMismatch);
        return false;
    }
    return true;
}

double OscArgCursor::PopNumber(char tag)
{
    if (!CheckNext(tag)) return 0.0;
    const std::uint8_t* p = m_message->m_payload.data() + m_message->m_argIndex[m_next].first;
    ++m_next;
    switch (tag) {
        case 'i':
            return static_cast<double>(static_cast<std::int32_t>(ReadBe32(p)));
        case 'h':
            return static_cast<double>(static_cast<std::int64_t>(ReadBe64(p)));
        case 'f': {
            const std::uint32_t bits = ReadBe32(p);
            float value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
        default: {
            const std::uint64_t bits = ReadBe64(p);
            double value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
    }
}

bool OscArgCursor::PopString(std::string& text)
{
    if (!CheckNext('s')) return false;
    const auto& [offset, size] = m_message->m_argIndex[m_next];
    text.assign(reinterpret_cast<const char*>(m_message->m_payload.data() + offset), size - 1);
    ++m_next;
    return true;
}

bool OscArgCursor::Skip()
{
    if (m_next >= m_message->ArgCount()) {
        SetError(OscErrorCode::NotEnoughArguments);
        return false;
    }
    ++m_next;
    return true;
}
