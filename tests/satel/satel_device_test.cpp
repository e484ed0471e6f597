#include "satel/satel_device.h"

#include "analog/fakeSinks.h"
#include "analog/runningDevice.h"
#include "satel/fakeSatelBoard.h"
#include "satel/satelClockRun.h"
#include "satel/satelProbe.h"
#include "serial/lineLink.h"
#include "serial/ptyPair.h"
#include "support/logCapture.h"
#include "support/tempDir.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/log.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::string Hex(const uint8_t* bytes, size_t size)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(part, sizeof part, "%02X ", bytes[i]);
        text += part;
    }
    return text;
}

class SatelDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_pty.IsValid()); }
    std::unique_ptr<CSatelProbe> OpenDevice(int periodMs = 25) { return OpenProbe(m_pty, periodMs); }
    CPtyPair m_pty;
};

TEST(SatelProtocol, CommandFramesAndSamples)
{
    uint8_t frame[CSerialSatelDevice::kFrameSize];
    CSerialSatelDevice::MakeFrame(CSerialSatelDevice::kSetPeriod, 25, frame);
    EXPECT_EQ(Hex(frame, sizeof frame), "23 49 00 03 50 19 00 2A ");
    CSerialSatelDevice::MakeFrame(CSerialSatelDevice::kSamples, 0, frame);
    EXPECT_EQ(Hex(frame, sizeof frame), "23 49 00 03 42 00 00 2A ");

    const uint8_t sample[] = {0x01, 0xF4, 0x00, 0x64, 0xFF, 0xF6};
    double values[3] = {};
    CSerialSatelDevice::DecodeSample(sample, values);
    EXPECT_EQ(values[0], 500.0);
    EXPECT_EQ(values[1], 100.0);
    EXPECT_EQ(values[2], -10.0);
    const uint8_t extremes[] = {0x80, 0x00, 0x7F, 0xFF, 0xFF, 0xFF};
    CSerialSatelDevice::DecodeSample(extremes, values);
    EXPECT_EQ(values[0], -32768.0);
    EXPECT_EQ(values[1], 32767.0);
    EXPECT_EQ(values[2], -1.0);
    EXPECT_EQ(CSerialSatelDevice::DecodeU16(extremes), 0x8000);
}

TEST_F(SatelDeviceTest, OpenBoardNamesItsChannels)
{
    auto device = OpenDevice();
    EXPECT_EQ(device->GetDeviceKey(), "SATEL Balance Board");
    EXPECT_EQ(device->GetDeviceName(), "satel_device");
    EXPECT_EQ(device->GetDevicePath(), "satel/" + m_pty.SlaveName());
    EXPECT_EQ(device->GetDevicePath(), CSerialSatelDevice::MakeDevicePath(m_pty.SlaveName()));
    EXPECT_EQ(device->GetConfigPath(), "/Analog/satel_device");
    EXPECT_EQ(device->GetDeviceType(), 5);
    ASSERT_EQ(device->GetChannelCount(), 6);
    const char* names[] = {"sensor 1", "sensor 2", "sensor 3", "Weight", "XP", "YP"};
    const char* units[] = {"N", "N", "N", "N", "mm", "mm"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(device->GetChannelName(i), names[i]);
        EXPECT_EQ(device->GetChannelUnit(i), units[i]);
    }
    EXPECT_DOUBLE_EQ(device->GetRate(), 40.0);
    EXPECT_EQ(device->GetMinValue(), -400.0);
    EXPECT_EQ(device->GetMaxValue(), 400.0);
    EXPECT_EQ(device->GetExportExtension(), ".txt");
    EXPECT_EQ(device->GetCPXChannel(), 4);
    EXPECT_EQ(device->GetCPYChannel(), 5);
    EXPECT_EQ(device->GetCPXIndex(), 4);
    EXPECT_EQ(device->GetCPYIndex(), 5);
    EXPECT_TRUE(device->CanShowCPStat());
    EXPECT_FALSE(device->CanOffset());
    // The line is the device's alone while it is open.
    CSerialPort other;
    testing::internal::CaptureStderr();
    EXPECT_EQ(other.Open(m_pty.SlaveName().c_str(), nullptr), -2);
    testing::internal::GetCapturedStderr();
    device->Close();
    EXPECT_FALSE(device->IsReady());
    EXPECT_EQ(other.Open(m_pty.SlaveName().c_str(), nullptr), 1);
}

