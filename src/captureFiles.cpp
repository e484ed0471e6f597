#include "captureFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/filename.h>
#include <wx/intl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "analog/formatTime.h"
#include "analog/recordFormat.h"

namespace {

constexpr size_t kTrialDigits = 4;

std::filesystem::path ToPath(const wxString& text)
{
    return std::filesystem::path(static_cast<const char*>(text.fn_str()));
}

wxString FromPath(const std::filesystem::path& path)
{
    return wxString(path.native().c_str(), *wxConvFileName);
}

bool IsDigit(wxUniChar c) { return c >= '0' && c <= '9'; }

}  // namespace

bool CreateSubFolder(const wxString& base, const wxString& name)
{
    const wxString path = base + wxFileName::GetPathSeparator() + name;
    if (wxFileName::DirExists(path)) return true;
    const wxScopedCharBuffer native = path.fn_str();
    if (!native || ::mkdir(native.data(), 0777) != 0) return wxFileName::DirExists(path);
    SyncFolder(base);  // a power cut keeps the new folder, and the recordings it will hold
    return true;
}

int64_t ParseTrialNumber(const wxString& baseName)
{
    size_t digits = 0;
    for (auto it = baseName.rbegin(); it != baseName.rend() && IsDigit(*it); ++it) ++digits;
    if (digits < kTrialDigits) return -1;
    int64_t number = 0;
    for (size_t i = baseName.length() - digits; i < baseName.length(); ++i) {
        number = number * 10 + (baseName[i].GetValue() - '0');
        if (number > kMaxTrialIndex) return -1;  // no trial of ours carries it
    }
    return number;
}

int64_t GetNextTrialIndex(const wxString& folder, const wxString& name, const wxString& pattern,
                          wxString* error)
{
    // "*.qvd": any text between the capture name and the suffix.
    const wxString suffix = pattern.StartsWith("*") ? pattern.Mid(1) : pattern;
    std::error_code status;
    const std::filesystem::path folderPath = ToPath(folder);
    if (!std::filesystem::exists(folderPath, status) && !status) return 1;
    std::filesystem::directory_iterator it(folderPath, status);
    int64_t largest = 0;
    for (; !status && it != std::filesystem::directory_iterator(); it.increment(status)) {
        std::error_code typeStatus;
        if (!it->is_regular_file(typeStatus)) continue;
        const wxString fileName = FromPath(it->path().filename());
        if (!fileName.StartsWith(name) || !fileName.EndsWith(suffix)) continue;
        if (fileName.length() < name.length() + suffix.length()) continue;
        wxString baseName;
        wxFileName::SplitPath(fileName, nullptr, &baseName, nullptr);
        const int64_t number = ParseTrialNumber(baseName);
        if (number > largest) largest = number;
    }
    if (status) {
        if (error)
            *error = wxString::Format(_("Unable to read the capture folder %s : %s"), folder,
                                      wxString(status.message()));
        return -1;
    }
    return largest + 1;
}

bool IsValidCaptureName(const wxString& name, wxString& reason)
{
    reason.clear();
    for (const wxUniChar c : name) {
        const auto code = c.GetValue();
        if (c == '/' || c == '\\') {
            reason = _("A capture name cannot contain a folder separator");
            return false;
        }
        if (code < 0x20 || code == 0x7f) {
            reason = _("A capture name cannot contain control characters");
            return false;
        }
    }
    return true;
}

TrialPaths MakeTrialPaths(const wxString& folder, const wxString& captureName,
                          const wxString& fileSafeDeviceName, int64_t trial, bool exportText,
                          const wxString& exportFolder, const wxString& textExtension)
{
    TrialPaths paths;
    paths.recording =
        MakeRecordFileName(folder, captureName, fileSafeDeviceName, static_cast<int>(trial));
    // The writer exports only into a folder that exists.
    if (exportText && !exportFolder.empty() && wxFileName::DirExists(exportFolder))
        paths.textExport = MakeTextFileName(paths.recording, exportFolder, textExtension);
    return paths;
}

