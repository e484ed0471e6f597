#include "serial/serialTrigger.h"

#include "process/messageQueue.h"

#include <wx/translation.h>

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
    m_portName = port;
    m_line.Reset();
    m_refusedLines = 0;
    m_refusalReported = false;
    m_lossesAtOpen = m_line.GetLostCount();
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
    // What this opening met, as the devices say it when they close.
    const int64_t losses = m_line.GetLostCount() - m_lossesAtOpen;
    if (m_refusedLines > 0 || losses > 0)
        g_messages.Post(Severity::Error,
                        wxString::Format(_("<COM> %s: %lld lines from %s refused, line lost %lld "
                                           "times\n"),
                                         _("serial trigger"), static_cast<long long>(m_refusedLines),
                                         m_portName, static_cast<long long>(losses)));
}

bool CSerialTrigger::Reopen()
{
    m_port.Close();
    const wxCharBuffer name = m_portName.mb_str();
    m_port.SetReportErrors(false);  // retried every few seconds: no repeated messages
    const int code = m_port.Open(name.data() ? name.data() : "", &m_settings);
    m_port.SetReportErrors(true);
    if (code != 1) {
        m_port.Close();
        return false;
    }
    m_port.SetDtr();
    return true;
}

bool CSerialTrigger::ReadValue(double& volts)
{
    if (!m_isOpen) return false;
    if (m_line.IsLost() && m_line.IsReopenDue()) {
        Reopen();
        m_line.ReopenTried();
    }
    if (!m_port.IsOpen()) return false;
    const int result = ReadLine(volts, m_timeoutMs);
    const wxString device = _("serial trigger");
    CLineWatch::Change change = CLineWatch::Change::None;
    if (result >= 0) {
        change = m_line.Succeeded();
    } else {
        change = m_line.Failed(result == -2);
        if (result == -2) m_port.Close();  // the port is gone: opened again later
    }
    if (change == CLineWatch::Change::Lost)
        g_messages.Post(Severity::Error, CLineWatch::LostText("<COM> ", device, m_portName, -1));
    else if (change == CLineWatch::Change::Back)
        g_messages.Post(Severity::Error, CLineWatch::BackText("<COM> ", device, m_portName, -1, -1));
    if (result == 0 && !m_refusalReported) {
        m_refusalReported = true;
        g_messages.Post(Severity::Error,
                        wxString::Format(_("<COM> %s: a line from %s that is no reading was "
                                           "refused; further ones are only counted\n"),
                                         device, m_portName));
    }
    return result == 1;
}

int CSerialTrigger::ReadLine(double& volts, uint32_t timeoutMs)
{
    if (!m_isOpen || !m_port.IsOpen()) return -2;
    char line[kMaxLine + 1] = {};
    const int count = m_port.ReadString(line, '\n', kMaxLine, timeoutMs);
    if (count < 0 && count != -3) return -2;
    if (count <= 0) return count == -3 ? 0 : -1;  // -3: a blocking read without a newline
    if (static_cast<uint32_t>(count) > kMaxLine ||
        !ParseLine(line, static_cast<size_t>(count), volts)) {
        ++m_refusedLines;
        return 0;
    }
    m_port.FlushReceiver();  // the next read takes a fresh line, not a queued old one
    return 1;
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
