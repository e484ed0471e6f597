#include "settingsFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/mstream.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "process/messageQueue.h"

namespace {

std::atomic<SettingsSaveHook> g_saveHook{nullptr};

void Reached(SettingsSaveStep step)
{
    if (SettingsSaveHook hook = g_saveHook.load()) hook(step);
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// False with errno set; a missing file reads as false with ENOENT.
bool ReadWhole(const std::string& path, std::string& bytes)
{
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[65536];
    bool isOk = true;
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) isOk = false;
        if (got <= 0) break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    const int saved = errno;
    ::close(fd);  // read only: nothing to lose
    errno = saved;
    return isOk;
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// fsync retried while a signal interrupts it.
bool SyncFd(int fd)
{
    int result = 0;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool SyncFolder(const std::string& folder, std::string& error)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = ErrnoText("cannot open folder " + folder);
        return false;
    }
    const bool isSynced = SyncFd(fd);
    if (!isSynced) error = ErrnoText("cannot flush folder " + folder);
    ::close(fd);  // a folder opened for reading
    return isSynced;
}

// The file at path and its name on disk; false with the reason in error.
bool SyncStored(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = ErrnoText("cannot open " + path);
        return false;
    }
    const bool isSynced = SyncFd(fd);
    if (!isSynced) error = ErrnoText("cannot flush " + path);
    ::close(fd);  // read only: nothing to lose
    return isSynced && SyncFolder(FolderOf(path), error);
}

// Holds the settings folder locked: one save, or one start-up's look at what cut saves
// left, at a time among every instance sharing the folder. Without the lock a start-up
// would take another instance's temporary file for one a kill left behind.
class CFolderLock {
public:
    explicit CFolderLock(const std::string& folder)
        : m_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (m_fd < 0) return;
        int result = 0;
        do {
            result = ::flock(m_fd, LOCK_EX);
        } while (result != 0 && errno == EINTR);
        // A folder that cannot be locked (a file system without locks) is still used.
    }
    ~CFolderLock()
    {
        if (m_fd >= 0) ::close(m_fd);  // read only; closing releases the lock
    }
    CFolderLock(const CFolderLock&) = delete;
    CFolderLock& operator=(const CFolderLock&) = delete;

private:
    int m_fd;
};

