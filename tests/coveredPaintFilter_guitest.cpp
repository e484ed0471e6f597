#include "coveredPaintFilter.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/aui/auibook.h>
#include <wx/dcclient.h>
#include <wx/frame.h>
#include <wx/sizer.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace {

// Stands in for a dock manager: the last handler pushed before the filter, it counts
// the host's paints, keeps the box of each and draws nothing.
class PaintCounter : public wxEvtHandler {
public:
    PaintCounter() { Bind(wxEVT_PAINT, &PaintCounter::OnPaint, this); }
    int count = 0;
    std::vector<wxRect> boxes;

    // Paints since the first `from` whose box is exactly one of `rects`: those of a
    // child's repaint. Other windows of the shared display leave exposures of other
    // shapes, which may reach the host at any time.
    int CountShaped(size_t from, const std::vector<wxRect>& rects) const
    {
        int shaped = 0;
        for (size_t i = from; i < boxes.size(); ++i)
            shaped += std::count(rects.begin(), rects.end(), boxes[i]) > 0;
        return shaped;
    }

private:
    void OnPaint(wxPaintEvent& event)
    {
        auto* window = static_cast<wxWindow*>(event.GetEventObject());
        ++count;
        boxes.push_back(window->GetUpdateRegion().GetBox());
        wxPaintDC dc(window);
    }
};

// A child that paints every pixel itself, like the 2D view.
class OpaqueChild : public wxWindow {
public:
    explicit OpaqueChild(wxWindow* parent)
    {
        SetBackgroundStyle(wxBG_STYLE_PAINT);
        Create(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxBORDER_NONE);
        Bind(wxEVT_PAINT, &OpaqueChild::OnPaint, this);
    }
    int count = 0;

private:
    void OnPaint(wxPaintEvent&)
    {
        wxPaintDC dc(this);
        dc.SetBackground(*wxBLUE_BRUSH);
        dc.Clear();
        ++count;
    }
};

bool WaitFor(const std::function<bool()>& done, const std::function<void()>& poke = {})
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (poke) poke();
        wxYield();
    }
    return true;
}

class CoveredPaintFilterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_frame = new wxFrame(nullptr, wxID_ANY, "covered paint", wxDefaultPosition,
                              wxSize(600, 400));
        m_frame->PushEventHandler(&m_counter);
        // The child leaves a strip of the frame uncovered on the right; a second child
        // keeps the frame from stretching the first over its whole client area.
        m_child = new OpaqueChild(m_frame);
        m_child->SetSize(0, 0, 300, 200);
        new wxWindow(m_frame, wxID_ANY, wxPoint(0, 250), wxSize(50, 50));
    }

    void TearDown() override
    {
        m_filter.reset();
        m_frame->RemoveEventHandler(&m_counter);
        m_frame->Destroy();
        wxTheApp->ProcessIdle();
    }

    // Shows the frame and waits until the first paints of the show are over.
    bool ShowSettled()
    {
        m_frame->Show();
        if (!WaitFor([&] { return m_child->count > 0 && m_counter.count > 0; })) return false;
        for (int i = 0; i < 3; ++i)
            if (!RepaintChild()) return false;
        return true;
    }

    bool RepaintChild()
    {
        const int before = m_child->count;
        return WaitFor([&] { return m_child->count > before; }, [&] { m_child->Refresh(false); });
    }

    wxFrame* m_frame = nullptr;
    OpaqueChild* m_child = nullptr;
    PaintCounter m_counter;
    std::unique_ptr<CoveredPaintFilter> m_filter;
};