TEST(SatelDevice, MissingPortLeavesADeviceThatIsNotReady)
{
    wxLogNull quiet;
    testing::internal::CaptureStderr();
    CSerialSatelDevice device("/nonexistent/satel", 25, false, 400.0, false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "<COM> Device not found /nonexistent/satel\n");
    EXPECT_FALSE(device.IsReady());
    EXPECT_EQ(device.GetDevicePath(), "");
    EXPECT_EQ(device.GetDeviceKey(), "satel_device");
    EXPECT_EQ(device.GetChannelCount(), 6);
    EXPECT_NE(device.GetChannelName(0), "sensor 1");

    testing::internal::CaptureStderr();
    CSerialSatelDevice unnamed("", 25, false, 400.0, false);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(unnamed.GetPortName(), "com1");
}

TEST(SatelDevice, PeriodOutOfByteRangeFallsBackToTwentyFive)
{
    wxLogNull quiet;
    testing::internal::CaptureStderr();
    CSerialSatelDevice zero("/nonexistent/satel", 0, false, 400.0, false);
    CSerialSatelDevice large("/nonexistent/satel", 300, false, 400.0, false);
    CSerialSatelDevice slow("/nonexistent/satel", 200, false, 400.0, false);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(zero.GetPeriodMs(), 25);
    EXPECT_DOUBLE_EQ(zero.GetRate(), 40.0);
    EXPECT_EQ(large.GetPeriodMs(), 25);
    EXPECT_EQ(slow.GetPeriodMs(), 200);
    EXPECT_DOUBLE_EQ(slow.GetRate(), 5.0);
}

class SatelSampleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wxLogNull quiet;
        testing::internal::CaptureStderr();
        m_device = std::make_unique<CSatelProbe>("/nonexistent/satel", 25, false, 400.0, false);
        testing::internal::GetCapturedStderr();
    }
    bool Parse(double a, double b, double c)
    {
        m_device->SetRaw(a, b, c);
        return m_device->ParseSample();
    }
    std::unique_ptr<CSatelProbe> m_device;
};

TEST_F(SatelSampleTest, WeightAndCentreOfPressure)
{
    ASSERT_TRUE(Parse(100, 100, 100));
    EXPECT_DOUBLE_EQ(m_device->Value(3), 300.0);
    EXPECT_DOUBLE_EQ(m_device->Value(4), 0.0);
    EXPECT_NEAR(m_device->Value(5), 0.0, 1e-12);

    ASSERT_TRUE(Parse(0, 100, 0));
    EXPECT_DOUBLE_EQ(m_device->Value(4), 200.0);  // all on sensor 2: half the side
    EXPECT_NEAR(m_device->Value(5), -100.0 / (3.4641016151377544 * 100.0) * 400.0, 1e-9);

    const double offset = 12.5;
    bool changed = false;
    ASSERT_TRUE(m_device->SetParam(&offset, 3, 1, PARAM_DOUBLE, &changed));
    const double scale = 2.0;
    ASSERT_TRUE(m_device->SetParam(&scale, 4, 1, PARAM_DOUBLE, &changed));
    ASSERT_TRUE(Parse(100, 100, 100));
    EXPECT_DOUBLE_EQ(m_device->Value(3), 600.0);
    EXPECT_NEAR(m_device->Value(5), 12.5, 1e-12);

    ASSERT_TRUE(Parse(3.3, 3.3, 3.3));  // total 9.9: too light to place
    EXPECT_DOUBLE_EQ(m_device->Value(0), 3.3);
    EXPECT_EQ(m_device->Value(3), 0.0);
    EXPECT_EQ(m_device->Value(4), 0.0);
    EXPECT_EQ(m_device->Value(5), 0.0);
}