std::vector<wxString> ExistingFiles(const std::vector<wxString>& paths)
{
    std::vector<wxString> existing;
    for (const wxString& path : paths) {
        if (path.empty()) continue;
        // An export's lines wait under a name of their own until they are all on disk.
        if (wxFileName::Exists(path))
            existing.push_back(path);
        else if (wxFileName::Exists(path + kTextPartSuffix))
            existing.push_back(path + kTextPartSuffix);
    }
    return existing;
}

bool RemoveFiles(const std::vector<wxString>& paths, wxString& error)
{
    error.clear();
    const auto fail = [&error](const wxString& text) {
        if (!error.empty()) error += "\n";
        error += text;
    };
    std::vector<std::pair<wxString, wxString>> removed;  // folder, path
    for (const wxString& path : ExistingFiles(paths)) {
        const wxScopedCharBuffer native = path.fn_str();
        if (native && ::unlink(native.data()) == 0)
            removed.emplace_back(FolderOf(path), path);
        else
            fail(path + " : " + wxString(std::strerror(errno)));
    }
    // Until its folder is on disk, a removed file comes back after a power cut.
    std::vector<wxString> synced;
    for (const auto& [folder, path] : removed) {
        if (std::find(synced.begin(), synced.end(), folder) != synced.end()) continue;
        synced.push_back(folder);
        if (const int syncError = SyncFolder(folder); syncError != 0)
            for (const auto& [other, file] : removed)
                if (other == folder)
                    fail(file + " : " + _("a flush of its folder to disk failed, it may come back "
                                          "after a power cut") +
                         " : " + wxString(std::strerror(syncError)));
    }
    return error.empty();
}

wxString FormatFileSize(double bytes)
{
    const double megabytes = bytes * (1.0 / 1024.0) * (1.0 / 1024.0);
    if (megabytes > 1024.0) return wxString::Format(_("%.2f Gb"), megabytes / 1024.0);
    if (megabytes < 1.0) return wxString::Format(_("%.2f Kb"), megabytes * 1024.0);
    return wxString::Format(_("%.1f Mb"), megabytes);
}

wxString FormatFramesCell(long frames, double seconds)
{
    return wxString::Format("%ld (%s", frames, FormatTime(seconds));
}

bool IsMissingPath(const wxString& path)
{
    std::error_code status;
    const std::filesystem::file_status info = std::filesystem::symlink_status(ToPath(path), status);
    return info.type() == std::filesystem::file_type::not_found;
}

bool CreateFolder(const wxString& path, wxString& error)
{
    error.clear();
    std::error_code status;
    // The levels still missing: each new one is named in the folder above it,
    // which reaches the disk before a recording is said saved in it.
    std::vector<std::filesystem::path> missing;
    std::filesystem::path level = ToPath(path).lexically_normal();
    if (level.filename().empty()) level = level.parent_path();
    while (!level.empty() && !std::filesystem::exists(level, status) && !status) {
        missing.push_back(level);
        if (level.parent_path() == level) break;
        level = level.parent_path();
    }
    std::filesystem::create_directories(ToPath(path), status);
    if (!status) {
        for (const std::filesystem::path& made : missing)
            SyncFolder(made.has_parent_path() ? FromPath(made.parent_path()) : wxString("."));
        return true;
    }
    error = wxString(status.message());
    return false;
}

wxString FileCreationError(const wxString& path)
{
    const wxScopedCharBuffer native = path.fn_str();
    if (!native) return _("the name cannot be written in the system's encoding");
    int fd = -1;
    do {
        fd = ::open(native.data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == EEXIST ? wxString() : wxString(std::strerror(errno));
    // Only the probe's own empty file is removed, whatever its close says.
    const bool isClosed = ::close(fd) == 0;
    const int closeError = errno;
    if (::unlink(native.data()) != 0) return wxString(std::strerror(errno));
    // An empty file under a trial's name must not come back after a power cut.
    if (const int syncError = SyncFolder(FolderOf(path)); syncError != 0)
        return _("a flush of its folder to disk failed, it may come back after a power cut") +
               " : " + wxString(std::strerror(syncError));
    return isClosed ? wxString() : wxString(std::strerror(closeError));
}
