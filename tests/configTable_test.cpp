#include "configTable.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/sstream.h>

#include <cstdint>
#include <memory>
#include <string>

namespace {

std::unique_ptr<wxFileConfig> ConfigFrom(const char* text)
{
    wxStringInputStream stream(wxString::FromUTF8(text));
    return std::make_unique<wxFileConfig>(stream);
}

// A few variables of every kind, with the defaults they start from.
struct Vars {
    bool flag = true;
    int count = 7;
    int wii = 3;
    int maxDevices = 1;
    int interval = 0;
    int64_t intervalMs = 40;
    double eps = 0.05;
    float range = 36.0f;
    wxString port = "com1";
    std::string name = "/AnalogServer";

    std::vector<ConfigVar> Table()
    {
        return {
            {"/A/flag", &flag, {}},
            {"/A/count", &count, {}},
            {"/A/wii", &wii, ConfigIntRule::Replace(1, INT32_MAX, 1)},
            {"/A/max", &maxDevices, ConfigIntRule::Replace(1, 4, 1)},
            {"/B/interval", &intervalMs, ConfigIntRule::Keep(1, 1000)},
            {"/B/eps", &eps, {}},
            {"/B/range", &range, {}},
            {"/B/port", &port, {}},
            {"/B/name", &name, {}},
        };
    }
};

TEST(ConfigTableTest, RoundTripKeepsEveryValue)
{
    Vars written;
    written.flag = false;
    written.count = -12;
    written.wii = 9;
    written.maxDevices = 4;
    written.intervalMs = 33;
    written.eps = 0.125;
    written.range = 72.0f;
    written.port = wxString::FromUTF8("/dev/ttyUSB0 é");
    written.name = "/Serveur\xc3\xa9";
    wxFileConfig config(wxEmptyString, wxEmptyString, wxEmptyString, wxEmptyString, 0);
    ASSERT_TRUE(WriteConfigVars(config, written.Table()));

    Vars read;
    const auto table = read.Table();
    for (const char* group : {"/A/", "/B/"}) ReadConfigGroup(config, table, group);
    EXPECT_EQ(read.flag, written.flag);
    EXPECT_EQ(read.count, written.count);
    EXPECT_EQ(read.wii, written.wii);
    EXPECT_EQ(read.maxDevices, written.maxDevices);
    EXPECT_EQ(read.intervalMs, written.intervalMs);
    EXPECT_DOUBLE_EQ(read.eps, written.eps);
    EXPECT_FLOAT_EQ(read.range, written.range);
    EXPECT_EQ(read.port, written.port);
    EXPECT_EQ(read.name, written.name);
}

TEST(ConfigTableTest, MissingAndUnreadableValuesKeepDefaults)
{
    auto config = ConfigFrom(
        "[A]\nflag=yes\ncount=12abc\nwii=99999999999\n"
        "[B]\ninterval=\neps=nan\nrange=1e300\n");
    Vars vars;
    const auto table = vars.Table();
    ReadConfigGroup(*config, table, "/A/");
    ReadConfigGroup(*config, table, "/B/");
    const Vars defaults;
    EXPECT_EQ(vars.flag, defaults.flag);
    EXPECT_EQ(vars.count, defaults.count);
    EXPECT_EQ(vars.wii, defaults.wii);  // beyond 32 bits is unreadable, not wrapped
    EXPECT_EQ(vars.intervalMs, defaults.intervalMs);
    EXPECT_DOUBLE_EQ(vars.eps, defaults.eps);
    EXPECT_FLOAT_EQ(vars.range, defaults.range);
    EXPECT_EQ(vars.port, defaults.port);
    EXPECT_EQ(vars.name, defaults.name);
}

TEST(ConfigTableTest, RulesReplaceOrKeepOutOfRangeValues)
{
    const struct {
        const char* text;
        int wii, maxDevices;
        int64_t interval;
    } cases[] = {
        {"[A]\nwii=0\nmax=0\n[B]\ninterval=0\n", 1, 1, 40},
        {"[A]\nwii=-2\nmax=5\n[B]\ninterval=-40\n", 1, 1, 40},
        {"[A]\nwii=1\nmax=4\n[B]\ninterval=1000\n", 1, 4, 1000},
        {"[A]\nwii=12\nmax=1\n[B]\ninterval=1\n", 12, 1, 1},
    };
    for (const auto& c : cases) {
        auto config = ConfigFrom(c.text);
        Vars vars;
        const auto table = vars.Table();
        ReadConfigGroup(*config, table, "/A/");
        ReadConfigGroup(*config, table, "/B/");
        EXPECT_EQ(vars.wii, c.wii) << c.text;
        EXPECT_EQ(vars.maxDevices, c.maxDevices) << c.text;
        EXPECT_EQ(vars.intervalMs, c.interval) << c.text;
    }
}

TEST(ConfigTableTest, WideIntegerIsWrittenAsItsLow32Bits)
{
    int64_t interval = (int64_t{1} << 32) + 25;
    wxFileConfig config(wxEmptyString, wxEmptyString, wxEmptyString, wxEmptyString, 0);
    ASSERT_TRUE(WriteConfigVar(config, {"/View/i", &interval, {}}));
    long stored = 0;
    ASSERT_TRUE(config.Read("/View/i", &stored));
    EXPECT_EQ(stored, 25);
}

TEST(ConfigTableTest, ListSkipsEmptyEntriesAndKeepsOrder)
{
    auto config = ConfigFrom("[L]\ncount=3\nid_0=first\nid_1=\nid_2=third\nid_3=stale\n");
    const auto entries = ReadConfigList(*config, "/L/count", "/L/id_%d");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], "first");
    EXPECT_EQ(entries[1], "third");

    // Saving writes the compacted list and leaves the stale tail where it was.
    ASSERT_TRUE(WriteConfigList(*config, "/L/count", "/L/id_%d", entries));
    EXPECT_EQ(config->ReadLong("/L/count", -1), 2);
    EXPECT_EQ(config->Read("/L/id_1"), "third");
    EXPECT_EQ(config->Read("/L/id_2"), "third");
    EXPECT_EQ(ReadConfigList(*config, "/L/count", "/L/id_%d").size(), 2u);
}

TEST(ConfigTableTest, DamagedListCountNeitherStallsNorReadsNegative)
{
    auto huge = ConfigFrom("[L]\ncount=2000000000\nid_0=a\n");
    EXPECT_EQ(ReadConfigEntries(*huge, "/L/count", "/L/id_%d").size(),
              static_cast<size_t>(kMaxConfigListEntries));
    EXPECT_EQ(ReadConfigList(*huge, "/L/count", "/L/id_%d").size(), 1u);
    auto negative = ConfigFrom("[L]\ncount=-4\nid_0=a\n");
    EXPECT_TRUE(ReadConfigList(*negative, "/L/count", "/L/id_%d").empty());
    auto missing = ConfigFrom("[L]\nid_0=a\n");
    EXPECT_TRUE(ReadConfigList(*missing, "/L/count", "/L/id_%d").empty());
}

TEST(ConfigTableTest, PerspectiveSwapsEqualsAndColons)
{
    const wxString layout = "layout2|name=MAINBOOK;caption=;dir=5|dock_size(5,0,0)=22|";
    const wxString stored = PerspectiveToConfig(layout);
    EXPECT_EQ(stored.Find('='), wxNOT_FOUND);
    EXPECT_EQ(PerspectiveFromConfig(stored), layout);
    EXPECT_EQ(PerspectiveFromConfig("a:b"), "a=b");
}

}  // namespace