TEST_F(SatelSampleTest, SpikeFilterRunsOnceOffsetsAreKnown)
{
    EXPECT_TRUE(Parse(1001, 0, 0));  // before the offsets: no filter
    m_device->SetOffsetsDone(true);
    EXPECT_FALSE(Parse(1001, 0, 0));
    EXPECT_FALSE(Parse(-11, 0, 0));
    m_device->SetPrevious(500, 100, 0);
    ASSERT_TRUE(Parse(500, 100, 0));
    EXPECT_FALSE(Parse(620, 100, 0));             // step of 120
    EXPECT_DOUBLE_EQ(m_device->Value(0), 500.0);  // the row stays
    EXPECT_TRUE(Parse(580, 100, 0));
    EXPECT_DOUBLE_EQ(m_device->Value(0), 580.0);
    EXPECT_EQ(m_device->GetDroppedSamples(), 3);
}

// Someone stepping on the board moves the load by more than one step: the new level
// must come through, not freeze the row at the last light sample for good.
TEST_F(SatelSampleTest, ALoadThatStaysAtANewLevelIsTaken)
{
    m_device->SetOffsetsDone(true);
    ASSERT_TRUE(Parse(10, 10, 10));
    EXPECT_FALSE(Parse(300, 310, 290));  // one sample could be a spike
    EXPECT_TRUE(Parse(305, 300, 295));   // it repeats: a real load
    EXPECT_DOUBLE_EQ(m_device->Value(3), 900.0);
    EXPECT_TRUE(Parse(310, 300, 300));
    // A lone spike among steady samples is still dropped.
    EXPECT_FALSE(Parse(700, 300, 300));
    EXPECT_TRUE(Parse(310, 300, 300));
    EXPECT_FALSE(Parse(700, 300, 300));
    EXPECT_FALSE(Parse(100, 300, 300));  // not the spike's level either
}

