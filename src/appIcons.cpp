#include "appIcons.h"

#include <wx/brush.h>
#include <wx/font.h>
#include <wx/graphics.h>
#include <wx/image.h>
#include <wx/pen.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

namespace {

const wxColour kBlue(30, 90, 200);
const wxColour kRed(210, 30, 30);
const wxColour kGreen(30, 150, 60);
const wxColour kYellow(240, 200, 20);
const wxColour kGrey(110, 110, 110);

using Painter = std::function<void(wxGraphicsContext&, double)>;

// Paints on a transparent square of the given size; s is the size as a double.
wxBitmap Paint(int size, const Painter& painter)
{
    wxImage image(size, size);
    image.InitAlpha();
    unsigned char* alpha = image.GetAlpha();
    for (int i = 0; i < size * size; ++i) alpha[i] = 0;
    {
        std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(image));
        if (gc) {
            gc->SetAntialiasMode(wxANTIALIAS_DEFAULT);
            painter(*gc, static_cast<double>(size));
        }
    }  // the context writes into the image when it goes
    return wxBitmap(image);
}

void Disc(wxGraphicsContext& gc, double x, double y, double d, const wxColour& fill)
{
    gc.SetPen(*wxTRANSPARENT_PEN);
    gc.SetBrush(wxBrush(fill));
    gc.DrawEllipse(x, y, d, d);
}

void Box(wxGraphicsContext& gc, double x, double y, double w, double h, const wxColour& fill)
{
    gc.SetPen(*wxTRANSPARENT_PEN);
    gc.SetBrush(wxBrush(fill));
    gc.DrawRectangle(x, y, w, h);
}

void Line(wxGraphicsContext& gc, double x0, double y0, double x1, double y1, const wxColour& colour,
          double width)
{
    gc.SetPen(wxPen(colour, static_cast<int>(width + 0.5)));
    gc.StrokeLine(x0, y0, x1, y1);
}

void Polygon(wxGraphicsContext& gc, const std::initializer_list<wxPoint2DDouble>& points,
             const wxColour& fill)
{
    wxGraphicsPath path = gc.CreatePath();
    bool first = true;
    for (const wxPoint2DDouble& p : points) {
        if (first)
            path.MoveToPoint(p);
        else
            path.AddLineToPoint(p);
        first = false;
    }
    path.CloseSubpath();
    gc.SetPen(*wxTRANSPARENT_PEN);
    gc.SetBrush(wxBrush(fill));
    gc.FillPath(path);
}

void Sheet(wxGraphicsContext& gc, double s)
{
    gc.SetPen(wxPen(kGrey, 1));
    gc.SetBrush(*wxWHITE_BRUSH);
    gc.DrawRectangle(s * 0.15, s * 0.06, s * 0.55, s * 0.75);
    for (int i = 1; i <= 4; ++i)
        Line(gc, s * 0.22, s * (0.12 + 0.12 * i), s * 0.6, s * (0.12 + 0.12 * i), kGrey, 1);
}

void Cross(wxGraphicsContext& gc, double cx, double cy, double r, const wxColour& colour,
           double width)
{
    Line(gc, cx - r, cy - r, cx + r, cy + r, colour, width);
    Line(gc, cx - r, cy + r, cx + r, cy - r, colour, width);
}