// Creates prefix + "." + six random characters that no file had; -1 with errno set.
int CreateOwnTemp(const std::string& prefix, mode_t mode, std::string& name)
{
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // Process, time and a count mixed: distinct across instances and saves.
    static std::atomic<uint64_t> s_count{0};
    uint64_t seed = uint64_t(::getpid()) << 40 ^
                    uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (s_count.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        uint64_t bits = seed ^ (seed >> 29);
        name = prefix + ".";
        for (int i = 0; i < 6; ++i, bits /= (sizeof kChars - 1))
            name += kChars[bits % (sizeof kChars - 1)];
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;  // errno: EEXIST
}

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The temporary files that cut saves left beside path: the earlier versions' fixed
// name and this version's own per save, oldest first.
std::vector<std::string> LeftTemps(const std::string& path)
{
    const std::string folder = FolderOf(path);
    const std::string prefix = NameOf(SettingsTempPath(path));
    std::vector<std::pair<int64_t, std::string>> found;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            const bool isOld = name == prefix;
            const bool isOwn = name.size() == prefix.size() + 7 &&
                               name.compare(0, prefix.size() + 1, prefix + ".") == 0;
            if (!isOld && !isOwn) continue;
            const std::string whole = folder + "/" + name;
            struct stat info {};
            if (::stat(whole.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
            found.emplace_back(int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                               whole);
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> temps;
    for (auto& entry : found) temps.push_back(std::move(entry.second));
    return temps;
}

// The settings without the end line, wherever the parser kept it.
std::string WithoutEndLine(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + start, end - start);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (line != kSettingsEndLine) result.append(text, start, end - start);
        start = end;
    }
    return result;
}

bool EndsWithEndLine(const std::string& text)
{
    const std::string tail = std::string("\n") + kSettingsEndLine + "\n";
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string SettingsTempPath(const std::string& path) { return path + ".tmp"; }

void SetSettingsSaveHook(SettingsSaveHook hook) { g_saveHook.store(hook); }

bool ReplaceSettingsFile(const std::string& path, const std::string& bytes, std::string& error)
{
    const CFolderLock lock(FolderOf(path));
    // The new file keeps the old one's permissions.
    mode_t mode = 0666;
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;
    // A name of its own, created exclusively: two instances saving at once never
    // write into one file.
    std::string temp;
    const int fd = CreateOwnTemp(SettingsTempPath(path), mode, temp);
    if (fd < 0) {
        error = ErrnoText("cannot create " + SettingsTempPath(path) + ".XXXXXX");
        return false;
    }
    bool isOk = true;
    Reached(SettingsSaveStep::kTempOpened);
    const size_t half = bytes.size() / 2;
    isOk = isOk && WriteAll(fd, bytes.data(), half);
    if (isOk) Reached(SettingsSaveStep::kHalfWritten);
    isOk = isOk && WriteAll(fd, bytes.data() + half, bytes.size() - half);
    if (!isOk) error = ErrnoText("cannot write " + temp);
    if (isOk) {
        Reached(SettingsSaveStep::kWritten);
        if (!SyncFd(fd)) {
            isOk = false;
            error = ErrnoText("cannot flush " + temp);
        }
    }
    if (::close(fd) != 0 && isOk) {
        isOk = false;
        error = ErrnoText("cannot close " + temp);
    }
    if (!isOk) {
        ::unlink(temp.c_str());
        return false;
    }
    Reached(SettingsSaveStep::kSynced);
    // Over the old file, never after deleting it: at every moment one whole file is there.
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = ErrnoText("cannot rename " + temp + " to " + path);
        ::unlink(temp.c_str());
        return false;
    }
    Reached(SettingsSaveStep::kRenamed);
    if (!SyncFolder(FolderOf(path), error)) return false;
    Reached(SettingsSaveStep::kDone);
    return true;
}

SettingsRecovery RecoverSettingsFile(const std::string& path, std::string& note)
{
    note.clear();
    // No save of another instance is under way meanwhile: every temporary file there
    // is one a cut save left.
    const CFolderLock lock(FolderOf(path));
    const std::vector<std::string> temps = LeftTemps(path);
    // The newest whole copy holds the last settings written; the others go.
    std::string whole;
    for (auto temp = temps.rbegin(); temp != temps.rend() && whole.empty(); ++temp) {
        std::string bytes;
        if (ReadWhole(*temp, bytes) && EndsWithEndLine(bytes)) whole = *temp;
    }
    for (const std::string& temp : temps)
        if (temp != whole) ::unlink(temp.c_str());
    struct stat info {};
    const bool hasFile = ::stat(path.c_str(), &info) == 0;
    if (!whole.empty()) {
        std::string error;
        if (::rename(whole.c_str(), path.c_str()) == 0 && SyncFolder(FolderOf(path), error)) {
            note =
                "The last save of the settings was cut short after it was written whole: "
                "the settings are taken from " +
                whole + "\n";
            return SettingsRecovery::kTookLeftOver;
        }
        if (error.empty()) error = ErrnoText("cannot rename " + whole + " to " + path);
        note = "The last save of the settings was cut short; its whole copy " + whole +
               " could not be taken (" + error + ")" +
               (hasFile ? ": the settings saved before it are used\n"
                        : ": the settings were lost, defaults are used\n");
        return hasFile ? SettingsRecovery::kDroppedPartial : SettingsRecovery::kLost;
    }
    if (!temps.empty()) {
        if (hasFile) {
            note =
                "The last save of the settings was cut short before it was whole: the "
                "settings saved before it are used\n";
            return SettingsRecovery::kDroppedPartial;
        }
        note =
            "The settings were lost: their first save was cut short before it was whole. "
            "Defaults are used\n";
        return SettingsRecovery::kLost;
    }
    if (hasFile) return SettingsRecovery::kNothing;
    // Saves of earlier versions deleted the file before renaming their own temporary
    // copy (the file name and six characters): one left means the settings sit there.
    const std::string folder = FolderOf(path);
    const std::string name = NameOf(path);
    std::vector<std::string> strays;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string found = entry->d_name;
            if (found.size() == name.size() + 6 && found.compare(0, name.size(), name) == 0)
                strays.push_back(folder + "/" + found);
        }
        ::closedir(dir);
    }
    if (strays.empty()) return SettingsRecovery::kNothing;  // a first start
    std::sort(strays.begin(), strays.end());
    note = "The settings file " + path + " is missing: an interrupted save left " + strays[0] +
           ", which may hold the settings (rename it to " + name +
           " before the next start to use it). Defaults are used\n";
    return SettingsRecovery::kLost;
}

