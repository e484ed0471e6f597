#pragma once

#include <wx/log.h>

#include <string>
#include <vector>

// Collects the wx log messages issued while it lives, then restores the
// previous log target.
class CLogCapture : public wxLog {
public:
    CLogCapture() : m_previous(wxLog::SetActiveTarget(this)) {}
    ~CLogCapture() override { wxLog::SetActiveTarget(m_previous); }
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    int Warnings() const { return m_warnings; }
    const std::vector<std::string>& Messages() const { return m_messages; }

protected:
    void DoLogTextAtLevel(wxLogLevel level, const wxString& msg) override
    {
        if (level == wxLOG_Warning) ++m_warnings;
        m_messages.push_back(msg.ToStdString());
    }

private:
    wxLog* m_previous;
    int m_warnings = 0;
    std::vector<std::string> m_messages;
};
