#include "GLcanvas/canvasSettings.h"

#include "support/tempDir.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>

#include <clocale>
#include <cstring>
#include <memory>
#include <string>

namespace {

class CanvasSettingsTest : public TempDirTest {
protected:
    std::unique_ptr<wxFileConfig> OpenConfig()
    {
        const wxString path = Path("qv.cfg").string();
        return std::make_unique<wxFileConfig>("qv", "qv", path, "", wxCONFIG_USE_LOCAL_FILE);
    }
    // The configuration file holding exactly these entries, opened afresh.
    std::unique_ptr<wxFileConfig> ConfigWith(
        std::initializer_list<std::pair<const char*, const char*>> entries)
    {
        {
            auto config = OpenConfig();
            for (const auto& entry : entries) config->Write(entry.first, wxString(entry.second));
            config->Flush();
        }
        return OpenConfig();
    }
};

void ExpectSameSettings(const CCanvasSettings& a, const CCanvasSettings& b)
{
    EXPECT_EQ(a.m_flags.smooth, b.m_flags.smooth);
    EXPECT_EQ(a.m_flags.wire, b.m_flags.wire);
    EXPECT_EQ(a.m_flags.multisampling, b.m_flags.multisampling);
    EXPECT_EQ(a.m_renderWidth, b.m_renderWidth);
    EXPECT_EQ(a.m_renderHeight, b.m_renderHeight);
    EXPECT_EQ(a.m_orientation, b.m_orientation);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) {
            EXPECT_FLOAT_EQ(a.m_lights[i].position[j], b.m_lights[i].position[j]);
            EXPECT_FLOAT_EQ(a.m_lights[i].colour[j], b.m_lights[i].colour[j]);
        }
    for (int j = 0; j < 3; ++j) {
        EXPECT_FLOAT_EQ(a.m_background[j], b.m_background[j]);
        EXPECT_FLOAT_EQ(a.m_plane.colour[j], b.m_plane.colour[j]);
        EXPECT_FLOAT_EQ(a.m_plane.position[j], b.m_plane.position[j]);
    }
    EXPECT_FLOAT_EQ(a.m_plane.size, b.m_plane.size);
    EXPECT_EQ(a.m_plane.kind, b.m_plane.kind);
    EXPECT_EQ(a.m_plane.gridCount, b.m_plane.gridCount);
    EXPECT_EQ(a.m_plane.visible, b.m_plane.visible);
    EXPECT_EQ(a.m_plane.showAxes, b.m_plane.showAxes);
    EXPECT_EQ(a.m_plane.autoCalc, b.m_plane.autoCalc);
    EXPECT_FLOAT_EQ(a.m_plane.axisSize, b.m_plane.axisSize);
}

// Every field the file keeps set away from its default.
void Scramble(CCanvasSettings& s)
{
    s.m_flags = {true, false, true, true, false};
    s.m_renderWidth = 640;
    s.m_renderHeight = 480;
    s.m_orientation = 3;
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) {
            s.m_lights[i].position[j] = 1.5f * (i + 1) + j;
            s.m_lights[i].colour[j] = 0.1f * (j + 1) + 0.05f * i;
        }
    for (int j = 0; j < 3; ++j) {
        s.m_background[j] = 0.11f * (j + 1);
        s.m_plane.colour[j] = 0.21f * (j + 1);
        s.m_plane.position[j] = -0.7f * (j + 1);
    }
    s.m_plane.size = 7.25f;
    s.m_plane.kind = 2;
    s.m_plane.gridCount = 33;
    s.m_plane.visible = false;
    s.m_plane.showAxes = false;
    s.m_plane.autoCalc = false;
    s.m_plane.axisSize = 1.75f;
}

}  // namespace

TEST_F(CanvasSettingsTest, FreshSettingsHoldTheCanvasDefaults)
{
    const CCanvasSettings s;
    EXPECT_TRUE(s.m_flags.smooth);
    EXPECT_FALSE(s.m_flags.wire);
    EXPECT_TRUE(s.m_flags.multisampling);
    EXPECT_FALSE(s.m_flags.initialised);
    EXPECT_EQ(s.m_fogMode, -1);
    EXPECT_FLOAT_EQ(s.m_farValue, 1000.0f);
    EXPECT_EQ(s.m_homeEye, CVector3(0, -4, 1));
    EXPECT_EQ(s.m_homeCentre, CVector3(0, 0, 0.5));
    EXPECT_FLOAT_EQ(s.m_plane.size, 4.0f);
    EXPECT_EQ(s.m_plane.gridCount, 20);
    EXPECT_TRUE(s.m_plane.autoCalc);
    EXPECT_FLOAT_EQ(s.m_background[2], 0.5f);
}

TEST_F(CanvasSettingsTest, SavedSettingsLoadIntoAnotherCanvas)
{
    CCanvasSettings saved;
    saved.m_renderWidth = 321;
    saved.m_renderHeight = 123;
    {
        auto config = OpenConfig();
        saved.SaveCanvasConfig(*config);
        config->Flush();
    }
    auto config = OpenConfig();
    EXPECT_TRUE(config->HasEntry("/3DCanvas/plane_visble"));
    EXPECT_TRUE(config->HasEntry("/3DCanvas/light_1_color_2"));
    EXPECT_FALSE(config->HasEntry("/3DCanvas/light_1_color_3"));
    EXPECT_EQ(config->Read("/3DCanvas/plane_axis_size"), "0.5");

    CCanvasSettings loaded;
    Scramble(loaded);
    loaded.LoadCanvasConfig(*config);
    ExpectSameSettings(saved, loaded);

    // And the other way: every scrambled value survives too.
    CCanvasSettings other;
    Scramble(other);
    other.SaveCanvasConfig(*config);
    CCanvasSettings back;
    back.LoadCanvasConfig(*config);
    ExpectSameSettings(other, back);
}