CSettingsFile::CSettingsFile(const wxString& appName, const wxString& vendorName,
                             const wxString& path)
    : wxFileConfig(appName, vendorName, path, wxEmptyString,
                   wxCONFIG_USE_LOCAL_FILE | wxCONFIG_USE_GLOBAL_FILE, wxConvAuto()),
      m_path(path.utf8_string())
{
    // The toolkit's own save deletes the old file before renaming its copy: ours replaces.
    DisableAutoSave();
}

CSettingsFile::~CSettingsFile() { Flush(); }

bool CSettingsFile::Flush(bool)
{
    std::string error;
    if (Commit(error)) return true;
    g_messages.Post(Severity::Error, "Settings not saved to " + m_path + ": " + error + "\n");
    return false;
}

bool CSettingsFile::RenameEntry(const wxString& oldName, const wxString& newName)
{
    return Touch(wxFileConfig::RenameEntry(oldName, newName));
}

bool CSettingsFile::RenameGroup(const wxString& oldName, const wxString& newName)
{
    return Touch(wxFileConfig::RenameGroup(oldName, newName));
}

bool CSettingsFile::DeleteEntry(const wxString& key, bool deleteEmptyGroup)
{
    return Touch(wxFileConfig::DeleteEntry(key, deleteEmptyGroup));
}

bool CSettingsFile::DeleteGroup(const wxString& key)
{
    return Touch(wxFileConfig::DeleteGroup(key));
}

bool CSettingsFile::DeleteAll() { return Touch(wxFileConfig::DeleteAll()); }

bool CSettingsFile::DoWriteString(const wxString& key, const wxString& value)
{
    return Touch(wxFileConfig::DoWriteString(key, value));
}

bool CSettingsFile::DoWriteLong(const wxString& key, long value)
{
    return Touch(wxFileConfig::DoWriteLong(key, value));
}

bool CSettingsFile::DoWriteBinary(const wxString& key, const wxMemoryBuffer& buffer)
{
    return Touch(wxFileConfig::DoWriteBinary(key, buffer));
}

// Only an object that changed something writes, as the toolkit's own save did; one
// whose changes left the settings as stored writes nothing either.
bool CSettingsFile::Commit(std::string& error)
{
    if (!m_isTouched) return true;
    m_isTouched = false;
    wxMemoryOutputStream stream;
    if (!Save(stream)) {
        error = "cannot format the settings";
        return false;
    }
    const size_t size = stream.GetSize();
    std::string text(size, '\0');
    if (size > 0) stream.CopyTo(text.data(), size);
    text = WithoutEndLine(text);
    std::string stored;
    const bool hasFile = ReadWhole(m_path, stored) || errno != ENOENT;
    if (!hasFile && text.empty()) return true;
    // Stored as they are, but an earlier save may have failed before its flushes.
    if (hasFile && WithoutEndLine(stored) == text) return SyncStored(m_path, error);
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += kSettingsEndLine;
    text += '\n';
    return ReplaceSettingsFile(m_path, text, error);
}
