#include "analog/analogViewSettings.h"

#include "support/tempDir.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/log.h>

namespace {

class AnalogViewSettingsTest : public TempDirTest {
protected:
    std::unique_ptr<wxFileConfig> Config(const std::string& text)
    {
        const auto path = Path("view.ini");
        FILE* file = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), file);
        std::fclose(file);
        return std::make_unique<wxFileConfig>("", "", path.string(), "",
                                              wxCONFIG_USE_LOCAL_FILE);
    }
    const wxString m_group = CAnalogViewSettings::GroupPath("test_device");
};

}  // namespace

TEST_F(AnalogViewSettingsTest, GroupIsPerDeviceKey)
{
    EXPECT_EQ(CAnalogViewSettings::GroupPath(""), "/Analog/AnalogView");
    EXPECT_EQ(m_group, "/Analog/AnalogView/test_device");
}

TEST_F(AnalogViewSettingsTest, OutOfRangeValuesLoadTheirDefaults)
{
    wxLogNull quiet;
    auto config = Config("[Analog/AnalogView/test_device]\ngrad_x=0\ngrad_y=101\n"
                         "draw_time=0.05\ndraw_type=6\ndsp_max_rate=80\ndsp_normalize=0\n");
    CAnalogViewSettings s;
    s.dsp_normalize = true;
    s.LoadSettings(*config, m_group, 100.0);
    EXPECT_EQ(s.grad_x, 10);
    EXPECT_EQ(s.grad_y, 10);
    EXPECT_DOUBLE_EQ(s.draw_time, 5.0);
    EXPECT_EQ(s.draw_type, 0);
    EXPECT_DOUBLE_EQ(s.dsp_max_rate, 50.0);
    EXPECT_TRUE(s.dsp_use_db);  // missing: 1
    EXPECT_FALSE(s.dsp_normalize);
    // A number beyond 32 bits is out of range, not its low half (1, a Hann window).
    s.dps_window = 2;
    config = Config("[Analog/AnalogView/test_device]\ndps_window=4294967297\n");
    s.LoadSettings(*config, m_group, 100.0);
    EXPECT_EQ(s.dps_window, 2);
    config = Config("[Analog/AnalogView/test_device]\ndraw_time=2000\ndraw_type=-1\n");
    s.LoadSettings(*config, m_group, 100.0);
    EXPECT_DOUBLE_EQ(s.draw_time, 5.0);
    EXPECT_EQ(s.draw_type, 0);
    EXPECT_DOUBLE_EQ(s.dsp_max_rate, 50.0);  // missing: rate / 2
}

TEST_F(AnalogViewSettingsTest, MissingKeysLeaveTheUnchangedOnesAlone)
{
    auto config = Config("");
    CAnalogViewSettings s;
    s.draw_type = 3;
    s.dps_window = 1;
    s.dsp_size = 512;
    s.dsp_normalize = false;
    s.LoadSettings(*config, m_group, 25.0);
    EXPECT_EQ(s.draw_type, 3);
    EXPECT_EQ(s.dps_window, 1);
    EXPECT_EQ(s.dsp_size, 512u);
    EXPECT_FALSE(s.dsp_normalize);
    EXPECT_TRUE(s.draw_poly_gradient);
}

TEST_F(AnalogViewSettingsTest, SpectrumSizeOutsideItsLimitsIsRefused)
{
    wxLogNull quiet;
    for (const char* bad : {"-1", "7", "65537", "4294967295"}) {
        auto config = Config(std::string("[Analog/AnalogView/test_device]\ndsp_size=") + bad + "\n");
        CAnalogViewSettings s;
        s.dsp_size = 1024;
        s.LoadSettings(*config, m_group, 100.0);
        EXPECT_EQ(s.dsp_size, CAnalogViewSettings::kDefaultDspSize) << bad;
    }
    auto config = Config("[Analog/AnalogView/test_device]\ndsp_size=8\n");
    CAnalogViewSettings s;
    s.LoadSettings(*config, m_group, 100.0);
    EXPECT_EQ(s.dsp_size, 8u);
}

