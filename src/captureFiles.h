#pragma once

#include <wx/string.h>

#include <cstdint>
#include <vector>

// File and folder helpers of the capture set: trial numbering from the files
// already in a folder, capture-name checks, the paths a device will write and
// the texts of the capture file list. Display-free; GUI thread.

// Joins base, the path separator and name; creates that last level (0777)
// when it does not exist. True when the folder exists afterwards.
bool CreateSubFolder(const wxString& base, const wxString& name);

// The trial number a file name carries: the digits that end its base name
// (folder and extension removed), at least four of them as "_%.04d" writes.
// -1 when there are fewer than four, or the number cannot be a trial (past
// the 32-bit range the devices take).
int64_t ParseTrialNumber(const wxString& baseName);

// The next free trial number for a capture name: one past the largest number
// of the plain files in folder whose name begins with name and ends with the
// pattern's suffix ("*.qvd"; "*" alone takes every file); 1 when none. The
// match is literal, so wildcard characters in the name match only themselves.
// A folder that does not exist holds no trial (1). -1, with error set, when
// the folder cannot be read: numbering from 1 there could replace recordings.
int64_t GetNextTrialIndex(const wxString& folder, const wxString& name, const wxString& pattern,
                          wxString* error = nullptr);

// The capture name becomes part of file names unchanged: refuses one that
// would leave the capture folder (a path separator) or holds control
// characters. Empty reason when accepted.
bool IsValidCaptureName(const wxString& name, wxString& reason);

// Largest trial number a device accepts.
constexpr int64_t kMaxTrialIndex = 0x7fffffff;

// The files a device's output for one trial will occupy: the recording and,
// when exported, its text beside it in the export folder.
struct TrialPaths {
    wxString recording;
    wxString textExport;  // empty without export
};
TrialPaths MakeTrialPaths(const wxString& folder, const wxString& captureName,
                          const wxString& fileSafeDeviceName, int64_t trial, bool exportText,
                          const wxString& exportFolder, const wxString& textExtension);

// The paths of the list that exist now; for a text export whose lines are still
// being written, the file that holds them.
std::vector<wxString> ExistingFiles(const std::vector<wxString>& paths);

// Removes each path that exists and flushes its folder to disk; false, with the
// failures in error, when one could not be removed or its removal may not last.
bool RemoveFiles(const std::vector<wxString>& paths, wxString& error);

// Capture file list cells: the size as "%.2f Kb" below 1 MB, "%.1f Mb" up to
// 1024 MB, "%.2f Gb" above; the frames as "%ld (" and the duration.
wxString FormatFileSize(double bytes);
wxString FormatFramesCell(long frames, double seconds);

// Whether nothing at all stands at path (a folder to offer to create); false
// for a file, a folder, or a path the system cannot answer for.
bool IsMissingPath(const wxString& path);

// Creates the folder and its missing parents; false, with the system's reason
// in error, when it cannot.
bool CreateFolder(const wxString& path, wxString& error);

// Why the system refuses to create a file at path: tries to create it
// exclusively and removes what it created, its folder flushed. Empty when it
// can be created (or when something is already there).
wxString FileCreationError(const wxString& path);
