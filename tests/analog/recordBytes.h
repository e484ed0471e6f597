#pragma once

// Builds expected recording bytes field by field, independently of the writer,
// and reads whole files back for comparison.

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class Bytes {
public:
    Bytes& U8(uint8_t value)
    {
        m_data.push_back(value);
        return *this;
    }
    Bytes& U32(uint32_t value) { return Le(value, 4); }
    Bytes& I32(int32_t value) { return Le(static_cast<uint32_t>(value), 4); }
    Bytes& U64(uint64_t value) { return Le(value, 8); }
    Bytes& I64(int64_t value) { return Le(static_cast<uint64_t>(value), 8); }
    Bytes& F64(double value)
    {
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        return Le(bits, 8);
    }
    Bytes& Raw(const std::string& text)
    {
        m_data.insert(m_data.end(), text.begin(), text.end());
        return *this;
    }
    Bytes& Append(const Bytes& other)
    {
        m_data.insert(m_data.end(), other.m_data.begin(), other.m_data.end());
        return *this;
    }
    // Property records, from the tag table: 1 bool, 2 int, 3 double, 4 string.
    Bytes& PBool(bool value) { return U8(1).U8(value ? 1 : 0); }
    Bytes& PInt(int32_t value) { return U8(2).I32(value); }
    Bytes& PDouble(double value) { return U8(3).F64(value); }
    Bytes& PString(const std::string& text)
    {
        return U8(4).U8(2).U32(static_cast<uint32_t>(text.size())).Raw(text);
    }
    // Header: magic, rate, channels, dim, count, block length.
    Bytes& Header(uint64_t magic, double rate, int32_t channels, int32_t dim, int64_t count,
                  uint64_t blockLength)
    {
        return U64(magic).F64(rate).I32(channels).I32(dim).I64(count).U64(blockLength);
    }
    // One labelled marker record: code, sign-extended frame, label length, label.
    Bytes& Marker(uint32_t code, int64_t frame, const std::string& label)
    {
        return U32(code).I64(frame).U64(label.size()).Raw(label);
    }
    size_t Size() const { return m_data.size(); }
    const std::vector<uint8_t>& Data() const { return m_data; }
    std::vector<uint8_t>& Data() { return m_data; }

    void Save(const std::string& path) const
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(m_data.data()),
                  static_cast<std::streamsize>(m_data.size()));
    }

private:
    Bytes& Le(uint64_t value, int size)
    {
        for (int i = 0; i < size; ++i) m_data.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return *this;
    }
    std::vector<uint8_t> m_data;
};

// Read in one piece: a character at a time is slow in unoptimised test code.
inline std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path)
{
    const std::string text = ReadFileText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}