void PaintTool(ToolImage which, wxGraphicsContext& gc, double s)
{
    switch (which) {
        case ToolImage::PairWii:
            Box(gc, s * 0.12, s * 0.35, s * 0.22, s * 0.55, *wxWHITE);
            gc.SetPen(wxPen(kGrey, 1));
            gc.SetBrush(*wxTRANSPARENT_BRUSH);
            gc.DrawRectangle(s * 0.12, s * 0.35, s * 0.22, s * 0.55);
            gc.SetPen(wxPen(kBlue, 2));
            for (int i = 1; i <= 3; ++i) {
                const double r = s * 0.15 * i;
                gc.DrawEllipse(s * 0.23 - r, s * 0.35 - r, 2 * r, 2 * r);
            }
            break;
        case ToolImage::SearchWii:
            Disc(gc, s * 0.1, s * 0.05, s * 0.8, kBlue);
            Line(gc, s * 0.5, s * 0.2, s * 0.5, s * 0.8, *wxWHITE, 2);
            Line(gc, s * 0.35, s * 0.35, s * 0.65, s * 0.65, *wxWHITE, 2);
            Line(gc, s * 0.35, s * 0.65, s * 0.65, s * 0.35, *wxWHITE, 2);
            Line(gc, s * 0.5, s * 0.2, s * 0.65, s * 0.35, *wxWHITE, 2);
            Line(gc, s * 0.5, s * 0.8, s * 0.65, s * 0.65, *wxWHITE, 2);
            break;
        case ToolImage::OpenWii:
            gc.SetFont(wxFont(wxFontInfo(static_cast<int>(s * 0.35)).Bold()), kGrey);
            gc.DrawText("Wii", s * 0.05, s * 0.25);
            break;
        case ToolImage::Satel:
            Box(gc, s * 0.05, s * 0.3, s * 0.9, s * 0.4, kGreen);
            Box(gc, s * 0.12, s * 0.37, s * 0.76, s * 0.26, wxColour(220, 220, 220));
            break;
        case ToolImage::Bird:
            gc.SetPen(*wxTRANSPARENT_PEN);
            gc.SetBrush(wxBrush(kRed));
            gc.DrawEllipse(s * 0.22, s * 0.42, s * 0.48, s * 0.2);  // body
            Polygon(gc, {{s * 0.3, s * 0.48}, {s * 0.55, s * 0.46}, {s * 0.28, s * 0.06}}, kRed);
            Polygon(gc, {{s * 0.38, s * 0.56}, {s * 0.58, s * 0.56}, {s * 0.7, s * 0.9}},
                    wxColour(170, 20, 20));
            Polygon(gc, {{s * 0.26, s * 0.5}, {s * 0.02, s * 0.4}, {s * 0.06, s * 0.66}}, kRed);
            Disc(gc, s * 0.62, s * 0.3, s * 0.2, kRed);  // head
            Polygon(gc, {{s * 0.8, s * 0.36}, {s * 0.97, s * 0.41}, {s * 0.8, s * 0.45}}, kYellow);
            break;
        case ToolImage::Camera:
            Box(gc, s * 0.47, s * 0.6, s * 0.06, s * 0.25, kGrey);
            Box(gc, s * 0.25, s * 0.85, s * 0.5, s * 0.08, kGrey);
            gc.SetPen(wxPen(kGrey, 1));
            gc.SetBrush(*wxWHITE_BRUSH);
            gc.DrawEllipse(s * 0.2, s * 0.1, s * 0.6, s * 0.5);
            Disc(gc, s * 0.4, s * 0.25, s * 0.2, kBlue);
            break;
        case ToolImage::Pause:
            Disc(gc, s * 0.05, s * 0.05, s * 0.9, kBlue);
            Box(gc, s * 0.33, s * 0.27, s * 0.11, s * 0.46, *wxWHITE);
            Box(gc, s * 0.56, s * 0.27, s * 0.11, s * 0.46, *wxWHITE);
            break;
        case ToolImage::Play:
            Disc(gc, s * 0.05, s * 0.05, s * 0.9, kBlue);
            Polygon(gc, {{s * 0.38, s * 0.27}, {s * 0.72, s * 0.5}, {s * 0.38, s * 0.73}},
                    *wxWHITE);
            break;
        case ToolImage::Reset: {
            gc.SetPen(wxPen(kBlue, static_cast<int>(s * 0.12)));
            gc.SetBrush(*wxTRANSPARENT_BRUSH);
            wxGraphicsPath arc = gc.CreatePath();
            arc.AddArc(s * 0.5, s * 0.5, s * 0.32, 0.3, 5.3, true);
            gc.StrokePath(arc);
            Polygon(gc, {{s * 0.62, s * 0.05}, {s * 0.95, s * 0.2}, {s * 0.65, s * 0.38}}, kBlue);
            break;
        }
        case ToolImage::Offset:
            Disc(gc, s * 0.05, s * 0.05, s * 0.9, kGreen);
            Box(gc, s * 0.44, s * 0.2, s * 0.12, s * 0.35, *wxWHITE);
            Polygon(gc, {{s * 0.28, s * 0.5}, {s * 0.72, s * 0.5}, {s * 0.5, s * 0.8}}, *wxWHITE);
            break;
        case ToolImage::CreateFile:
            Sheet(gc, s);
            Disc(gc, s * 0.5, s * 0.5, s * 0.45, kYellow);
            break;
        case ToolImage::Record:
            Disc(gc, s * 0.1, s * 0.1, s * 0.8, kRed);
            break;
        case ToolImage::Stop:
            Box(gc, s * 0.15, s * 0.15, s * 0.7, s * 0.7, kRed);
            break;
        case ToolImage::NextFile:
            Sheet(gc, s);
            Disc(gc, s * 0.5, s * 0.5, s * 0.45, kGreen);
            Line(gc, s * 0.725, s * 0.58, s * 0.725, s * 0.87, *wxWHITE, 2);
            Line(gc, s * 0.58, s * 0.725, s * 0.87, s * 0.725, *wxWHITE, 2);
            break;
        case ToolImage::CloseFile:
            Sheet(gc, s);
            Disc(gc, s * 0.5, s * 0.5, s * 0.45, kRed);
            Cross(gc, s * 0.725, s * 0.725, s * 0.1, *wxWHITE, 2);
            break;
    }
}

}  // namespace

