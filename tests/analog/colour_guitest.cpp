#include "analog/colour.h"

#include <gtest/gtest.h>
#include <wx/colour.h>
#include <wx/gdicmn.h>

namespace {

// The core keeps its own copy of the colour database; it must agree with the
// toolkit's, which wrote the colour texts of existing configuration files.
TEST(ColourDatabaseTest, CoreTableMatchesTheToolkit)
{
    // The toolkit's own database learns every name parsed in the process (the first to
    // take a colour then names it), so the names come from an untouched copy.
    wxColourDatabase pristine;
    for (int i = 0; i < kPaletteSize; ++i) {
        const wxColour expected = wxTheColourDatabase->Find(PaletteName(i));
        CColour ours;
        const bool known = FindColourByName(PaletteName(i), ours);
        ASSERT_EQ(known, expected.IsOk()) << PaletteName(i);
        if (!known) continue;
        EXPECT_EQ(ours, CColour(expected.Red(), expected.Green(), expected.Blue()))
            << PaletteName(i);
        EXPECT_EQ(ColourToString(ours), pristine.FindName(expected).Lower()) << PaletteName(i);
    }
}

// Names are left out: on GTK the toolkit parses them with the system table.
TEST(ColourDatabaseTest, TextFormsMatchTheToolkit)
{
    for (const char* text : {"#FF8000", "rgb(1, 2, 3)", "rgba(10, 20, 30, 0.5)",
                             "garbage", "MIDNIGHT"}) {
        wxColour expected;
        const bool toolkitParsed = expected.Set(text);
        CColour ours;
        ASSERT_EQ(ParseColour(text, ours), toolkitParsed) << text;
        if (!toolkitParsed) continue;
        EXPECT_EQ(ours, CColour(expected.Red(), expected.Green(), expected.Blue(), expected.Alpha()))
            << text;
        EXPECT_EQ(ColourToString(ours), expected.GetAsString(wxC2S_NAME | wxC2S_CSS_SYNTAX)) << text;
    }
}

}  // namespace
