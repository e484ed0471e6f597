#include "analog/analogDevice.h"
#include "analog/testDevice.h"

#include "analog/plainDevice.h"
#include "support/tempDir.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/log.h>

#include <memory>

namespace {

// Collects what is logged while it lives.
class CLogCatcher : public wxLog {
public:
    CLogCatcher() : m_previous(wxLog::SetActiveTarget(this)) {}
    ~CLogCatcher() override { wxLog::SetActiveTarget(m_previous); }
    wxString text;
    int warnings = 0;
    int errors = 0;

protected:
    void DoLogRecord(wxLogLevel level, const wxString& message, const wxLogRecordInfo&) override
    {
        text += message + "\n";
        if (level == wxLOG_Warning) ++warnings;
        if (level == wxLOG_Error) ++errors;
    }

private:
    wxLog* m_previous;
};

class AnalogConfigTest : public TempDirTest {
protected:
    std::unique_ptr<wxFileConfig> OpenConfig()
    {
        const wxString path = Path("qv.cfg").string();
        return std::make_unique<wxFileConfig>("qv", "qv", path, "", wxCONFIG_USE_LOCAL_FILE);
    }
    // Writes the given lines as the configuration file.
    std::unique_ptr<wxFileConfig> ConfigWith(std::initializer_list<std::pair<const char*, const char*>> entries)
    {
        auto config = OpenConfig();
        for (const auto& entry : entries) config->Write(entry.first, wxString(entry.second));
        config->Flush();
        return OpenConfig();
    }
};

TEST_F(AnalogConfigTest, RoundTripKeepsFlagsNamesAndColours)
{
    {
        CPlainDevice device(4);
        bool changed = false;
        const uint8_t off = 0;
        ASSERT_TRUE(device.SetParam(&off, 1, 1, PARAM_BOOL, &changed));
        ASSERT_TRUE(device.SetChannelName(2, wxString::FromUTF8("Pression \xc3\xa9")));
        ASSERT_TRUE(device.SetChannelColour(3, CColour(1, 2, 3)));
        auto config = OpenConfig();
        ASSERT_TRUE(device.SaveConfig(config.get()));
        config->Flush();
    }
    auto config = OpenConfig();
    EXPECT_FALSE(config->ReadBool("/Analog/Plain/channel_on_1", true));
    EXPECT_TRUE(config->ReadBool("/Analog/Plain/channel_on_0", false));
    EXPECT_EQ(config->Read("/Analog/Plain/channel_color_0"), "red");
    EXPECT_EQ(config->Read("/Analog/Plain/channel_color_3"), "rgb(1, 2, 3)");
    EXPECT_EQ(config->Read("/Analog/Plain/channel_name_0"), "Channel #0");

    CPlainDevice loaded(4);
    ASSERT_TRUE(loaded.LoadConfig(config.get()));
    EXPECT_EQ(loaded.GetVisibleList(), std::vector<int>({0, 2, 3}));
    EXPECT_EQ(loaded.GetChannelName(2), wxString::FromUTF8("Pression \xc3\xa9"));
    EXPECT_EQ(loaded.GetChannelColour(3), CColour(1, 2, 3));
    EXPECT_EQ(loaded.GetChannelColour(0), CColour(255, 0, 0));
}

TEST_F(AnalogConfigTest, MissingGroupKeepsDefaults)
{
    auto config = OpenConfig();
    CPlainDevice device(3);
    ASSERT_TRUE(device.SetChannelName(1, "Kept"));
    ASSERT_TRUE(device.LoadConfig(config.get()));
    EXPECT_EQ(device.GetVisibleList(), std::vector<int>({0, 1, 2}));
    EXPECT_EQ(device.GetChannelName(1), "Kept");
    EXPECT_EQ(device.GetChannelColour(2), CColour(0, 255, 255));
}

TEST_F(AnalogConfigTest, AllChannelsOffIsRefusedWithAWarning)
{
    auto config = ConfigWith({{"/Analog/Plain/channel_on_0", "0"},
                              {"/Analog/Plain/channel_on_1", "0"},
                              {"/Analog/Plain/channel_on_2", "0"}});
    CPlainDevice device(3);
    CLogCatcher log;
    ASSERT_TRUE(device.LoadConfig(config.get()));
    EXPECT_EQ(device.GetVisibleList(), std::vector<int>({0, 1, 2}));
    EXPECT_EQ(device.GetEnabledChannelCount(), 3);
    EXPECT_EQ(log.warnings, 1);
}

TEST_F(AnalogConfigTest, UnparsableColourKeepsThePaletteDefault)
{
    auto config = ConfigWith({{"/Analog/Plain/channel_color_0", "not a colour"},
                              {"/Analog/Plain/channel_color_1", "#00ff00"},
                              {"/Analog/Plain/channel_color_2", "rgb(7, 8, 9)"}});
    CPlainDevice device(3);
    ASSERT_TRUE(device.LoadConfig(config.get()));
    EXPECT_EQ(device.GetChannelColour(0), CColour(255, 0, 0));
    EXPECT_TRUE(device.GetChannelColour(0).valid);
    EXPECT_EQ(device.GetChannelColour(1), CColour(0, 255, 0));
    EXPECT_EQ(device.GetChannelColour(2), CColour(7, 8, 9));
}

TEST_F(AnalogConfigTest, UnknownPaletteNamesRoundTripAsYellow)
{
    {
        CPlainDevice device(48);
        auto config = OpenConfig();
        ASSERT_TRUE(device.SaveConfig(config.get()));
        config->Flush();
    }
    auto config = OpenConfig();
    EXPECT_EQ(config->Read("/Analog/Plain/channel_color_21"), "yellow");
    EXPECT_EQ(config->Read("/Analog/Plain/channel_color_44"), "yellow");
    // A file that names them as the palette does still gives yellow.
    config->Write("/Analog/Plain/channel_color_21", "MIDNIGHT");
    config->Write("/Analog/Plain/channel_color_44", "BLUE, NAVY");
    CPlainDevice device(48);
    ASSERT_TRUE(device.LoadConfig(config.get()));
    EXPECT_EQ(device.GetChannelColour(21), CColour(255, 255, 0));
    EXPECT_EQ(device.GetChannelColour(44), CColour(255, 255, 0));
}

TEST_F(AnalogConfigTest, NamesAreWrittenButNotReadWhenNotSaved)
{
    auto config = ConfigWith({{"/Analog/Plain/channel_name_0", "FromFile"}});
    CPlainDevice device(2);
    device.SetSaveChannelNames(false);
    ASSERT_TRUE(device.LoadConfig(config.get()));
    EXPECT_EQ(device.GetChannelName(0), "Channel #0");
    ASSERT_TRUE(device.SaveConfig(config.get()));
    EXPECT_EQ(config->Read("/Analog/Plain/channel_name_0"), "Channel #0");
}

TEST_F(AnalogConfigTest, SaveWithoutAGroupReportsFailure)
{
    CPlainDevice device(2);
    device.SetConfigPath("");
    auto config = OpenConfig();
    CLogCatcher log;
    EXPECT_FALSE(device.SaveConfig(config.get()));
    EXPECT_NE(log.text.Find("Empty device key!"), wxNOT_FOUND);
    EXPECT_FALSE(config->HasGroup("/Analog"));
    EXPECT_TRUE(device.LoadConfig(config.get()));  // loading an empty group does nothing
    EXPECT_FALSE(device.SaveConfig(nullptr));
    EXPECT_FALSE(device.LoadConfig(nullptr));
    EXPECT_FALSE(device.SaveViewsConfig(nullptr));
}

}  // namespace

