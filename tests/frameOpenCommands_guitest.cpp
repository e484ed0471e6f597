// Opening recordings: a player shows the channels its own file holds, and a
// file it cannot play is said with its name and the reason.
#include <gtest/gtest.h>
#include <wx/textctrl.h>

#include <fstream>
#include <string>
#include <vector>

#include "analog/analogDevice.h"
#include "analog/analogWriter.h"
#include "analog/recordBytes.h"
#include "analog/recordFormat.h"
#include "frameDeviceTestSupport.h"
#include "support/logCapture.h"

namespace {

class FrameOpenRecordingTest : public FrameDeviceTest {
protected:
    // A finished recording of 20 frames of the given channels, written by the writer.
    std::string Record(const std::string& name, const std::vector<wxString>& names,
                       const RecordMarkers& markers = RecordMarkers())
    {
        const std::string path = Path(name).string();
        RecordHeaderInfo info;
        info.deviceKey = "test_device";
        info.channelNames = names;
        HeaderPropertyBuffer block;
        const uint64_t length = BuildHeaderProperties(info, block);
        CAnalogWriter writer;
        const int32_t channels = static_cast<int32_t>(names.size());
        EXPECT_TRUE(writer.OpenFile(path, channels, 1, 100.0, false, ""));
        EXPECT_TRUE(writer.WriteProperties(block.data(), length));
        std::vector<double> frame(names.size());
        for (int f = 0; f < 20; ++f) {
            for (size_t c = 0; c < frame.size(); ++c) frame[c] = f + 0.1 * double(c);
            writer.WriteFrame(frame.data(), frame.size());
        }
        EXPECT_TRUE(writer.Finish(&markers));
        EXPECT_TRUE(writer.Close());
        return path;
    }

    static std::vector<wxString> Names(CAnalogDevice* device)
    {
        std::vector<wxString> names;
        for (int i = 0; i < device->GetChannelCount(); ++i)
            names.push_back(device->GetChannelName(i));
        return names;
    }
};

}  // namespace

TEST_F(FrameOpenRecordingTest, TwoRecordingsPlayedOneAfterTheOtherShowTheirOwnChannels)
{
    TrackerFrame* frame = MakeFrame();
    const std::string first = Record("first.qvd", {"a", "b", "c"});
    const std::string second = Record("second.qvd", {"Fx", "", "Fz", "Mx"});
    ASSERT_TRUE(frame->OpenRecordingFile(first));
    ASSERT_EQ(frame->GetDeviceCount(), 1);
    CAnalogDevice* player = frame->GetDeviceList()[0];
    EXPECT_EQ(Names(player), (std::vector<wxString>{"a", "b", "c"}));
    // The user switches a channel off; closing the player stores its settings.
    player->SetVisibleChannels({0, 2});
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
    ASSERT_TRUE(frame->QuitDevice(player));
    ASSERT_EQ(frame->GetDeviceCount(), 0);

    ASSERT_TRUE(frame->OpenRecordingFile(second));
    ASSERT_EQ(frame->GetDeviceCount(), 1);
    player = frame->GetDeviceList()[0];
    EXPECT_EQ(Names(player), (std::vector<wxString>{"Fx", "Channel #1", "Fz", "Mx"}));
    EXPECT_EQ(player->GetVisibleList(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(frame->m_errorsText->GetValue().empty()) << frame->m_errorsText->GetValue();
}

TEST_F(FrameOpenRecordingTest, RecordingThePlayerRefusesIsSaidWithItsNameAndTheReason)
{
    TrackerFrame* frame = MakeFrame();
    // Damaged: its frame count says 10 while 20 frames and a marked trailer follow.
    RecordMarkers marked;
    marked.codes = {1};
    marked.frames = {5};
    marked.labels = {"E1"};
    const std::string path = Record("damaged.qvd", {"a", "b"}, marked);
    {
        std::vector<uint8_t> bytes = ReadFileBytes(path);
        PutU64(bytes.data() + kRecordCountOffset, 10);
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    EXPECT_FALSE(frame->OpenRecordingFile(path));
    EXPECT_EQ(frame->GetDeviceCount(), 0);
    const wxString errors = frame->m_errorsText->GetValue();
    EXPECT_NE(errors.Find("Unable to open recording " + wxString(path) +
                          " : damaged: its header (10 frames of 2 x 1 values) does not match the "
                          "file's size and marker trailer"),
              wxNOT_FOUND)
        << errors;

    Bytes noChannels;
    noChannels.Header(99887755, 100.0, 0, 1, 5, 0).Raw(std::string(120, '\0'));
    const std::string empty = Path("empty.qvd").string();
    noChannels.Save(empty);
    EXPECT_FALSE(frame->OpenRecordingFile(empty));
    EXPECT_NE(frame->m_errorsText->GetValue().Find("Unable to open recording " + wxString(empty) +
                                                   " : channel count 0 out of range (1 to 65536)"),
              wxNOT_FOUND)
        << frame->m_errorsText->GetValue();
    EXPECT_EQ(frame->GetDeviceCount(), 0);
}

TEST_F(FrameOpenRecordingTest, RecordingReadInSpiteOfDamageIsNotedOnTheErrorsPage)
{
    TrackerFrame* frame = MakeFrame();
    const std::string path = Record("cut.qvd", {"a", "b"});
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    bytes.resize(bytes.size() - 8 - 16 * 5);  // the trailer and five frames lost in a copy
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(frame->OpenRecordingFile(path));
    RunEvents();  // the display timer or idle pass hands the note over
    EXPECT_EQ(frame->GetDeviceList()[0]->GetTotalFrames(), 15);
    EXPECT_NE(
        frame->m_errorsText->GetValue().Find(
            wxString(path) +
            " : the file ends early: its header announces 20 frames, it holds 15; no markers"),
        wxNOT_FOUND)
        << frame->m_errorsText->GetValue();
}

// "Error -1 opening com5" said neither the device file nor what was wrong with it.
TEST_F(FrameDeviceTest, ASatelPortThatCannotBeOpenedIsSaidWithItsDeviceFile)
{
    TrackerFrame* frame = MakeFrame();
    const std::string missing = Path("no-such-port").string();
    frame->m_satelComPort = missing;
    CLogCapture log;
    ChooseMenu(frame, ID_OPEN_SATEL);
    EXPECT_EQ(frame->GetDeviceCount(), 0);
    const std::string said = "Cannot open the SATEL board's port " + missing + ": " + missing + " does not exist";
    EXPECT_NE(log.Messages().at(0).find(said), std::string::npos) << log.Messages().at(0);
}
