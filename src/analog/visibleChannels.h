#pragma once

#include <wx/string.h>

#include <cstdint>
#include <memory>
#include <vector>

// A device's visible channels as one shape: the channel of each entry with its name and
// unit, and a number that changes whenever the list of channels does, so that a reader
// can tell the rows of one shape from the next. Made whole, then only read: any thread
// may hold one.
struct CVisibleChannels {
    std::vector<int> channels;
    std::vector<wxString> names;
    std::vector<wxString> units;
    uint64_t shape = 0;
};
using VisibleChannelsPtr = std::shared_ptr<const CVisibleChannels>;

// The name of entry, then its unit in brackets and afterUnit when it has one; empty past
// the list.
inline wxString VisibleChannelLabel(const CVisibleChannels& visible, size_t entry,
                                    const wxString& afterUnit)
{
    if (entry >= visible.names.size() || entry >= visible.units.size()) return wxString();
    wxString label = visible.names[entry];
    if (!visible.units[entry].empty()) label += " (" + visible.units[entry] + ")" + afterUnit;
    return label;
}