TEST_F(AnalogViewSettingsTest, SaveThenLoadKeepsEverySetting)
{
    CAnalogViewSettings saved;
    saved.grad_x = 7;
    saved.grad_y = 3;
    saved.auto_reset = true;
    saved.draw_type = 5;
    saved.draw_poly = true;
    saved.draw_poly_gradient = false;
    saved.dsp_size = 1024;
    saved.dps_window = 1;
    saved.dsp_clear_mean = true;
    saved.dsp_use_db = false;
    saved.dsp_use_stat = true;
    saved.dsp_normalize = false;
    saved.dsp_max_rate = 12.5;
    saved.draw_time = 2.5;
    saved.bk_color = CColour(10, 20, 30);
    saved.frame_color = CColour(1, 2, 3);
    saved.grid_color = CColour(4, 5, 6);
    saved.analog_color = CColour(7, 8, 9);
    saved.zero_color = CColour(250, 251, 252);
    saved.SetEllipseColour(CColour(200, 100, 50));
    auto config = Config("");
    saved.SaveSettings(*config, m_group);
    // The misspelt key is the one stored.
    EXPECT_TRUE(config->HasEntry(m_group + "/dps_window"));
    EXPECT_FALSE(config->HasEntry(m_group + "/dsp_window"));
    CAnalogViewSettings loaded;
    loaded.LoadSettings(*config, m_group, 100.0);
    EXPECT_EQ(loaded.grad_x, 7);
    EXPECT_EQ(loaded.grad_y, 3);
    EXPECT_TRUE(loaded.auto_reset);
    EXPECT_EQ(loaded.draw_type, 5);
    EXPECT_TRUE(loaded.draw_poly);
    EXPECT_FALSE(loaded.draw_poly_gradient);
    EXPECT_EQ(loaded.dsp_size, 1024u);
    EXPECT_EQ(loaded.dps_window, 1);
    EXPECT_TRUE(loaded.dsp_clear_mean);
    EXPECT_FALSE(loaded.dsp_use_db);
    EXPECT_TRUE(loaded.dsp_use_stat);
    EXPECT_FALSE(loaded.dsp_normalize);
    EXPECT_DOUBLE_EQ(loaded.dsp_max_rate, 12.5);
    EXPECT_DOUBLE_EQ(loaded.draw_time, 2.5);
    EXPECT_EQ(loaded.bk_color, CColour(10, 20, 30));
    EXPECT_EQ(loaded.frame_color, CColour(1, 2, 3));
    EXPECT_EQ(loaded.grid_color, CColour(4, 5, 6));
    EXPECT_EQ(loaded.analog_color, CColour(7, 8, 9));
    EXPECT_EQ(loaded.zero_color, CColour(250, 251, 252));
    EXPECT_EQ(loaded.ellipse_color, CColour(200, 100, 50, 128));
    EXPECT_EQ(config->Read(m_group + "/bk_color", ""), "rgb(10, 20, 30)");
}

TEST_F(AnalogViewSettingsTest, ColoursLoadOnlyWhenValidAndEllipseStaysTranslucent)
{
    auto config = Config("[Analog/AnalogView/test_device]\nbk_color=no such colour\n"
                         "grid_color=rgb(1, 2, 3)\nellipse_color=rgb(9, 8, 7)\n");
    CAnalogViewSettings s;
    s.LoadSettings(*config, m_group, 100.0);
    EXPECT_EQ(s.bk_color, CColour(0, 0, 0));
    EXPECT_EQ(s.grid_color, CColour(1, 2, 3));
    EXPECT_EQ(s.ellipse_color, CColour(9, 8, 7, 128));
    EXPECT_EQ(s.frame_color, CColour(0, 128, 0));
}
