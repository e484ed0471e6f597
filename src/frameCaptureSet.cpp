#include "DravonetMain.h"

#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/stdpaths.h>
#include <wx/textdlg.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "analog/analogDevice.h"
#include "analog/analogFile.h"
#include "captureFiles.h"
#include "framePrompts.h"

namespace {

// Why a device's recording could not be set up, as its writer met it (a file
// the folder takes but whose header the disk refuses); empty when unknown.
wxString WriterOpenError(CAnalogDevice& device)
{
    auto* controller = dynamic_cast<CAnalogFile*>(device.GetRecorder());
    const int error = controller ? controller->GetOpenError() : 0;
    return error != 0 ? wxString(std::strerror(error)) : wxString();
}

}  // namespace

void TrackerFrame::OnCreateCaptureFile(wxCommandEvent& /*event*/)
{
    if (CaptureDevices().empty()) return;
    wxTextEntryDialog dialog(this, _("Enter capture file name"), _("Capture"), m_captureName);
    dialog.Centre();
    const wxString name = dialog.ShowModal() == wxID_OK ? dialog.GetValue() : wxString();
    OpenCaptureSet(name);
}

bool TrackerFrame::OpenCaptureSet(const wxString& name)
{
    m_captureName.clear();
    m_trialIndex = 0;
    m_recordedTrials.clear();
    if (name.empty() || CaptureDevices().empty()) {
        UpdateTitle();
        return false;
    }
    wxString reason;
    if (!IsValidCaptureName(name, reason)) {
        wxLogError("%s : %s", reason, name);
        UpdateTitle();
        return false;
    }
    m_captureName = name;
    if (m_capturePath.empty()) m_capturePath = wxStandardPaths::Get().GetDocumentsDir();
    if (!EnsureCaptureFolder(m_capturePath) ||
        (m_exportAnalog && !m_exportPath.empty() && !EnsureCaptureFolder(m_exportPath))) {
        wxLogError("%s", _("Unable to create capture file(s)"));
        CloseCaptureFiles();
        return false;
    }
    // A new set continues after every trial of that name already on disk,
    // exports included, so that nothing there is replaced.
    wxString error;
    int64_t next = 1;
    for (const auto& [folder, pattern] : {std::make_pair(m_capturePath, wxString("*.mov")),
                                          std::make_pair(m_capturePath, wxString("*.qvd")),
                                          std::make_pair(m_exportPath, wxString("*"))}) {
        if (folder.empty()) continue;
        next = std::max(next, GetNextTrialIndex(folder, name, pattern, &error));
        if (!error.empty()) break;
    }
    if (error.empty() && next > kMaxTrialIndex)
        error = wxString::Format(_("No trial number left for %s"), name);
    if (error.empty()) {
        m_trialIndex = next;
        if (CreateCaptureFiles()) {
            UpdateTitle();
            return true;
        }
    } else {
        SetErrorMessage(error, true);
    }
    wxLogError("%s", _("Unable to create capture file(s)"));
    CloseCaptureFiles();
    return false;
}

bool TrackerFrame::EnsureCaptureFolder(const wxString& folder)
{
    if (!IsMissingPath(folder)) return true;  // a folder, or what the numbering reports
    const wxString question =
        wxString::Format(_("The folder %s does not exist. Do you want to create it?"), folder);
    if (!ShellPrompts().confirm(this, question)) {
        SetErrorMessage(wxString::Format(_("The folder %s does not exist"), folder), true);
        return false;
    }
    wxString reason;
    if (CreateFolder(folder, reason)) return true;
    SetErrorMessage(wxString::Format(_("Unable to create the folder %s : %s"), folder, reason),
                    true);
    return false;
}

bool TrackerFrame::CheckCaptureFile()
{
    const std::vector<CAnalogDevice*> devices = CaptureDevices();
    if (devices.empty()) return false;
    // Compared as they stand in file names: two names that differ only in
    // characters a file name cannot hold would share their files.
    std::set<wxString> names;
    for (CAnalogDevice* device : devices) {
        if (!names.insert(device->GetFileSafeName()).second)
            wxLogError(_("Device name already exists : %s. You must change device name"),
                       device->GetDeviceName());
    }
    return names.size() == devices.size();
}