TEST_F(SatelSampleTest, ParametersKeepTheirLimits)
{
    CSatelProbe& device = *m_device;
    int count = 0, type = 0;
    for (int id = 0; id < CSerialSatelDevice::kOwnParams; ++id) {
        ASSERT_NE(device.GetParam(id, &count, &type), nullptr) << id;
        EXPECT_EQ(count, 1);
        EXPECT_EQ(device.GetParamKey(id), device.GetParamLabel(id));
    }
    EXPECT_EQ(device.GetParamKey(4), "Weight scale");
    EXPECT_EQ(device.GetParamKey(7), "CP Stat Level");
    bool changed = true;
    double value = 50.0;
    ASSERT_TRUE(device.SetParam(&value, 1, 1, PARAM_DOUBLE, &changed));  // min
    EXPECT_FALSE(changed);
    value = 50.0;
    ASSERT_TRUE(device.SetParam(&value, 2, 1, PARAM_DOUBLE, &changed));  // max equal to min
    EXPECT_EQ(device.GetMinValue(), -400.0);
    EXPECT_EQ(device.GetMaxValue(), 400.0);
    value = 500.0;
    ASSERT_TRUE(device.SetParam(&value, 1, 1, PARAM_DOUBLE, &changed));  // min above max
    EXPECT_EQ(device.GetMinValue(), 400.0);
    EXPECT_EQ(device.GetMaxValue(), 500.0);
    value = std::nan("");
    EXPECT_FALSE(device.SetParam(&value, 2, 1, PARAM_DOUBLE, &changed));
    EXPECT_EQ(device.GetMaxValue(), 500.0);

    {
        wxLogNull quiet;  // the refusals are reported through the log
        value = 250.0;    // beyond half the side
        device.SetParam(&value, 3, 1, PARAM_DOUBLE, &changed);
        EXPECT_EQ(*static_cast<double*>(device.GetParam(3, &count, &type)), 0.0);
        value = 0.05;
        device.SetParam(&value, 4, 1, PARAM_DOUBLE, &changed);
        EXPECT_EQ(*static_cast<double*>(device.GetParam(4, &count, &type)), 1.0);
        value = 121.0;
        device.SetParam(&value, 6, 1, PARAM_DOUBLE, &changed);
        EXPECT_TRUE(changed);
        EXPECT_EQ(device.GetCPStatTime(), 30.0);
    }
    int32_t level = 3;
    device.SetParam(&level, 7, 1, PARAM_CHOICE, &changed);
    EXPECT_EQ(device.GetCPStatLevel(), 3);
    level = 7;
    device.SetParam(&level, 7, 1, PARAM_CHOICE, &changed);
    EXPECT_EQ(device.GetCPStatLevel(), 0);
    level = -1;
    device.SetParam(&level, 7, 1, PARAM_CHOICE, &changed);
    EXPECT_EQ(device.GetCPStatLevel(), 0);
    EXPECT_FALSE(device.SetParam(&level, 7, 1, PARAM_DOUBLE, &changed));  // wrong type
    EXPECT_FALSE(device.SetParam(&level, 7, 2, PARAM_CHOICE, &changed));  // wrong count
    EXPECT_EQ(device.GetChoiceCount(7), 5);
    EXPECT_EQ(device.GetChoiceLabel(7, 2), "97.5 %");
    EXPECT_EQ(device.GetChoiceLabel(7, 5), "???");
    EXPECT_EQ(device.GetChoiceLabel(6, 0), "???");
    const wxString name = "left board";
    ASSERT_TRUE(device.SetParam(&name, 0, 1, PARAM_STRING, &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(device.GetDeviceName(), "left board");
}

TEST_F(SatelSampleTest, OnlyTheCentreOfPressureExportsAsCp)
{
    CSatelProbe& device = *m_device;
    const int first = CSerialSatelDevice::kOwnParams;  // channel on/off flags follow
    bool changed = false;
    const uint8_t off = 0;
    for (int channel : {0, 1, 2, 3}) {
        device.SetParam(&off, first + channel, 1, PARAM_BOOL, &changed);
        EXPECT_EQ(device.GetExportExtension(), channel == 3 ? ".cp" : ".txt");
    }
    EXPECT_EQ(device.GetCPXIndex(), 0);
    EXPECT_EQ(device.GetCPYIndex(), 1);
    device.SetParam(&off, first + 4, 1, PARAM_BOOL, &changed);
    EXPECT_EQ(device.GetExportExtension(), ".txt");
    EXPECT_EQ(device.GetCPXIndex(), -1);
    EXPECT_EQ(device.GetCPYIndex(), 0);
}

class SatelConfigTest : public TempDirTest {
protected:
    std::unique_ptr<wxFileConfig> OpenConfig()
    {
        const wxString path = Path("qv.cfg").string();
        return std::make_unique<wxFileConfig>("qv", "qv", path, "", wxCONFIG_USE_LOCAL_FILE);
    }
    std::unique_ptr<CSerialSatelDevice> MakeDevice()
    {
        wxLogNull quiet;
        testing::internal::CaptureStderr();
        auto device =
            std::make_unique<CSerialSatelDevice>("/nonexistent/satel", 25, false, 400.0, false);
        testing::internal::GetCapturedStderr();
        return device;
    }
};

TEST_F(SatelConfigTest, SettingsComeBackUnderTheirKeys)
{
    {
        auto device = MakeDevice();
        bool changed = false;
        const double scale = 2.5, offset = -20.0, time = 45.0;
        const int32_t level = 2;
        const uint8_t off = 0;
        ASSERT_TRUE(device->SetParam(&scale, 4, 1, PARAM_DOUBLE, &changed));
        ASSERT_TRUE(device->SetParam(&offset, 3, 1, PARAM_DOUBLE, &changed));
        ASSERT_TRUE(device->SetParam(&time, 6, 1, PARAM_DOUBLE, &changed));
        ASSERT_TRUE(device->SetParam(&level, 7, 1, PARAM_CHOICE, &changed));
        for (int channel = 0; channel < 4; ++channel)
            device->SetParam(&off, CSerialSatelDevice::kOwnParams + channel, 1, PARAM_BOOL,
                             &changed);
        auto config = OpenConfig();
        ASSERT_TRUE(device->SaveConfig(config.get()));
        config->Flush();
    }
    auto config = OpenConfig();
    double stored = 0.0;
    EXPECT_TRUE(config->Read("/Analog/satel_device/Weight scale", &stored));
    EXPECT_EQ(stored, 2.5);
    auto device = MakeDevice();
    EXPECT_EQ(device->GetExportExtension(), ".txt");
    ASSERT_TRUE(device->LoadConfig(config.get()));
    int count = 0, type = 0;
    EXPECT_EQ(*static_cast<double*>(device->GetParam(4, &count, &type)), 2.5);
    EXPECT_EQ(*static_cast<double*>(device->GetParam(3, &count, &type)), -20.0);
    EXPECT_EQ(device->GetCPStatTime(), 45.0);
    EXPECT_EQ(device->GetCPStatLevel(), 2);
    EXPECT_EQ(device->GetExportExtension(), ".cp");
}

TEST_F(SatelConfigTest, StoredValuesOutsideTheLimitsAreRefused)
{
    {
        auto config = OpenConfig();
        config->Write("/Analog/satel_device/Weight scale", 5000.0);
        config->Write("/Analog/satel_device/Y Offset", 900.0);
        config->Write("/Analog/satel_device/CP Stat Level", 9L);
        config->Flush();
    }
    auto config = OpenConfig();
    auto device = MakeDevice();
    wxLogNull quiet;
    ASSERT_TRUE(device->LoadConfig(config.get()));
    int count = 0, type = 0;
    EXPECT_EQ(*static_cast<double*>(device->GetParam(4, &count, &type)), 1.0);
    EXPECT_EQ(*static_cast<double*>(device->GetParam(3, &count, &type)), 0.0);
    EXPECT_EQ(device->GetCPStatLevel(), 0);
}

TEST_F(SatelDeviceTest, OffsetSequenceSendsItsFramesAndAveragesTheSamples)
{
    auto device = OpenDevice();
    CFakeSatelBoard board(m_pty);
    board.Queue({{100, 200, -300}, {102, 204, -306}, {98, 196, -294}});
    board.Start();
    ASSERT_TRUE(device->CalcOffsets(0));  // waits the shortest time, 200 ms
    board.Stop();
    const auto commands = board.Commands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(Hex(reinterpret_cast<const uint8_t*>(commands[0].data()), 8),
              "23 49 00 03 50 19 00 2A ");
    EXPECT_EQ(Hex(reinterpret_cast<const uint8_t*>(commands[1].data()), 8),
              "23 49 00 03 43 01 00 2A ");
    EXPECT_EQ(Hex(reinterpret_cast<const uint8_t*>(commands[2].data()), 8),
              "23 49 00 03 52 00 00 2A ");
    EXPECT_EQ(Hex(reinterpret_cast<const uint8_t*>(commands[3].data()), 8),
              "23 49 00 03 42 00 00 2A ");
    EXPECT_DOUBLE_EQ(device->GetBoardOffset(0), 100.0);
    EXPECT_DOUBLE_EQ(device->GetBoardOffset(1), 200.0);
    EXPECT_DOUBLE_EQ(device->GetBoardOffset(2), -300.0);
}

// At 5 Hz the offset wait holds two samples: the read must have room for them.
TEST_F(SatelDeviceTest, OffsetsAtFiveHertzUseTheSamplesRead)
{
    auto device = OpenDevice(200);
    CFakeSatelBoard board(m_pty);
    board.Queue({{40, 50, 60}, {42, 52, 62}});
    board.Start();
    ASSERT_TRUE(device->CalcOffsets(400));
    board.Stop();
    EXPECT_DOUBLE_EQ(device->GetBoardOffset(0), 41.0);
    EXPECT_DOUBLE_EQ(device->GetBoardOffset(2), 61.0);
}

// A reply without one whole sample computes nothing and must not report offsets done.
TEST_F(SatelDeviceTest, OffsetsWithoutASampleFail)
{
    auto device = OpenDevice();
    CFakeSatelBoard board(m_pty);
    board.Queue({});
    board.Start();
    EXPECT_FALSE(device->CalcOffsets(0));
    board.Stop();
    EXPECT_EQ(device->GetBoardOffset(0), 0.0);
}

TEST_F(SatelDeviceTest, ConfigureSendsThePeriodAndTwoSteps)
{
    auto device = OpenDevice(50);
    CFakeSatelBoard board(m_pty);
    board.Start();
    EXPECT_TRUE(device->ConfigureBoard());
    board.Stop();
    const auto commands = board.Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0][4], 'P');
    EXPECT_EQ(static_cast<uint8_t>(commands[0][5]), 50);
    EXPECT_EQ(commands[1][4], 'C');
    EXPECT_EQ(commands[2][4], 'R');
}

