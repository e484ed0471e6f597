#include "aboutBox.h"

#include "DravonetMain.h"
#include "appIcons.h"

#include <wx/aboutdlg.h>
#include <wx/platinfo.h>
#include <wx/version.h>

#include <opencv2/core/version.hpp>

wxString GetToolkitVersionText(int format)
{
    wxString text = wxString::Format("wxWidgets %d.%d.%d", wxMAJOR_VERSION, wxMINOR_VERSION,
                                     wxRELEASE_NUMBER);
    if (format == 1) {
        text += "-" + wxPlatformInfo::Get().GetPortIdShortName();
        text += "-Unicode build";
    }
    return text;
}

wxString GetOpenCVVersion()
{
    return wxString::Format("OpenCV\t%d.%d.%d\n", CV_VERSION_MAJOR, CV_VERSION_MINOR,
                            CV_VERSION_REVISION);
}

wxString GetWiiuseVersion()
{
    // No Wii library is linked in this build.
    return "0.0.0";
}

wxString MakeAboutDescription()
{
    wxString text = GetToolkitVersionText(1);
    text += "\nWiiuse librairy\t";
    text += GetWiiuseVersion();
    text += "\n";
    text += "libfob  version 1.0.2\n";
    text += GetOpenCVVersion();
    text += "OSCPKT : a minimalistic OSC c++ library\n";
    text += "VRPN  version 7.34\n";
    text += "serialLib  version 2.0\n";
    text += "FFTW3  version 3.3.8\n";
    return text;
}

void TrackerFrame::OnAbout(wxCommandEvent& /*event*/)
{
    wxAboutDialogInfo info;
    info.SetName("Quorvane");
    info.SetVersion("1.30");
    info.SetDescription(MakeAboutDescription());
    info.AddDeveloper("The Quorvane developers");
    info.AddTranslator("The Quorvane translators");
    info.SetWebSite("https://quorvane.example.org", "https://quorvane.example.org");
    wxIcon icon;
    icon.CopyFromBitmap(MakeAboutPicture());
    info.SetIcon(icon);
    wxAboutBox(info, nullptr);
}