TEST_F(CanvasSettingsTest, MissingKeysLeaveEveryValueInForce)
{
    auto config = OpenConfig();
    CCanvasSettings expected;
    Scramble(expected);
    CCanvasSettings loaded;
    Scramble(loaded);
    loaded.LoadCanvasConfig(*config);
    ExpectSameSettings(expected, loaded);
}

TEST_F(CanvasSettingsTest, BadValuesKeepDefaultsOrTakeTheirRule)
{
    struct Case {
        const char* size;
        float expected;
    };
    // Not above 0 becomes 1; text that is no finite number keeps the size.
    for (const Case& c : {Case{"0", 1.0f}, Case{"-2", 1.0f}, Case{"abc", 7.25f},
                          Case{"nan", 7.25f}, Case{"inf", 7.25f}, Case{"", 7.25f},
                          Case{"2.5", 2.5f}}) {
        auto config = ConfigWith({{"/3DCanvas/plane_size", c.size}});
        CCanvasSettings s;
        s.m_plane.size = 7.25f;
        s.LoadCanvasConfig(*config);
        EXPECT_FLOAT_EQ(s.m_plane.size, c.expected) << "stored \"" << c.size << "\"";
    }
    auto config = ConfigWith({{"/3DCanvas/plane_visble", "256"},
                              {"/3DCanvas/plane_show_axis", "1"},
                              {"/3DCanvas/light_0_color_0", "x0.3"},
                              {"/3DCanvas/light_0_color_1", "0.125"},
                              {"/3DCanvas/plane_grid", "-4"},
                              {"/3DCanvas/render_w", "wide"},
                              {"/3DCanvas/smooth", "maybe"}});
    CCanvasSettings s;
    s.m_lights[0].colour[3] = 0.5f;
    s.m_plane.showAxes = false;
    s.m_renderWidth = 99;
    s.LoadCanvasConfig(*config);
    EXPECT_FALSE(s.m_plane.visible);  // low 8 bits of 256
    EXPECT_TRUE(s.m_plane.showAxes);
    EXPECT_FLOAT_EQ(s.m_lights[0].colour[0], 0.7f);  // unreadable: kept
    EXPECT_FLOAT_EQ(s.m_lights[0].colour[1], 0.125f);
    EXPECT_FLOAT_EQ(s.m_lights[0].colour[3], 0.5f);  // alpha is never stored
    EXPECT_EQ(s.m_plane.gridCount, -4);              // taken as read...
    EXPECT_EQ(CCanvasSettings::DrawnGridCount(s.m_plane.gridCount), 0);  // ...drawn as none
    EXPECT_EQ(s.m_renderWidth, 99);
    EXPECT_TRUE(s.m_flags.smooth);
}

TEST_F(CanvasSettingsTest, HugeGridCountIsDrawnBounded)
{
    auto config = ConfigWith({{"/3DCanvas/plane_grid", "2000000000"}});
    CCanvasSettings s;
    s.LoadCanvasConfig(*config);
    EXPECT_EQ(s.m_plane.gridCount, 2000000000);
    EXPECT_EQ(CCanvasSettings::DrawnGridCount(s.m_plane.gridCount), CCanvasSettings::kMaxDrawnGrid);
    EXPECT_EQ(CCanvasSettings::DrawnGridCount(20), 20);
}

TEST_F(CanvasSettingsTest, PointDecimalReadsUnderACommaLocale)
{
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    const char* names[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE.utf8", "fr_FR.utf8"};
    bool switched = false;
    for (const char* name : names)
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            switched = true;
            break;
        }
    if (!switched)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    auto config = ConfigWith({{"/3DCanvas/plane_axis_size", "0.25"}});
    CCanvasSettings s;
    s.LoadCanvasConfig(*config);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_FLOAT_EQ(s.m_plane.axisSize, 0.25f);
}

TEST(CanvasSettings, UnderPlaneColourMovesAwayFromTheBackground)
{
    float out[4];
    const float dark[4] = {0.2f, 0.3f, 0.5f, 1.0f};
    CCanvasSettings::UnderPlaneColour(dark, out);
    EXPECT_NEAR(out[0], 0.0f, 1e-6);
    EXPECT_NEAR(out[1], 0.1f, 1e-6);
    EXPECT_NEAR(out[2], 0.3f, 1e-6);
    EXPECT_FLOAT_EQ(out[3], 0.5f);
    const float light[4] = {0.9f, 0.9f, 0.9f, 1.0f};
    CCanvasSettings::UnderPlaneColour(light, out);
    EXPECT_FLOAT_EQ(out[0], 1.0f);
    EXPECT_FLOAT_EQ(out[2], 1.0f);
    const float middle[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    CCanvasSettings::UnderPlaneColour(middle, out);
    EXPECT_NEAR(out[1], 0.7f, 1e-6);
}

TEST(CanvasSettings, ReadCanvasDoubleWithoutConfigGivesZero)
{
    EXPECT_EQ(ReadCanvasDouble(nullptr, "/3DCanvas/plane_size", 3.0), 0.0);
}
