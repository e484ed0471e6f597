#include "DravonetMain.h"

#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/listctrl.h>

#include "captureFiles.h"
#include "video/videoFinisher.h"

#include <algorithm>

namespace {

struct FileListColumn {
    const char* header;
    int width;
};
constexpr FileListColumn kFileListColumns[] = {
    {"Name", 120}, {"Frames", 100}, {"Size", 70}, {"Time", 100}};

}  // namespace

void TrackerFrame::ResetFileList()
{
    if (!m_fileList) return;
    m_fileList->ClearAll();  // rows and columns
    long index = 0;
    for (const FileListColumn& column : kFileListColumns)
        m_fileList->InsertColumn(index++, wxGetTranslation(column.header), wxLIST_FORMAT_LEFT,
                                 column.width);
}

void TrackerFrame::OnClearFileList(wxCommandEvent& /*event*/) { ResetFileList(); }

bool TrackerFrame::AddFileListRow(const wxString& path, int frames, double seconds)
{
    if (path.empty() || frames <= 0 || !m_fileList) return false;
    const wxFileName file(path);
    if (!file.FileExists()) return false;
    const long count = m_fileList->GetItemCount();
    const wxString name = file.GetFullName();
    long row = m_fileList->FindItem(-1, name, false);
    long total = frames;
    if (row >= 0 && row < count) {
        // The same trial recorded again: one row, the frames added up.
        total += static_cast<long>(m_fileList->GetItemData(row));
    } else {
        row = m_fileList->InsertItem(count, name);
        if (row < 0) return false;
    }
    m_fileList->SetItemData(row, total);
    m_fileList->SetItem(row, 1, FormatFramesCell(total, seconds));
    const wxULongLong size = file.GetSize();
    if (size != wxInvalidSize) m_fileList->SetItem(row, 2, FormatFileSize(size.ToDouble()));
    const wxDateTime modified = file.GetModificationTime();
    if (modified.IsValid()) m_fileList->SetItem(row, 3, modified.Format("%X"));
    return true;
}

void TrackerFrame::UpdateFinishedVideoRows()
{
    const std::vector<FinishedVideo> finished = CVideoFinisher::Instance().TakeFinished();
    for (const FinishedVideo& video : finished) {
        // Closed, readable and flushed to the disk: now it is saved.
        if (video.frames > 0)
            AppendMessage(_("Saving data to : ") + video.name +
                          (video.endNote.empty() ? wxString() : " : " + video.endNote) + "\n");
        if (!m_fileList) continue;
        const wxFileName file(video.name);
        const long row = m_fileList->FindItem(-1, file.GetFullName(), false);
        if (row < 0) continue;
        // The row was listed at the stop with the frames the video was to have.
        const long listed = static_cast<long>(video.listedFrames);
        const long total = std::max(0L, static_cast<long>(m_fileList->GetItemData(row)) - listed +
                                            static_cast<long>(video.frames));
        if (total == 0) {
            // Nothing of it can be read: there is no file to list.
            m_fileList->DeleteItem(row);
            continue;
        }
        m_fileList->SetItemData(row, total);
        m_fileList->SetItem(row, 1, FormatFramesCell(total, video.seconds));
        const wxULongLong size = file.GetSize();
        if (size != wxInvalidSize) m_fileList->SetItem(row, 2, FormatFileSize(size.ToDouble()));
        const wxDateTime modified = file.GetModificationTime();
        if (modified.IsValid()) m_fileList->SetItem(row, 3, modified.Format("%X"));
    }
}

wxString TrackerFrame::SelectRecordingFile()
{
    // The player's later relative look-ups start from the capture folder.
    if (!m_capturePath.empty() && wxFileName::DirExists(m_capturePath))
        wxFileName::SetCwd(m_capturePath);
    // The folder and the wildcard go separately: a default file name holds no path.
    wxFileDialog dialog(nullptr, _("Open Quorvane file"), m_capturePath, wxEmptyString,
                        _("Quorvane files") + " (*.qvd)|*.qvd", wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() == wxID_CANCEL) return wxString();
    wxFileName chosen(dialog.GetPath());
    chosen.MakeAbsolute();
    return chosen.GetFullPath();
}
