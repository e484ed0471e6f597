#include "serial/serialPort.h"

#include "serial/ptyPair.h"
#include "serial/serialBaud.h"
#include "support/tempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Bytes written on the master side reach the port's queue a moment later: waits until
// count wait there (the deadline only bounds a broken build).
bool WaitAvailable(CSerialPort& port, int count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (port.Available() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return port.Available() == count;
}

class SerialPortTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_TRUE(m_pty.IsValid());
    }
    const char* Slave() const { return m_pty.SlaveName().c_str(); }
    CPtyPair m_pty;
};

TEST_F(SerialPortTest, OpensWithDefaultsAsRawEightNoneOne)
{
    CSerialPort port;
    EXPECT_FALSE(port.IsOpen());
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    EXPECT_TRUE(port.IsOpen());
    termios line{};
    ASSERT_TRUE(m_pty.GetSlaveSettings(&line));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(port.GetTimeouts().readTotalConstant, 0xFFFFFFFFu);
    EXPECT_EQ(port.GetTimeouts().writeTotalConstant, 0xFFFFFFFFu);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    port.Close();  // twice is harmless
}

TEST_F(SerialPortTest, AppliesGivenSettingsAndKeepsThemForTheNextOpen)
{
    SerialSettings settings;
    settings.baud = 9600;
    settings.stopBits = 2;
    settings.xonXoff = 1;
    settings.rtsControl = 2;
    CSerialPort port;
    ASSERT_EQ(port.Open(Slave(), &settings), 1);
    port.Close();
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);  // same settings again
    termios line{};
    ASSERT_TRUE(m_pty.GetSlaveSettings(&line));
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CSTOPB | CRTSCTS));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(port.GetSettings().stopBits, 2);
}

// A pseudo-terminal keeps 8 bits without parity whatever it is asked: the refusal
// must come back as a failure, not as a configured line.
TEST_F(SerialPortTest, SettingsTheLineDidNotTakeAreAFailure)
{
    for (int variant = 0; variant < 2; ++variant) {
        SerialSettings settings;
        if (variant == 0)
            settings.parity = 2;
        else
            settings.dataBits = 7;
        CSerialPort port;
        testing::internal::CaptureStderr();
        EXPECT_EQ(port.Open(Slave(), &settings), -5) << variant;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("<COM> Unable to set parameters on ") + Slave() + "\n");
        EXPECT_TRUE(port.IsOpen());
    }
}

TEST_F(SerialPortTest, BaudTableHoldsTheRatesWithoutTermiosNames)
{
    for (uint32_t baud : {14400u, 56000u, 128000u, 256000u, 110u, 115200u}) {
        SerialSettings settings;
        settings.baud = baud;
        CSerialPort port;
        ASSERT_EQ(port.Open(Slave(), &settings), 1) << baud;
        EXPECT_EQ(GetArbitraryBaud(m_pty.Master()), baud);
    }
    for (uint32_t baud : {0u, 230400u, 19201u, 50u})
        EXPECT_FALSE(CSerialPort::IsSupportedBaud(baud)) << baud;
}

TEST_F(SerialPortTest, UnsupportedBaudFailsSilentlyAndLeavesThePortOpen)
{
    SerialSettings settings;
    settings.baud = 230400;
    CSerialPort port;
    testing::internal::CaptureStderr();
    EXPECT_EQ(port.Open(Slave(), &settings), -4);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(port.IsOpen());
    port.Close();
    settings.baud = 19200;
    settings.dataBits = 9;
    testing::internal::CaptureStderr();
    EXPECT_EQ(port.Open(Slave(), &settings), -5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("<COM> Unable to set parameters on ") + Slave() + "\n");
}

