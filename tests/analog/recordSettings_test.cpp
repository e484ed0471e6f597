#include "analog/recordSettings.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>

#include "analog/recordFormat.h"
#include "support/tempDir.h"

class RecordSettingsTest : public TempDirTest {};

TEST_F(RecordSettingsTest, KeysAsStoredAndTheirDefaults)
{
    const RecordingSettings defaults = LoadRecordingSettings(nullptr);
    EXPECT_TRUE(defaults.useThread);
    EXPECT_EQ(defaults.queueDepth, 100);
    EXPECT_EQ(defaults.priority, 1);
    EXPECT_EQ(defaults.maxTimeSec, 0.0);

    wxFileConfig config("test", "test", Path("q.cfg").string(), "", wxCONFIG_USE_LOCAL_FILE);
    config.Write("/Capture/Capture_use_thread", false);
    config.Write("/Capture/Capture_queue_depth", 500);
    config.Write("/Capture/Capture_priority", 2);
    config.Write("/Capture/Capture_max_time", 12.5);
    config.Write("/Capture/Use_Text_Header", false);
    config.Write("/Capture/Use_Text_Time", false);
    const RecordingSettings settings = LoadRecordingSettings(&config);
    EXPECT_FALSE(settings.useThread);
    EXPECT_EQ(settings.queueDepth, 500);
    EXPECT_EQ(settings.priority, 2);
    EXPECT_EQ(settings.maxTimeSec, 12.5);
    EXPECT_FALSE(g_Use_Text_Header.load());
    EXPECT_FALSE(g_Use_Text_Time.load());
    // The queue depth is held to what a writer can use, a huge number included.
    for (const auto& depth :
         {std::make_pair("2147483647", 100000), std::make_pair("4294967297", 100000),
          std::make_pair("-5", 30), std::make_pair("10", 30)}) {
        config.Write("/Capture/Capture_queue_depth", wxString(depth.first));
        EXPECT_EQ(LoadRecordingSettings(&config).queueDepth, depth.second) << depth.first;
    }
    LoadRecordingSettings(nullptr);
    EXPECT_TRUE(g_Use_Text_Header.load());
    EXPECT_TRUE(g_Use_Text_Time.load());
}
