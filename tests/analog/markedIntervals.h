#pragma once
// What a recording's markers say of its sources: the frames each holds values not
// received, never or no longer. Shared by the seeded suites that check them.

#include <cstdint>
#include <vector>

#include "analog/analogReader.h"
#include "analog/sourceWatch.h"

namespace markedtest {

// A source's stretch of frames [from, to) that the file's markers say hold values not
// received: never (any value) or no longer (the last received stays).
struct Interval {
    int64_t from, to;
    bool never;
};

inline std::vector<std::vector<Interval>> MarkedIntervals(const CAnalogReader& reader,
                                                          const CSourceWatch& watch, int sources)
{
    const int64_t end = reader.GetFrameCount();
    std::vector<std::vector<Interval>> marked(static_cast<size_t>(sources));
    for (size_t m = 0; m < reader.GetMarkerCodes().size(); ++m) {
        const wxString& label = reader.GetMarkerLabels()[m];
        for (int s = 0; s < sources; ++s) {
            const wxString name = watch.SourceName(s);
            std::vector<Interval>& list = marked[static_cast<size_t>(s)];
            const bool isOpen = !list.empty() && list.back().to == end;
            const int64_t at = reader.GetMarkerFrames()[m];
            if (label == name + " back" && isOpen) list.back().to = at;
            if ((label == name + " silent" || label == name + " not received") && !isOpen)
                list.push_back({at, end, label.EndsWith(" not received")});
        }
    }
    return marked;
}

}  // namespace markedtest