bool TrackerFrame::CreateCaptureFiles()
{
    if (!CheckCaptureFile()) return false;
    bool isAnyCreated = false;
    for (CAnalogDevice* device : CaptureDevices()) {
        const TrialPaths paths =
            MakeTrialPaths(m_capturePath, m_captureName, device->GetFileSafeName(), m_trialIndex,
                           m_exportAnalog, m_exportPath, device->GetExportExtension());
        // The writer replaces what it opens: a recording already there is kept.
        const std::vector<wxString> existing = ExistingFiles({paths.recording, paths.textExport});
        bool isCreated = false;
        if (!existing.empty()) {
            SetErrorMessage(
                _("Capture file already exists, it is not replaced : ") + existing.front(), false);
        } else {
            isCreated = device->SetupWriter(
                m_capturePath, m_captureName, static_cast<int>(m_trialIndex), m_exportAnalog,
                m_exportPath, m_captureUseThread, m_captureQueueDepth, m_capturePriority);
        }
        if (!isCreated) {
            device->StopRecording();  // no output of an older trial stays behind
            wxString text = _("Error creating capture file for ") + device->GetDeviceName();
            // The user can mend a folder or a name only knowing what the system (or the
            // device, in its own words) said.
            const wxString own = device->GetRecordingError();
            wxString reason =
                existing.empty() && own.empty() ? FileCreationError(paths.recording) : wxString();
            if (reason.empty() && existing.empty() && own.empty()) reason = WriterOpenError(*device);
            if (!own.empty()) text += " : " + own;
            else if (!reason.empty()) text += " : " + paths.recording + " : " + reason;
            SetErrorMessage(text, true);
            continue;
        }
        isAnyCreated = true;
        AppendMessage(
            wxString::Format(_("Creating capture file : %s\n"), device->GetWriterFileName()));
    }
    return isAnyCreated;
}

bool TrackerFrame::CreateMissingTrialFiles()
{
    if (m_captureName.empty() || m_capturing) return true;
    const std::vector<CAnalogDevice*> devices = CaptureDevices();
    std::vector<CAnalogDevice*> missing;
    for (CAnalogDevice* device : devices)
        if (device->GetWriterFileName().empty()) missing.push_back(device);
    if (missing.empty()) return true;
    if (missing.size() < devices.size()) {
        // The trial is open on the others: these join it, or the start asks.
        for (CAnalogDevice* device : missing) JoinCaptureSet(device);
        return true;
    }
    // Without automatic numbering "Next capture File" opens the next trial.
    if (!m_captureAutoFile) return true;
    // No device holds an output: the stop could not create the next trial's
    // files (a full disk), or a deleted trial's could not be created again.
    int64_t trial = m_trialIndex;
    bool isTaken = !m_recordedTrials.empty() && m_recordedTrials.back().trial >= trial;
    for (CAnalogDevice* device : devices) {
        const TrialPaths paths =
            MakeTrialPaths(m_capturePath, m_captureName, device->GetFileSafeName(), trial,
                           m_exportAnalog, m_exportPath, device->GetExportExtension());
        isTaken = isTaken || !ExistingFiles({paths.recording, paths.textExport}).empty();
    }
    if (isTaken) ++trial;
    if (trial > kMaxTrialIndex) {
        SetErrorMessage(wxString::Format(_("No trial number left for %s"), m_captureName), true);
        return false;
    }
    const int64_t current = m_trialIndex;
    m_trialIndex = trial;
    if (CreateCaptureFiles()) {
        UpdateTitle();
        return true;
    }
    m_trialIndex = current;  // each device has said why its file could not be created
    return false;
}

void TrackerFrame::OnNextCapture(wxCommandEvent& /*event*/)
{
    if (m_trialIndex >= kMaxTrialIndex) {
        SetErrorMessage(wxString::Format(_("No trial number left for %s"), m_captureName), true);
        return;
    }
    ++m_trialIndex;
    if (CreateCaptureFiles())
        UpdateTitle();
    else
        --m_trialIndex;  // no file of that trial exists: its number stays free
}

int TrackerFrame::DeleteTrialFiles()
{
    const std::vector<CAnalogDevice*> devices = CaptureDevices();
    std::vector<wxString> files;
    for (CAnalogDevice* device : devices) {
        device->FinishRecording();
        files.push_back(device->GetWriterFileName());
        files.push_back(device->GetExportFileName());
        device->StopRecording();
    }
    DeleteCaptureFiles(files);
    return static_cast<int>(devices.size());
}

void TrackerFrame::DeleteCaptureFiles(const std::vector<wxString>& files)
{
    for (const wxString& file : ExistingFiles(files))
        AppendMessage(wxString::Format(_("Deleting file : %s\n"), file));
    wxString error;
    if (!RemoveFiles(files, error)) SetErrorMessage(_("Unable to delete ") + error, true);
}

void TrackerFrame::RemoveFileListRows(const std::vector<wxString>& files)
{
    if (!m_fileList) return;
    for (const wxString& file : files) {
        if (file.empty()) continue;
        const long row = m_fileList->FindItem(-1, wxFileName(file).GetFullName(), false);
        if (row >= 0) m_fileList->DeleteItem(row);
    }
    if (m_fileList->GetItemCount() == 0) ResetFileList();
}