TEST_F(SatelDeviceTest, ALostLineFailsWithoutWaiting)
{
    auto device = OpenDevice();
    m_pty.CloseMaster();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(device->ReadFrames(0));
    EXPECT_FALSE(device->CalcOffsets(0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // no 3 s reply time-outs
}

TEST_F(SatelDeviceTest, ResetClearsCountersAndMarkers)
{
    auto device = OpenDevice();
    device->AddMarker(1, 3, "step", false);
    device->CountSample();
    device->Reset();
    EXPECT_EQ(device->GetSampleCounter(), 0);
    EXPECT_TRUE(device->GetMarkerFrames().empty());
}

// A board on its own line; each test gives it its replies and starts it.
class SatelDeviceThreads : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.IsValid()); }
    // The board answering every sample request with one standing load.
    void StartStanding()
    {
        board.SetStanding({300, 250, 400});
        board.Start();
    }

    CPtyPair pty;
    CFakeSatelBoard board{pty};
};

TEST_F(SatelDeviceThreads, StreamsRowsWithBoardOffsetsRemoved)
{
    board.Queue({{100, 100, 100}, {100, 100, 100}});  // offsets
    board.SetStanding({180, 150, 190});
    board.Start();
    CSerialSatelDevice device(pty.SlaveName(), 25, false, 400.0, false);
    ASSERT_TRUE(device.IsReady());
    CFakeView view;
    device.AddView(&view);
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(view.WaitFrames(5, 20s));
    device.Close();
    device.RemoveView(&view);  // before the view's lock: the device's lock comes first
    EXPECT_TRUE(device.AreOffsetsDone());
    // The filter starts from the empty board's level: the first load is no spike.
    EXPECT_EQ(device.GetDroppedSamples(), 0);
    board.Stop();
    std::lock_guard<std::mutex> lock(view.mutex);
    const CFrame& last = view.frames.back();
    ASSERT_EQ(last.values.size(), 6u);
    EXPECT_EQ(last.values[0], 80.0);
    EXPECT_EQ(last.values[1], 50.0);
    EXPECT_EQ(last.values[2], 90.0);
    EXPECT_EQ(last.values[3], 220.0);
    EXPECT_DOUBLE_EQ(last.values[4], (50.0 - 80.0) / 220.0 * 200.0);
    EXPECT_DOUBLE_EQ(last.values[5], (180.0 - 50.0 - 80.0) / (3.4641016151377544 * 220.0) * 400.0);
}