TEST_F(CoveredPaintFilterTest, RepaintOfAnOpaqueChildLeavesTheHostUnpainted)
{
    m_filter = std::make_unique<CoveredPaintFilter>(m_frame, nullptr);
    ASSERT_TRUE(ShowSettled());
    // Without the filter the host sees the child's repaints.
    m_filter->Detach();
    size_t from = m_counter.boxes.size();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(RepaintChild());
    EXPECT_GT(m_counter.CountShaped(from, {m_child->GetRect()}), 0);
    m_filter = std::make_unique<CoveredPaintFilter>(m_frame, nullptr);
    ASSERT_TRUE(RepaintChild());
    from = m_counter.boxes.size();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(RepaintChild());
    EXPECT_EQ(m_counter.CountShaped(from, {m_child->GetRect()}), 0);

    // Two children repainted together: the gap between them is not part of the paint.
    auto* below = new OpaqueChild(m_frame);
    below->SetSize(0, 205, 300, 40);
    ASSERT_TRUE(WaitFor([&] { return below->count > 0; }));
    ASSERT_TRUE(RepaintChild());
    from = m_counter.boxes.size();
    for (int i = 0; i < 5; ++i) {
        const int child = m_child->count;
        const int other = below->count;
        ASSERT_TRUE(WaitFor([&] { return m_child->count > child && below->count > other; }, [&] {
            m_child->Refresh(false);
            below->Refresh(false);
        }));
    }
    const wxRect both = m_child->GetRect().Union(below->GetRect());
    EXPECT_EQ(m_counter.CountShaped(from, {m_child->GetRect(), below->GetRect(), both}), 0);

    // What the child does not cover still reaches the host, alone or with the child.
    int before = m_counter.count;
    EXPECT_TRUE(WaitFor([&] { return m_counter.count > before; },
                        [&] { m_frame->RefreshRect(wxRect(400, 10, 50, 50), false); }));
    before = m_counter.count;
    EXPECT_TRUE(WaitFor([&] { return m_counter.count > before; },
                        [&] { m_frame->RefreshRect(wxRect(250, 10, 100, 50), false); }));
}

TEST_F(CoveredPaintFilterTest, CoverIsAShownPageOrChildThatPaintsItselfWhole)
{
    auto* book = new wxAuiNotebook(m_frame, wxID_ANY, wxPoint(300, 0), wxSize(300, 300));
    auto* page = new OpaqueChild(book);
    auto* other = new OpaqueChild(book);
    auto* plain = new wxWindow(book, wxID_ANY);
    book->AddPage(page, "page", true);
    book->AddPage(other, "other", false);
    book->AddPage(plain, "plain", false);
    m_filter = std::make_unique<CoveredPaintFilter>(m_frame, book);
    ASSERT_TRUE(ShowSettled());
    ASSERT_TRUE(WaitFor([&] { return page->IsShownOnScreen(); }));

    const auto inHost = [&](wxWindow* w) {
        const wxRect screen = w->GetScreenRect();
        return wxRect(m_frame->ScreenToClient(screen.GetPosition()), screen.GetSize());
    };
    EXPECT_TRUE(m_filter->IsCovered(wxRegion(inHost(page))));
    EXPECT_TRUE(m_filter->IsCovered(wxRegion(inHost(m_child))));
    wxRegion both(inHost(page));
    both.Union(inHost(m_child));
    EXPECT_TRUE(m_filter->IsCovered(both));
    EXPECT_FALSE(m_filter->IsCovered(wxRegion(inHost(book))));  // the tabs
    wxRect wider = inHost(page);
    wider.Inflate(1);
    EXPECT_FALSE(m_filter->IsCovered(wxRegion(wider)));
    EXPECT_FALSE(m_filter->IsCovered(wxRegion()));

    // A hidden page covers nothing, nor does a page that leaves its background to the toolkit.
    const wxRect pageRect = inHost(page);
    book->SetSelection(2);
    ASSERT_TRUE(WaitFor([&] { return plain->IsShownOnScreen() && !page->IsShownOnScreen(); }));
    EXPECT_FALSE(m_filter->IsCovered(wxRegion(pageRect)));
    EXPECT_FALSE(m_filter->IsCovered(wxRegion(inHost(plain))));
}

}  // namespace
