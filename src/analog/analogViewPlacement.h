#pragma once

#include <vector>

// Placement of the 2D view's texts from their measured sizes, so that no text
// is drawn over another or past the view's edge. Plain arithmetic on boxes:
// any thread, no state beyond the placer's own.

// A text's box in client pixels: top left (x, y), width w, height h.
struct TextBox {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    int Right() const { return x + w; }
    int Bottom() const { return y + h; }
};

// Boxes that share at least one pixel (touching edges do not count).
bool BoxesOverlap(const TextBox& a, const TextBox& b);
// The box lies wholly inside a view of width x height.
bool BoxInside(const TextBox& box, int width, int height);

// The boxes of the texts placed during one paint. A text goes where it
// overlaps no box placed before and stays inside the view; otherwise the
// caller leaves it out (or tries another place). The storage is kept between
// paints.
class CTextPlacer {
public:
    void Reset(int width, int height);
    // gap: pixels the box keeps from every box placed before.
    bool Fits(const TextBox& box, int gap = 0) const;
    // Adds the box when it fits; false (nothing added) otherwise.
    bool Place(const TextBox& box, int gap = 0);
    // Adds the box whether it fits or not (a text that is always drawn).
    void Reserve(const TextBox& box) { m_boxes.push_back(box); }

private:
    std::vector<TextBox> m_boxes;
    int m_width = 0;
    int m_height = 0;
};

// Every how many labels one is drawn along an axis whose labels lie spacing
// pixels apart and are at most maxWidth wide, leaving gap pixels between
// neighbours: 1 when all fit.
int LabelStep(double spacing, int maxWidth, int gap);

// Vertical tags (newest-value labels) of one height: wanted[i] is the top
// each would like. They are moved apart as little as needed to keep them
// from overlapping, inside [low, high] (tops and bottoms); the tops come back
// in tops, and shown[i] is false for a tag with no room left.
void SpreadTags(const std::vector<int>& wanted, int height, int low, int high,
                std::vector<int>& tops, std::vector<bool>& shown);

// A legend of count lines of lineHeight pixels from top down to at most
// bottom: one line every two text heights while they fit, closer lines down to
// one text height and a pixel, then further columns.
struct LegendLayout {
    int spacing = 0;  // pixels from one line to the next
    int rows = 0;     // lines per column
    int columns = 1;
};
LegendLayout ComputeLegendLayout(int count, int lineHeight, int top, int bottom);