TEST_F(SatelDeviceThreads, DestroyedWhileStreaming)
{
    StartStanding();
    CFakeView view;
    {
        CSerialSatelDevice device(pty.SlaveName(), 25, false, 400.0, false);
        ASSERT_TRUE(device.IsReady());
        device.AddView(&view);
        ASSERT_TRUE(device.Create(false));
        ASSERT_TRUE(device.RunThread());
        ASSERT_TRUE(view.WaitFrames(3, 20s));
    }  // no Close: the destructor ends the thread before the port goes
    board.Stop();
    // The line is free again.
    CSerialPort port;
    EXPECT_EQ(port.Open(pty.SlaveName().c_str(), nullptr), 1);
}


TEST(SatelDevice, PortWhereNoBoardAnswersDoesNotOpen)
{
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    CLogCapture log;
    CSerialSatelDevice device(pty.SlaveName(), 25, false, 400.0, false);
    EXPECT_FALSE(device.IsReady());
    EXPECT_EQ(device.GetDevicePath(), "");
    bool said = false;
    for (const std::string& message : log.Messages())
        said = said || message.find("No SATEL board answers on " + pty.SlaveName()) != std::string::npos;
    EXPECT_TRUE(said);
    CSerialPort port;  // the line was let go
    EXPECT_EQ(port.Open(pty.SlaveName().c_str(), nullptr), 1);
}