// Settings outside their ranges are refused as odd data bits are, not half applied
// (a pseudo-terminal would take any of them as it keeps the last ones).
TEST_F(SerialPortTest, SettingsOutsideTheirRangesAreRefused)
{
    for (int variant = 0; variant < 6; ++variant) {
        SerialSettings settings;
        switch (variant) {
            case 0: settings.parity = 5; break;
            case 1: settings.stopBits = 0; break;
            case 2: settings.stopBits = 3; break;
            case 3: settings.rtsControl = 7; break;
            case 4: settings.rtsControl = 4; break;
            default: settings.dataBits = 4; break;
        }
        CSerialPort port;
        testing::internal::CaptureStderr();
        EXPECT_EQ(port.Open(Slave(), &settings), -5) << variant;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("<COM> Unable to set parameters on ") + Slave() + "\n")
            << variant;
        EXPECT_TRUE(port.IsOpen());
    }
    SerialSettings edges;  // the last values of each range still open
    edges.parity = 0;
    edges.stopBits = 2;
    edges.rtsControl = 3;
    CSerialPort port;
    EXPECT_EQ(port.Open(Slave(), &edges), 1);
}

TEST_F(SerialPortTest, MissingAndBadNamesReportNotFound)
{
    const std::string missing = Path("no_such_port").string();
    for (const std::string& name : {missing, std::string(), std::string("com0x"),
                                    std::string("../etc/passwd"), std::string("nosuchtty99")}) {
        CSerialPort port;
        testing::internal::CaptureStderr();
        EXPECT_EQ(port.Open(name.c_str(), nullptr), -1) << name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "<COM> Device not found " + name + "\n");
        EXPECT_FALSE(port.IsOpen());
    }
    CSerialPort port;
    testing::internal::CaptureStderr();
    EXPECT_EQ(port.Open(nullptr, nullptr), -1);
    testing::internal::GetCapturedStderr();
}