namespace {

TEST_F(AnalogConfigTest, TestDeviceParametersRoundTripWithinTheirLimits)
{
    {
        CTestDevice device(false, false);
        bool changed = false;
        const double amplitude = 8.0;
        const wxString name = "left_board";
        ASSERT_TRUE(device.SetParam(&amplitude, 1, 1, PARAM_DOUBLE, &changed));
        ASSERT_TRUE(device.SetParam(&name, 0, 1, PARAM_STRING, &changed));
        auto config = OpenConfig();
        ASSERT_TRUE(device.SaveConfig(config.get()));
        config->Flush();
    }
    auto config = OpenConfig();
    EXPECT_EQ(config->Read("/Analog/Test_device/DeviceName"), "left_board");
    EXPECT_DOUBLE_EQ(config->ReadDouble("/Analog/Test_device/Amplitude", 0.0), 8.0);
    EXPECT_EQ(config->ReadLong("/Analog/Test_device/CP Stat Level", -1), 4);
    EXPECT_TRUE(config->HasEntry("/Analog/Test_device/Show CP stat"));
    {
        CTestDevice device(false, false);
        ASSERT_TRUE(device.LoadConfig(config.get()));
        EXPECT_EQ(device.GetDeviceName(), "left_board");
        EXPECT_DOUBLE_EQ(device.GetMaxValue(), 8.0);
    }
    // A value beyond the device's limits in the file is refused on load.
    config->Write("/Analog/Test_device/Amplitude", 50.0);
    config->Write("/Analog/Test_device/DeviceName", "");
    CTestDevice device(false, false);
    {
        wxLogNull quiet;
        ASSERT_TRUE(device.LoadConfig(config.get()));
    }
    EXPECT_DOUBLE_EQ(device.GetMaxValue(), 5.0);
    EXPECT_EQ(device.GetDeviceName(), "test_device");
}

}  // namespace
