#include "analog/analogViewPlacement.h"

#include <algorithm>
#include <cmath>
#include <numeric>

bool BoxesOverlap(const TextBox& a, const TextBox& b)
{
    return a.x < b.Right() && b.x < a.Right() && a.y < b.Bottom() && b.y < a.Bottom();
}

bool BoxInside(const TextBox& box, int width, int height)
{
    return box.x >= 0 && box.y >= 0 && box.Right() <= width && box.Bottom() <= height;
}

void CTextPlacer::Reset(int width, int height)
{
    m_boxes.clear();
    m_width = width;
    m_height = height;
}

bool CTextPlacer::Fits(const TextBox& box, int gap) const
{
    if (!BoxInside(box, m_width, m_height))
        return false;
    const TextBox wide{box.x - gap, box.y - gap, box.w + 2 * gap, box.h + 2 * gap};
    for (const TextBox& placed : m_boxes)
        if (BoxesOverlap(wide, placed))
            return false;
    return true;
}

bool CTextPlacer::Place(const TextBox& box, int gap)
{
    if (!Fits(box, gap))
        return false;
    m_boxes.push_back(box);
    return true;
}

int LabelStep(double spacing, int maxWidth, int gap)
{
    if (!(spacing > 0.0) || !std::isfinite(spacing))
        return 1000000;
    const double needed = static_cast<double>(maxWidth) + gap;
    if (needed <= spacing)
        return 1;
    const double step = std::ceil(needed / spacing);
    return step > 1e6 ? 1000000 : static_cast<int>(step);
}

void SpreadTags(const std::vector<int>& wanted, int height, int low, int high,
                std::vector<int>& tops, std::vector<bool>& shown)
{
    const size_t n = wanted.size();
    tops.assign(n, 0);
    shown.assign(n, false);
    if (n == 0 || height <= 0 || high - low < height)
        return;
    // Tags in the order of their wanted tops; as many as fit, the rest
    // (those farthest from the middle of the order) left out.
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return wanted[a] < wanted[b]; });
    const size_t room = static_cast<size_t>((high - low) / height);
    if (room < n) {
        // Drop evenly spread tags until the rest fit.
        std::vector<size_t> kept;
        for (size_t k = 0; k < room; ++k)
            kept.push_back(order[k * n / room]);
        order.swap(kept);
    }
    const size_t m = order.size();
    std::vector<int> placed(m);
    for (size_t k = 0; k < m; ++k)
        placed[k] = std::min(std::max(wanted[order[k]], low), high - height);
    // Downward pass: each tag at least one height below the one above it;
    // upward pass from the bottom limit; the two bounds leave them apart.
    for (size_t k = 1; k < m; ++k)
        placed[k] = std::max(placed[k], placed[k - 1] + height);
    if (placed[m - 1] > high - height) {
        placed[m - 1] = high - height;
        for (size_t k = m - 1; k-- > 0;)
            placed[k] = std::min(placed[k], placed[k + 1] - height);
    }
    for (size_t k = 0; k < m; ++k) {
        tops[order[k]] = placed[k];
        shown[order[k]] = true;
    }
}

LegendLayout ComputeLegendLayout(int count, int lineHeight, int top, int bottom)
{
    LegendLayout layout;
    const int available = std::max(bottom - top, 0);
    const int n = std::max(count, 1);
    const int h = std::max(lineHeight, 1);
    if (2 * h * (n - 1) + h <= available) {
        layout.spacing = 2 * h;
    } else if ((h + 1) * (n - 1) + h <= available) {
        layout.spacing = (available - h) / std::max(n - 1, 1);
    } else {
        layout.spacing = h + 1;
    }
    layout.rows = std::max(1, std::min(n, (available - h) / layout.spacing + 1));
    layout.columns = (n + layout.rows - 1) / layout.rows;
    return layout;
}