void TrackerFrame::OnDeleteLastTrial(wxCommandEvent& /*event*/)
{
    if (!ConfirmDeleteLastTrial()) return;
    DeleteTrialFiles();
    if (!m_captureAutoFile) {
        // Recorded trials are closed already: only outputs never recorded went.
        UpdateTitle();
        return;
    }
    // The prepared trial went; the one before it is recorded again when this
    // set recorded it. Trials of earlier sessions are never touched.
    if (!m_recordedTrials.empty() && m_recordedTrials.back().trial == m_trialIndex - 1) {
        const std::vector<wxString> files = m_recordedTrials.back().files;
        m_recordedTrials.pop_back();
        DeleteCaptureFiles(files);
        RemoveFileListRows(files);
        --m_trialIndex;
    }
    CreateCaptureFiles();
    UpdateTitle();
}

void TrackerFrame::CloseCaptureFiles()
{
    m_captureName.clear();
    m_trialIndex = 0;
    m_recordedTrials.clear();
    std::vector<wxString> unrecorded;
    for (CAnalogDevice* device : CaptureDevices()) {
        auto* controller = dynamic_cast<CAnalogFile*>(device->GetRecorder());
        // Only outputs that never received a frame are deleted: a run still
        // going is finished and kept.
        const bool hasRun = device->IsRecording() || device->GetRecordedFrames() > 0 ||
                            (controller && controller->NeedsFinish());
        if (!hasRun) {
            unrecorded.push_back(device->GetWriterFileName());
            unrecorded.push_back(device->GetExportFileName());
        }
        device->FinishRecording();
        device->StopRecording();
    }
    if (m_captureAutoFile) DeleteCaptureFiles(unrecorded);
    m_capturing = false;
    m_rebuildViewGrid = true;  // a run finished here unlocks the device rows
    UpdateTitle();
}

void TrackerFrame::OnCloseCaptureFile(wxCommandEvent& /*event*/) { CloseCaptureFiles(); }

bool TrackerFrame::ConfirmDeleteLastTrial()
{
    // What the command deletes: the outputs the devices hold and, with automatic
    // numbering, the trial this set recorded last.
    int64_t trial = m_trialIndex;
    std::vector<wxString> files;
    if (m_captureAutoFile && !m_recordedTrials.empty() &&
        m_recordedTrials.back().trial == m_trialIndex - 1) {
        trial = m_recordedTrials.back().trial;
        files = m_recordedTrials.back().files;
    } else {
        for (CAnalogDevice* device : CaptureDevices()) {
            files.push_back(device->GetWriterFileName());
            files.push_back(device->GetExportFileName());
        }
    }
    const size_t count = ExistingFiles(files).size();
    if (count == 0) return true;  // nothing on disk to lose
    return ShellPrompts().confirmDefaultNo(
        this,
        wxString::Format(_("Delete trial %lld of \"%s\"? %d file(s) will be deleted."),
                         static_cast<long long>(trial), m_captureName, static_cast<int>(count)));
}

void TrackerFrame::JoinCaptureSet(CAnalogDevice* device)
{
    // Outputs closed after a trial (automatic numbering off) wait for "Next
    // capture File", which opens every device's; so does a set none of whose
    // devices holds one.
    if (!device || m_captureName.empty() || m_capturing || !device->GetWriterFileName().empty())
        return;
    bool isTrialOpen = false;
    for (CAnalogDevice* other : CaptureDevices()) {
        if (other == device) continue;
        isTrialOpen = isTrialOpen || !other->GetWriterFileName().empty();
        if (other->GetFileSafeName() == device->GetFileSafeName()) {
            wxLogError(_("Device name already exists : %s. You must change device name"),
                       device->GetDeviceName());
            return;
        }
    }
    if (!isTrialOpen) return;
    const TrialPaths paths =
        MakeTrialPaths(m_capturePath, m_captureName, device->GetFileSafeName(), m_trialIndex,
                       m_exportAnalog, m_exportPath, device->GetExportExtension());
    const std::vector<wxString> existing = ExistingFiles({paths.recording, paths.textExport});
    wxString reason = existing.empty() ? wxString() : existing.front() + _(" exists already");
    if (reason.empty() &&
        device->SetupWriter(m_capturePath, m_captureName, static_cast<int>(m_trialIndex),
                            m_exportAnalog, m_exportPath, m_captureUseThread, m_captureQueueDepth,
                            m_capturePriority)) {
        AppendMessage(
            wxString::Format(_("Creating capture file : %s\n"), device->GetWriterFileName()));
        return;
    }
    const wxString openError = WriterOpenError(*device);
    device->StopRecording();
    if (reason.empty()) reason = device->GetRecordingError();
    if (reason.empty()) {
        const wxString systemReason = FileCreationError(paths.recording);
        reason = paths.recording + " : " + (systemReason.empty() ? openError : systemReason);
    }
    SetErrorMessage(
        _("Error creating capture file for ") + device->GetDeviceName() + " : " + reason + "\n",
        true);
}
