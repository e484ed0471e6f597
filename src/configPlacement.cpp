#include "configPlacement.h"

#include <algorithm>

namespace {

constexpr int kSizeShrink = 100;

}  // namespace

bool IsCaptionVisible(int x, int y, int frameWidth, const std::vector<ScreenRect>& displays)
{
    const long long left = x;
    const long long right = left + std::max(frameWidth, 1);
    const long long top = y;
    const long long bottom = top + kMinVisibleHeight;
    const long long needWidth = std::min(kMinVisibleWidth, std::max(frameWidth, 1));
    for (const ScreenRect& d : displays) {
        const long long overlapWidth =
            std::min(right, static_cast<long long>(d.x) + d.width) - std::max(left, 0LL + d.x);
        const long long overlapHeight =
            std::min(bottom, static_cast<long long>(d.y) + d.height) - std::max(top, 0LL + d.y);
        if (overlapWidth >= needWidth && overlapHeight >= kMinVisibleHeight) return true;
    }
    return false;
}

WindowPlacement FitWindowPlacement(const WindowPlacement& stored,
                                   const std::vector<ScreenRect>& displays, int frameWidth)
{
    int totalWidth = 0;
    int maxHeight = 0;
    for (const ScreenRect& d : displays) {
        totalWidth += d.width;
        maxHeight = std::max(maxHeight, d.height);
    }
    WindowPlacement fit = stored;
    if (totalWidth < fit.x) fit.x = kPlacementMargin;
    if (fit.y > maxHeight) fit.y = kPlacementMargin;
    if (totalWidth < fit.width) fit.width = totalWidth - kSizeShrink;
    if (fit.height > maxHeight) fit.height = maxHeight - kSizeShrink;
    // Tiny or missing displays would give a size of nothing.
    const WindowPlacement defaults;
    if (fit.width <= 0) fit.width = defaults.width;
    if (fit.height <= 0) fit.height = defaults.height;

    // The rules above still leave a window hidden at the right edge, at negative
    // positions or between displays that do not start at the origin.
    if (!displays.empty() && !IsCaptionVisible(fit.x, fit.y, frameWidth, displays)) {
        // The margin shrinks on a display too small for it.
        const ScreenRect& first = displays.front();
        fit.x = first.x + std::min(kPlacementMargin, std::max(0, first.width - kMinVisibleWidth));
        fit.y = first.y + std::min(kPlacementMargin, std::max(0, first.height - kMinVisibleHeight));
    }
    return fit;
}

WindowPlacement FirstStartPlacement(const std::vector<ScreenRect>& displays)
{
    WindowPlacement first;
    if (displays.empty()) return first;
    const ScreenRect& d = displays.front();
    const int margin = std::min(kPlacementMargin, std::max(0, std::min(d.width, d.height) / 8));
    first.x = d.x + margin;
    first.y = d.y + margin;
    first.width = d.width - 2 * margin;
    // The client size: the caption, menu and status bars come on top of it.
    first.height = d.height - margin - kSizeShrink;
    const WindowPlacement defaults;
    if (first.width <= 0) first.width = defaults.width;
    if (first.height <= 0) first.height = defaults.height;
    first.maximized = false;
    return first;
}

std::vector<int> ArrangeToolbarRows(const std::vector<int>& widths, int space)
{
    std::vector<int> rows;
    int row = 0;
    int used = 0;
    for (int width : widths) {
        if (used > 0 && used + width > space) {
            ++row;
            used = 0;
        }
        rows.push_back(row);
        used += width;
    }
    return rows;
}
