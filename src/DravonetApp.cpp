#include "DravonetApp.h"

#include "DravonetMain.h"
#include "stopSignals.h"

#include <wx/dcmemory.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/splash.h>
#include <wx/stdpaths.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

TrackerApp::TrackerApp()
{
    // A write past the process's file-size limit must fail as on a full disk, so that
    // every recording ends with what it holds; the signal's default would end the
    // process with all of them unfinished.
    if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR)
        std::fprintf(stderr, "<REC> unable to ignore SIGXFSZ : %s\n", std::strerror(errno));
}

bool TrackerApp::OnInit()
{
    if (!wxApp::OnInit()) return false;
    m_locale.Init(wxLANGUAGE_DEFAULT, 0);
    wxLocale::AddCatalogLookupPathPrefix(".");
    {
        // Toolkit log messages are discarded until the frame is up; console text
        // still reaches the message pages.
        wxLogNull noLog;
        m_locale.AddCatalog("wxstd");
        m_locale.AddCatalog("fr");
        m_locale.AddCatalog("quorvane");
        if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxImage::AddHandler(new wxPNGHandler);
        SetAppName("Quorvane");
        SetVendorName("Morvelle");

        TrackerFrame::SetCaptureCStreams(true);
        TrackerFrame* frame = new TrackerFrame(nullptr);

        const wxString exeDir = wxFileName(wxStandardPaths::Get().GetExecutablePath()).GetPath();
        const wxString splashFile = exeDir + wxFileName::GetPathSeparator() + "tracker.png";
        if (wxFileName::FileExists(splashFile)) {
            wxBitmap bitmap;
            if (bitmap.LoadFile(splashFile, wxBITMAP_TYPE_PNG) && bitmap.IsOk()) {
                DrawSplashLabel(bitmap);
                new wxSplashScreen(bitmap, wxSPLASH_CENTRE_ON_SCREEN | wxSPLASH_TIMEOUT, 6000,
                                   frame, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                   wxSIMPLE_BORDER | wxSTAY_ON_TOP);
            }
            wxYield();
        }
        frame->Show(true);
        wxYield();
        frame->InitAfterShow();
    }
    // A logout, a shutdown or a kill stops the trial and closes as the window does.
    std::string error;
    if (!TrackerFrame::RouteStopSignals(error))
        std::fprintf(stderr, "<GUI> stop signals end the program at once: %s\n", error.c_str());
    return true;
}

int TrackerApp::OnExit()
{
    CStopSignals::Remove();
    return 0;
}

void TrackerApp::DrawSplashLabel(wxBitmap& bitmap)
{
    if (!bitmap.IsOk()) return;
    wxMemoryDC dc(bitmap);
    const int w = bitmap.GetWidth();
    const int h = bitmap.GetHeight();
    const int top = 9 * (h / 10);
    const wxRect band(0, top, w + 1, h - top + 1);
    const wxBrush oldBrush = dc.GetBrush();
    dc.SetBrush(wxBrush(wxColour(255, 102, 0, 255), wxBRUSHSTYLE_SOLID));
    dc.DrawRectangle(band);
    dc.DrawLine(band.GetLeft(), band.GetTop(), band.GetLeft() + band.GetWidth() - 1, band.GetTop());
    dc.SetBrush(oldBrush);
    const wxString label = wxString::Format("%s Version %s", "Quorvane", "1.30");
    dc.SetTextForeground(*wxWHITE);
    const wxRect textRect(band.GetLeft() + 5, band.GetTop(), band.GetWidth() - 10,
                          band.GetHeight());
    dc.DrawLabel(label, wxNullBitmap, textRect, wxALIGN_LEFT | wxALIGN_CENTER_VERTICAL, -1);
    dc.SelectObject(wxNullBitmap);
}