// Opens a board on the link's line and runs it until frames come.
std::unique_ptr<CSerialSatelDevice> RunBoard(const std::string& path, CFakeView& view)
{
    auto device = std::make_unique<CSerialSatelDevice>(path, 25, false, 400.0, false);
    EXPECT_TRUE(device->IsReady());
    device->SetReopenInterval(100ms);
    // A few periods would do; more keeps a loaded machine from missing replies.
    device->SetReplyTimeouts(500ms, 2s);
    device->AddView(&view);
    EXPECT_TRUE(device->Create(false));
    EXPECT_TRUE(device->RunThread());
    EXPECT_TRUE(view.WaitFrames(5, 20s));
    return device;
}

// A board whose first replies after the offsets are empty and then refused: the frames
// before its first sample hold the empty row, counted as repeated; the samples of the
// refused reply came before any frame's sample, so no frame shows them missing and
// none is said to have reached no frame.
TEST_F(SatelDeviceThreads, SamplesLostBeforeTheFirstSampleShownAreNoGap)
{
    board.Queue({{100, 100, 100}, {100, 100, 100}});  // offsets; empty replies then
    board.Start();
    CFakeView view;
    auto device = RunBoard(pty.SlaveName(), view);
    std::string refused = CFakeSatelBoard::SampleReply({{101, 102, 103}, {104, 105, 106}});
    refused.insert(refused.begin() + 7, refused[7]);  // a byte sent twice: refused
    board.QueueRaw(refused);
    board.Queue({{110, 120, 130}});
    ASSERT_TRUE(board.WaitForCommands(board.Commands().size() + 3, 20s));
    const int before = FramesOf(view);
    ASSERT_TRUE(view.WaitFrames(before + 2, 20s));
    device->Close();
    device->RemoveView(&view);
    board.Stop();
    EXPECT_GE(device->GetDamagedReplies(), 1);
    EXPECT_EQ(device->GetLostSamples(), 0);
    EXPECT_EQ(device->GetSkippedSamples(), 0);
    std::lock_guard<std::mutex> lock(view.mutex);
    int64_t empty = 0;
    while (empty < static_cast<int64_t>(view.frames.size()) &&
           view.frames[static_cast<size_t>(empty)].values[0] == 0.0)
        ++empty;
    ASSERT_GT(empty, 0);
    ASSERT_LT(empty, static_cast<int64_t>(view.frames.size()));
    EXPECT_EQ(view.frames[static_cast<size_t>(empty)].values[0], 10.0);
    EXPECT_EQ(device->GetRepeatedFrames(), static_cast<int64_t>(view.frames.size()) - 1);
}

