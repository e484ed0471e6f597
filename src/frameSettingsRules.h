#pragma once

// What the settings grid may store: for each property name the configuration
// key it edits and the check its value passes first, and the choice lists the
// grid shows. Display-free; the main frame applies the effects. GUI thread.

#include <wx/arrstr.h>
#include <wx/string.h>

#include "configTable.h"

class wxVariant;

enum class SettingCheck {
    None,            // stored as given
    AtLeast,         // below low stores low
    ReplaceOutside,  // outside [low, high] stores replacement
    KeepOutside,     // outside [low, high] stores nothing
    Absolute,        // stores the absolute value
    BaudChoice,      // choice index to a baud rate; other indexes store nothing
    RangeChoice,     // choice index to a Flock of Birds range; other indexes store nothing
    ComPortChoice,   // choice index to a port name; other indexes store an empty name
    NotEmpty,        // an empty text stores nothing
    Tolerance,       // 0 <= v < 1000; otherwise nothing is stored
    NonNegative,     // a finite number of 0 or more; anything else stores nothing
    Port,            // 1 to 65535; anything else stores nothing, said
    Countdown,       // a finite number of seconds, 0 to an hour; anything else stores nothing, said
    AboveOther,      // a finite number above the variable of otherKey; else nothing, said
    BelowOther,      // a finite number below the variable of otherKey; else nothing, said
};

struct SettingRule {
    const char* name;  // property name in the grid, never translated
    const char* key;   // configuration key of the variable it edits
    SettingCheck check;
    long low;
    long high;
    long replacement;
    const char* otherKey = nullptr;  // AboveOther, BelowOther: the bound's variable
};

// The rule of a property name (exact, case-sensitive), or null.
const SettingRule* FindSettingRule(const wxString& name);

// Applies the rule to the grid's value and stores the result into the variable.
// False when nothing was stored. Integers are taken 32-bit, saturated, so that a
// huge typed number cannot wrap into the accepted range.
// other: the variable of rule.otherKey (a double), for the checks that compare with it.
bool StoreSettingValue(const SettingRule& rule, const ConfigVar& var, const wxVariant& value,
                       const ConfigVar* other = nullptr);
// For a value the rule refused, the sentence that tells the user why and that the
// setting is kept; empty for the checks that refuse silently. other as above.
wxString SettingRefusal(const SettingRule& rule, const ConfigVar* other = nullptr);

// Choice lists of the grid and the choice that shows a stored value.
const wxArrayString& BaudChoiceLabels();
int BaudFromChoice(int index);  // 0 for an index outside the list
int ChoiceFromBaud(long baud);  // -1 when no entry matches
const wxArrayString& FobRangeChoiceLabels();
double FobRangeFromChoice(int index);  // 0 for an index outside the list
int ChoiceFromFobRange(float range);   // -1 when no entry matches
int ChoiceFromComPort(const wxString& port, const wxArrayString& names);  // 0 when none
