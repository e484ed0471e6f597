#pragma once

// Value type of a device parameter, as GetParam reports and SetParam expects.
// The codes are stored nowhere but keep their numbers for the property grid.
enum ParamType : int {
    PARAM_NONE = 0,    // no value
    PARAM_BOOL = 1,    // one byte, 0 or 1
    PARAM_INT = 2,     // int32_t
    PARAM_DOUBLE = 3,  // double
    PARAM_CHOICE = 4,  // int32_t index into the choice labels
    PARAM_STRING = 5,  // wxString
};
