#include "serial/serialTrigger.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kPrefix[] = "data=";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr long kReadingCount = 1024;  // 10-bit converter
constexpr double kFullScaleVolts = 5.0;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

CSerialTrigger::CSerialTrigger(uint32_t timeoutMs) : m_timeoutMs(timeoutMs) {}

CSerialTrigger::~CSerialTrigger() { Close(); }

bool CSerialTrigger::Open(const wxString& port, uint32_t baud)
{
    Close();
    m_settings = SerialSettings();
    m_settings.baud = baud;
    const wxCharBuffer name = port.mb_str();  // empty when the locale cannot hold it
    const char* narrow = name.data() ? name.data() : "";
    if (m_port.Open(narrow, &m_settings) != 1) {
        m_port.Close();  // a line left open but unconfigured is of no use
        return false;
    }
    m_isOpen = m_port.IsOpen();
    if (!m_isOpen) return false;
    m_port.SetDtr();  // converters without the line (or a pseudo-terminal) refuse; harmless
    double discarded = 0.0;
    ReadLine(discarded, m_timeoutMs == 0 ? kOpenSyncMs : m_timeoutMs);
    return m_isOpen;
}

void CSerialTrigger::Close()
{
    if (!m_isOpen) return;
    m_port.ClearRts();
    m_port.ClearDtr();
    m_port.Close();
    m_isOpen = false;
}

bool CSerialTrigger::ReadValue(double& volts) { return ReadLine(volts, m_timeoutMs); }

bool CSerialTrigger::ReadLine(double& volts, uint32_t timeoutMs)
{
    if (!m_isOpen || !m_port.IsOpen()) return false;
    char line[kMaxLine + 1] = {};
    const int count = m_port.ReadString(line, '\n', kMaxLine, timeoutMs);
    if (count <= 0 || static_cast<uint32_t>(count) > kMaxLine) return false;
    if (!ParseLine(line, static_cast<size_t>(count), volts)) return false;
    m_port.FlushReceiver();  // the next read takes a fresh line, not a queued old one
    return true;
}

bool CSerialTrigger::ParseLine(const char* line, size_t length, double& volts)
{
    if (!line) return false;
    while (length > 0 && IsSpace(line[length - 1])) --length;
    if (length <= kPrefixLength || std::memcmp(line, kPrefix, kPrefixLength) != 0) return false;
    // Bytes come off the wire: only an optional sign and decimal digits make a number.
    const std::string number(line + kPrefixLength, length - kPrefixLength);
    size_t first = (number[0] == '-' || number[0] == '+') ? 1 : 0;
    if (first >= number.size()) return false;
    for (size_t i = first; i < number.size(); ++i) {
        if (number[i] < '0' || number[i] > '9') return false;
    }
    errno = 0;
    const long reading = std::strtol(number.c_str(), nullptr, 10);
    if (errno == ERANGE || reading < 0 || reading >= kReadingCount) return false;
    volts = static_cast<double>(reading) * (1.0 / kReadingCount) * kFullScaleVolts;
    return true;
}