wxBitmap MakeToolBitmap(ToolImage image)
{
    return Paint(32, [image](wxGraphicsContext& gc, double s) { PaintTool(image, gc, s); });
}

wxBitmap MakeMenuBitmap(MenuImage image)
{
    return Paint(16, [image](wxGraphicsContext& gc, double s) {
        switch (image) {
            case MenuImage::Close:
                Disc(gc, 1, 1, s - 2, kRed);
                Cross(gc, s / 2, s / 2, s * 0.2, *wxWHITE, 2);
                break;
            case MenuImage::Record:
                Disc(gc, 2, 2, s - 4, kRed);
                break;
            case MenuImage::Pause:
                Box(gc, s * 0.2, s * 0.15, s * 0.2, s * 0.7, kRed);
                Box(gc, s * 0.6, s * 0.15, s * 0.2, s * 0.7, kRed);
                break;
        }
    });
}

wxIcon MakeAppIcon()
{
    const wxBitmap bitmap = Paint(128, [](wxGraphicsContext& gc, double s) {
        Disc(gc, s * 0.04, s * 0.04, s * 0.92, kBlue);
        gc.SetPen(wxPen(*wxWHITE, 6));
        gc.SetBrush(*wxTRANSPARENT_BRUSH);
        wxGraphicsPath wave = gc.CreatePath();
        wave.MoveToPoint(s * 0.15, s * 0.55);
        wave.AddCurveToPoint(s * 0.3, s * 0.1, s * 0.45, s * 0.1, s * 0.5, s * 0.5);
        wave.AddCurveToPoint(s * 0.55, s * 0.9, s * 0.7, s * 0.9, s * 0.85, s * 0.45);
        gc.StrokePath(wave);
    });
    wxIcon icon;
    icon.CopyFromBitmap(bitmap);
    return icon;
}

wxBitmap MakeAboutPicture()
{
    wxImage image(296, 286);
    image.InitAlpha();
    unsigned char* alpha = image.GetAlpha();
    for (int i = 0; i < 296 * 286; ++i) alpha[i] = 0;
    {
        std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(image));
        if (gc) {
            constexpr double kLeft = 20, kTop = 15, kDiameter = 256, kRadius = kDiameter / 2;
            Disc(*gc, kLeft, kTop, kDiameter, kBlue);
            // The word stands inside the disc whatever the fonts measure: the
            // largest size (36 points at most) whose box fits the chord, centred.
            const wxString word = "Quorvane";
            double width = 0, height = 0;
            for (int points = 36; points >= 8; --points) {
                gc->SetFont(wxFont(wxFontInfo(points).Bold()), *wxWHITE);
                gc->GetTextExtent(word, &width, &height);
                const double chord =
                    2 * std::sqrt(std::max(0.0, kRadius * kRadius - height * height / 4));
                if (width <= 0.85 * chord) break;
            }
            gc->DrawText(word, kLeft + kRadius - width / 2, kTop + kRadius - height / 2);
        }
    }
    return wxBitmap(image);
}
