#pragma once

// Where the main window goes at start-up, from the stored placement and the
// displays present now. Display-free so that any screen layout can be checked.

#include <vector>

struct ScreenRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The stored placement: frame position, client size, maximised flag. The
// defaults are those of a file without the MainFrame group.
struct WindowPlacement {
    int x = 50;
    int y = 50;
    int width = 600;
    int height = 600;
    bool maximized = true;
};

// How far the window's top edge must reach into a display to count as visible:
// enough of the caption to grab it.
constexpr int kMinVisibleWidth = 100;
constexpr int kMinVisibleHeight = 30;
constexpr int kPlacementMargin = 50;

// The placement to apply. Position beyond the summed display width or below the
// tallest display goes to 50; a client size larger than that is shrunk to it
// minus 100. A window whose caption would then still lie on no display (negative
// positions, displays left of or above the origin, a position at the very right
// edge) is moved 50 pixels into the first display. frameWidth is the outer width
// the frame will have, for the visibility test.
WindowPlacement FitWindowPlacement(const WindowPlacement& stored,
                                   const std::vector<ScreenRect>& displays, int frameWidth);

// The placement of a first start (no stored placement): most of the first display, so
// that the docks and every toolbar have room; not maximised.
WindowPlacement FirstStartPlacement(const std::vector<ScreenRect>& displays);

// Toolbars of these widths laid out, in their order, in rows no wider than the space
// (a toolbar wider than it gets a row of its own): the row of each.
std::vector<int> ArrangeToolbarRows(const std::vector<int>& widths, int space);

// True when the top strip of a frame at (x, y) of that width lies on a display
// far enough to be grabbed.
bool IsCaptionVisible(int x, int y, int frameWidth, const std::vector<ScreenRect>& displays);
