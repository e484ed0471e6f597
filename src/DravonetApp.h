#pragma once

#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/intl.h>

// The application object: locale and catalogs, the main frame, the splash.
class TrackerApp : public wxApp {
public:
    TrackerApp();
    bool OnInit() override;
    int OnExit() override;
    // Paints the version label into the band at the foot of the splash bitmap.
    static void DrawSplashLabel(wxBitmap& bitmap);

private:
    wxLocale m_locale;
};
