#include "countdownDialog.h"

#include <wx/button.h>
#include <wx/font.h>
#include <wx/intl.h>

#include "process/clock.h"

namespace {

constexpr int kTickMs = 50;

}  // namespace

wxBEGIN_EVENT_TABLE(TCountDown, wxDialog) EVT_IDLE(TCountDown::OnIdle) wxEND_EVENT_TABLE()

    TCountDown::TCountDown(wxWindow* parent, wxWindowID /*id*/, const wxPoint& /*pos*/,
                           const wxSize& /*size*/)
    : wxDialog(parent, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE, "wxID_ANY"),
      m_ticker(this)
{
    SetClientSize(300, 300);
    m_button = new wxButton(this, wxID_OK, _("OK"), wxPoint(0, 0), wxSize(300, 300), 0,
                            wxDefaultValidator, "wxID_OK");
    m_button->SetFocus();
    m_button->SetFont(wxFont(64, wxFONTFAMILY_SWISS, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_BOLD, false,
                             "Sans", wxFONTENCODING_DEFAULT));
    Centre(wxBOTH);
    Bind(wxEVT_TIMER, &TCountDown::OnTimer, this, m_ticker.GetId());
}

TCountDown::~TCountDown() { m_ticker.Stop(); }

int TCountDown::ShowModal()
{
    m_startTime = GetProgramTime() / 1000.0;
    m_running = true;
    m_ticker.Start(kTickMs);
    const int result = wxDialog::ShowModal();
    m_ticker.Stop();
    m_running = false;
    return result;
}

bool TCountDown::Tick(double nowUs)
{
    if (m_startTime < 0.0 || !m_running || m_duration <= 0.0) return false;
    const double remaining = (m_duration - (nowUs / 1000.0 - m_startTime)) / 1000.0;
    if (remaining > 0.0) {
        const wxString label = wxString::Format("%.1f", remaining);
        if (m_button->GetLabel() != label) m_button->SetLabel(label);
        return false;
    }
    m_running = false;
    m_button->SetLabel("OK");
    return true;
}

void TCountDown::Advance()
{
    if (IsModal() && m_running && m_stopCheck && m_stopCheck()) {
        m_running = false;
        EndModal(wxID_ABORT);
        return;
    }
    if (Tick(GetProgramTime()) && IsModal()) EndModal(wxID_OK);
}

void TCountDown::OnIdle(wxIdleEvent& event)
{
    event.Skip();
    Advance();
}

void TCountDown::OnTimer(wxTimerEvent& /*event*/) { Advance(); }