TEST_F(SerialPortTest, FileThatIsNoTerminalIsAParameterError)
{
    const std::string file = Path("plain").string();
    std::ofstream(file) << "x";
    CSerialPort port;
    testing::internal::CaptureStderr();
    EXPECT_EQ(port.Open(file.c_str(), nullptr), -3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "<COM> Parameter error on " + file + "\n");
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(SerialPortTest, ALineIsNotShared)
{
    CSerialPort first, second;
    ASSERT_EQ(first.Open(Slave(), nullptr), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(second.Open(Slave(), nullptr), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("<COM> Error opening ") + Slave() + "\n");
    EXPECT_FALSE(second.IsOpen());
    // Opening an open object again keeps its line instead of leaking it.
    testing::internal::CaptureStderr();
    EXPECT_EQ(first.Open(Slave(), nullptr), -2);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(first.IsOpen());
    EXPECT_EQ(first.WriteChar('k'), 1);
    char got = 0;
    ASSERT_TRUE(m_pty.Receive(&got, 1));
    EXPECT_EQ(got, 'k');
    first.Close();
    EXPECT_EQ(second.Open(Slave(), nullptr), 1);
}

TEST(SerialPortNames, MapWindowsNamesToDevicePaths)
{
    EXPECT_EQ(CSerialPort::DevicePathFor("com1"), "/dev/ttyS0");
    EXPECT_EQ(CSerialPort::DevicePathFor("COM3"), "/dev/ttyS2");
    EXPECT_EQ(CSerialPort::DevicePathFor("\\\\.\\COM12"), "/dev/ttyS11");
    EXPECT_EQ(CSerialPort::DevicePathFor("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(CSerialPort::DevicePathFor("ttyACM1"), "/dev/ttyACM1");
    EXPECT_EQ(CSerialPort::DevicePathFor("/dev/pts/4"), "/dev/pts/4");
    EXPECT_EQ(CSerialPort::DevicePathFor("com0"), "/dev/com0");
    EXPECT_EQ(CSerialPort::DevicePathFor("../x"), "");
    EXPECT_EQ(CSerialPort::DevicePathFor(""), "");
}

// The boxes of the serial devices name the device file and why it failed.
TEST(SerialPortNames, OpenFailuresNameTheDeviceFile)
{
    EXPECT_EQ(CSerialPort::OpenFailureText(-1, "com5"), "/dev/ttyS4 does not exist");
    EXPECT_EQ(CSerialPort::OpenFailureText(-2, "ttyUSB0"),
              "/dev/ttyUSB0 cannot be opened (in use by another program, or not permitted)");
    EXPECT_EQ(CSerialPort::OpenFailureText(-4, "/dev/pts/4"), "/dev/pts/4 does not take the baud rate");
    EXPECT_EQ(CSerialPort::OpenFailureText(-1, "../x"), "no serial device is named \"../x\"");
}

TEST(SerialPortNames, ListsComOneToNine)
{
    wxArrayString names;
    names.Add("stale");
    // The machine's own ports follow the com names.
    const int count = GetComPortNames(names);
    ASSERT_GE(count, 9);
    ASSERT_EQ(names.GetCount(), static_cast<size_t>(count));
    EXPECT_EQ(names[0], "com1");
    EXPECT_EQ(names[8], "com9");
    EXPECT_EQ(GetComPortName(0), "com1");
    EXPECT_EQ(GetComPortName(8), "com9");
    EXPECT_EQ(GetComPortName(count), "");
    EXPECT_EQ(GetComPortName(-1), "");
    EXPECT_EQ(FindComPort("com4"), 3);
    EXPECT_EQ(FindComPort("COM4"), -1);
    EXPECT_EQ(FindComPort("com10"), -1);
}

class SerialPortListTest : public TempDirTest {
protected:
    void Touch(const std::filesystem::path& path, const std::string& text = "")
    {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
};

TEST_F(SerialPortListTest, FindsAdaptersStableNamesAndRealPortsOnly)
{
    const std::filesystem::path dev = Path("dev"), sys = Path("sys");
    Touch(dev / "serial/by-id/usb-FTDI_FT232R_A1-if00-port0");
    Touch(dev / "ttyUSB1");
    Touch(dev / "ttyUSB0");
    Touch(dev / "ttyACM0");
    Touch(dev / "ttyS3");   // com4 reaches it already
    Touch(dev / "ttyS12");  // a real fourth card port
    Touch(dev / "ttyS13");  // a port the kernel offers but no chip answers
    Touch(dev / "tty1");
    Touch(sys / "ttyS12/type", "4\n");
    Touch(sys / "ttyS13/type", "0\n");
    const wxArrayString ports = FindSerialPorts(dev.string(), sys.string());
    const std::vector<std::string> expected = {
        dev.string() + "/serial/by-id/usb-FTDI_FT232R_A1-if00-port0", dev.string() + "/ttyUSB0",
        dev.string() + "/ttyUSB1", dev.string() + "/ttyACM0", dev.string() + "/ttyS12"};
    ASSERT_EQ(ports.GetCount(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(ports[i], expected[i]) << i;
    EXPECT_TRUE(FindSerialPorts(Path("none").string(), sys.string()).IsEmpty());
}

// A configured path that is not on the machine (an adapter unplugged) stays a choice,
// so that choosing by index never turns it into another port or an empty name.
TEST(SerialPortNames, KeptNamesStayChoosableUntilTheNextLook)
{
    wxArrayString keep;
    keep.Add("/dev/qv-unplugged-adapter");
    keep.Add("com3");  // already a choice: not twice
    keep.Add("");
    RefreshComPortNames(keep);
    wxArrayString names;
    const int count = GetComPortNames(names);
    const int index = FindComPort("/dev/qv-unplugged-adapter");
    EXPECT_EQ(index, count - 1);
    EXPECT_EQ(GetComPortName(index), "/dev/qv-unplugged-adapter");
    EXPECT_EQ(names.Index("com3"), 2);
    EXPECT_EQ(names.Index("com3", true, true), 2);
    EXPECT_EQ(names.Index(""), wxNOT_FOUND);
    RefreshComPortNames();
    EXPECT_EQ(FindComPort("/dev/qv-unplugged-adapter"), -1);
}

TEST_F(SerialPortTest, ReadAvailableTakesWhatCameAndNoticesAVanishedLine)
{
    CSerialPort port;
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    char bytes[64] = {};
    EXPECT_EQ(port.ReadAvailable(bytes, sizeof bytes, 0), 0);  // nothing came: no wait
    ASSERT_TRUE(m_pty.Send("hello"));
    std::string got;
    while (got.size() < 5) {
        const int count = port.ReadAvailable(bytes, sizeof bytes, 10000);
        ASSERT_GT(count, 0);
        got.append(bytes, static_cast<size_t>(count));
    }
    EXPECT_EQ(got, "hello");
    m_pty.CloseMaster();
    EXPECT_EQ(port.ReadAvailable(bytes, sizeof bytes, 10000), -2);
    port.Close();
    EXPECT_EQ(port.ReadAvailable(bytes, sizeof bytes, 0), -1);
}

TEST(SerialTimer, ElapsedAcrossASecondBoundary)
{
    EXPECT_EQ(CSerialTimer::ElapsedMsBetween(10, 900000, 11, 100000), 200u);
    EXPECT_EQ(CSerialTimer::ElapsedMsBetween(10, 100000, 10, 100999), 0u);
    EXPECT_EQ(CSerialTimer::ElapsedMsBetween(10, 0, 12, 500000), 2500u);
    CSerialTimer timer;
    timer.Start();
    EXPECT_LT(timer.ElapsedMs(), 60000u);
}

TEST_F(SerialPortTest, WritesReachTheLineUnchanged)
{
    CSerialPort port;
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    const uint8_t frame[8] = {0x23, 0x49, 0x00, 0x03, 0x50, 0x19, 0x00, 0x2A};
    EXPECT_EQ(port.WriteBytes(frame, sizeof frame), 1);
    EXPECT_EQ(port.WriteString("ab\r\n"), 1);
    EXPECT_EQ(port.WriteChar(0x0A), 1);
    uint8_t got[13] = {};
    ASSERT_TRUE(m_pty.Receive(got, sizeof got));
    EXPECT_EQ(std::memcmp(got, frame, 8), 0);
    EXPECT_EQ(std::memcmp(got + 8, "ab\r\n\n", 5), 0);  // no CR/LF translation
    port.Close();
    EXPECT_EQ(port.WriteChar('x'), -1);
    EXPECT_EQ(port.WriteString("x"), -1);
    EXPECT_EQ(port.WriteBytes(frame, 8), -1);
}

TEST_F(SerialPortTest, EveryByteValueArrivesUnchanged)
{
    CSerialPort port;
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    const unsigned seed = 20261207;
    std::mt19937 random(seed);
    std::vector<uint8_t> sent(512);
    for (size_t i = 0; i < 256; ++i)
        sent[i] = static_cast<uint8_t>(i);  // control bytes included: ^C, ^S, ^Q, CR, DEL
    for (size_t i = 256; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(random() & 0xFF);
    ASSERT_TRUE(m_pty.Send(sent.data(), sent.size()));
    std::vector<uint8_t> got(sent.size());
    EXPECT_EQ(port.ReadBytes(got.data(), static_cast<uint32_t>(got.size()), 5000),
              static_cast<int>(got.size()));
    EXPECT_EQ(got, sent) << "seed " << seed;
}

TEST_F(SerialPortTest, ReadCharTimesOutThenGetsAByte)
{
    CSerialPort port;
    uint8_t byte = 0;
    EXPECT_EQ(port.ReadChar(&byte, 10), -1);  // closed
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    EXPECT_EQ(port.ReadChar(&byte, 20), 0);
    EXPECT_EQ(port.GetTimeouts().readTotalConstant, 20u);
    ASSERT_TRUE(m_pty.Send("Z"));
    EXPECT_EQ(port.ReadChar(&byte, 2000), 1);
    EXPECT_EQ(byte, 'Z');
    ASSERT_TRUE(m_pty.Send("Y"));
    EXPECT_EQ(port.ReadChar(&byte, 0), 1);  // no limit, a byte waits
    EXPECT_EQ(byte, 'Y');
}

TEST_F(SerialPortTest, VanishedLineFailsReadsInsteadOfHanging)
{
    CSerialPort port;
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    m_pty.CloseMaster();
    uint8_t byte = 0;
    char line[8] = {};
    EXPECT_EQ(port.ReadChar(&byte, 0), -2);
    EXPECT_EQ(port.ReadChar(&byte, 50), -2);
    EXPECT_EQ(port.ReadString(line, '\n', 4, 0), -2);
    EXPECT_EQ(port.ReadString(line, '\n', 4, 50), -2);
    EXPECT_EQ(port.ReadBytes(line, 4, 0), -2);
    EXPECT_EQ(port.WriteChar('x'), -1);
}

TEST_F(SerialPortTest, TimedReadStringStopsAtTerminatorOrMaximum)
{
    CSerialPort port;
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    char buffer[33];
    std::memset(buffer, 'q', sizeof buffer);
    ASSERT_TRUE(m_pty.Send("data=512\r\n"));
    EXPECT_EQ(port.ReadString(buffer, '\n', 32, 2000), 10);
    EXPECT_STREQ(buffer, "data=512\r\n");

    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(port.ReadString(buffer, '\n', 32, 30), 0);
    EXPECT_STREQ(buffer, "");

    const std::string run(40, 'a');
    ASSERT_TRUE(m_pty.Send(run));
    EXPECT_EQ(port.ReadString(buffer, '\n', 32, 2000), 32);
    EXPECT_EQ(buffer[32], '\0');
    EXPECT_TRUE(WaitAvailable(port, 8));
    EXPECT_TRUE(port.FlushReceiver());
    EXPECT_EQ(port.Available(), 0);
    EXPECT_EQ(port.ReadString(buffer, '\n', 0, 30), -3);
}

TEST_F(SerialPortTest, BlockingReadStringNeedsTheTerminatorWithinMaximum)
{
    CSerialPort port;
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    char buffer[16];
    ASSERT_TRUE(m_pty.Send("abcdef"));
    EXPECT_EQ(port.ReadString(buffer, '*', 4, 0), -3);
    ASSERT_TRUE(m_pty.Send("x*"));
    EXPECT_EQ(port.ReadString(buffer, '*', 8, 0), 4);  // "ef" left from before, then "x*"
    EXPECT_STREQ(buffer, "efx*");
    EXPECT_EQ(port.ReadString(buffer, '*', 0, 0), -3);
}

TEST_F(SerialPortTest, ReadBytesReturnsShortCountWhenTimeRunsOut)
{
    CSerialPort port;
    uint8_t buffer[16] = {};
    EXPECT_EQ(port.ReadBytes(buffer, 4, 10), -1);
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    ASSERT_TRUE(m_pty.Send("12345"));
    EXPECT_EQ(port.ReadBytes(buffer, 16, 300), 5);
    EXPECT_EQ(std::memcmp(buffer, "12345", 5), 0);
    EXPECT_EQ(port.ReadBytes(buffer, 16, 20), 0);
    EXPECT_EQ(port.ReadBytes(buffer, 0, 20), 0);
    EXPECT_EQ(port.Available(), 0);
}

TEST_F(SerialPortTest, ModemLinesOfALineWithoutThemAreRefused)
{
    CSerialPort port;
    EXPECT_FALSE(port.SetDtr());
    EXPECT_TRUE(port.IsDtr());  // recorded state untouched
    EXPECT_TRUE(port.IsRts());
    EXPECT_FALSE(port.IsCts());
    EXPECT_EQ(port.Available(), -1);
    EXPECT_FALSE(port.FlushReceiver());
    ASSERT_EQ(port.Open(Slave(), nullptr), 1);
    // A pseudo-terminal has no modem lines: nothing reports a state it did not take.
    EXPECT_FALSE(port.ClearDtr());
    EXPECT_TRUE(port.IsDtr());
    EXPECT_FALSE(port.ClearRts());
    EXPECT_TRUE(port.IsRts());
    EXPECT_FALSE(port.IsDsr());
    EXPECT_FALSE(port.IsDcd());
    EXPECT_FALSE(port.IsRing());
}

TEST(SerialPortThreads, ReadBytesGathersPiecesSentFromAnotherThread)
{
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    CSerialPort port;
    ASSERT_EQ(port.Open(pty.SlaveName().c_str(), nullptr), 1);
    std::vector<uint8_t> sent(600);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
    std::thread instrument([&] {
        for (size_t i = 0; i < sent.size(); i += 60) pty.Send(sent.data() + i, 60);
    });
    std::vector<uint8_t> got(sent.size());
    const int count = port.ReadBytes(got.data(), static_cast<uint32_t>(got.size()), 10000);
    instrument.join();
    EXPECT_EQ(count, static_cast<int>(sent.size()));
    EXPECT_EQ(got, sent);
}

}  // namespace