// Closing while a request waits for a board that says nothing returns without waiting
// for the reply time-out.
TEST_F(SatelDeviceThreads, ClosingOnADeadLineDoesNotWaitForTheReply)
{
    StartStanding();
    CFakeView view;
    auto device = RunBoard(pty.SlaveName(), view);
    device->Close();
    device->RemoveView(&view);
    auto waiting = std::make_unique<CSerialSatelDevice>(pty.SlaveName(), 25, false, 400.0, false);
    ASSERT_TRUE(waiting->IsReady());
    waiting->SetReplyTimeouts(60s, 60s);
    board.SetSilentSamples(true);
    const size_t before = board.Commands().size();
    ASSERT_TRUE(waiting->Create(false));
    ASSERT_TRUE(waiting->RunThread());
    // The offsets' request went out and waits for its reply.
    ASSERT_TRUE(board.WaitForCommands(before + 4, 20s));
    const auto start = std::chrono::steady_clock::now();
    waiting->Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // far below the 60 s wait
    EXPECT_TRUE(waiting->IsClosed());
    board.Stop();
}

// A 40 Hz board on its own clock, with the device reading it: silent replies count
// after replyTimeout, and a lost line is opened again only once within the test's
// bounds (the first attempt) unless it went away.
struct CClockedLine {
    explicit CClockedLine(std::chrono::milliseconds replyTimeout)
    {
        board.SetClock(40.0, 0.5);
        board.Start();
        g_messages.Drain();
        device = std::make_unique<CSerialSatelDevice>(pty.SlaveName(), 25, false, 400.0, false);
        device->SetReplyTimeouts(replyTimeout, 2s);
        device->SetReopenInterval(60s);
    }
    CPtyPair pty;
    CFakeSatelBoard board{pty};
    CMessageLog messages;
    std::unique_ptr<CSerialSatelDevice> device;
};

// Closing while the offsets are still being taken (opened and closed within half a
// second) is a close: no failure is reported, at any stage of the sequence.
TEST_F(SatelDeviceThreads, ClosingDuringTheOffsetsIsNoFailure)
{
    board.SetStanding({300, 250, 400});
    board.Start();
    // Commands the board has had when the close comes: none yet, the period, the
    // third step (the offsets' wait), and the offsets' request (no reply comes).
    for (size_t stage : {0u, 1u, 3u, 4u}) {
        SCOPED_TRACE(testing::Message() << "after " << stage << " commands");
        g_messages.Drain();
        CMessageLog messages;
        CSerialSatelDevice device(pty.SlaveName(), 25, false, 400.0, false);
        ASSERT_TRUE(device.IsReady());
        device.SetReplyTimeouts(60s, 60s);
        board.SetSilentSamples(stage == 4);
        const size_t before = board.Commands().size();
        ASSERT_TRUE(device.Create(false));
        ASSERT_TRUE(device.RunThread());
        ASSERT_TRUE(board.WaitForCommands(before + stage, 20s));
        device.Close();
        EXPECT_TRUE(device.IsClosed());
        messages.Take();
        EXPECT_EQ(messages.Count("Unable to calculate board offset"), 0);
    }
    board.Stop();
}

// Reads that timed out on a line that is still there (a stall, noise) lose it; the
// first attempt to get it back comes at once, not a reopen interval later.
TEST(SatelDeviceLineThreads, ReadsThatTimedOutTryAgainAtOnce)
{
    CClockedLine line(100ms);
    ASSERT_TRUE(line.device->IsReady());
    CRunningDevice run(*line.device);
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.view.WaitFrames(10, 20s));
    // Unanswered until the device says so: a late reply on a loaded machine may answer
    // one of the first few.
    line.board.SkipSampleRequests(1 << 30);
    ASSERT_TRUE(line.messages.WaitFor("does not answer from frame", 20s));
    line.board.SkipSampleRequests(0);
    ASSERT_TRUE(line.messages.WaitFor("answers again at frame", 20s));
    line.device->Close();
    EXPECT_EQ(line.device->GetLineLosses(), 1);
}

}  // namespace
