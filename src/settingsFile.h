#pragma once

// The settings file, replaced whole or not at all: a save writes a temporary file of
// its own beside it, flushes it to disk, renames it over the old one and flushes the folder,
// so that a kill or a power cut at any moment leaves either the old settings or the
// new ones. Start-up takes a whole temporary file that a cut save left behind.
// GUI thread (the frame opens one object per operation).

#include <wx/fileconf.h>

#include <string>

class CSettingsFile : public wxFileConfig {
public:
    CSettingsFile(const wxString& appName, const wxString& vendorName, const wxString& path);
    // Writes what changed (see Commit); a failure goes to the "Errors" page.
    ~CSettingsFile() override;
    CSettingsFile(const CSettingsFile&) = delete;
    CSettingsFile& operator=(const CSettingsFile&) = delete;

    // Replaces the file when its settings differ from what is stored; true when
    // nothing needed writing too, once the stored file and its name are flushed to
    // disk. False with the reason in error.
    bool Commit(std::string& error);
    // Commit, a failure said on the "Errors" page.
    bool Flush(bool currentOnly = false) override;

    bool RenameEntry(const wxString& oldName, const wxString& newName) override;
    bool RenameGroup(const wxString& oldName, const wxString& newName) override;
    bool DeleteEntry(const wxString& key, bool deleteEmptyGroup = true) override;
    bool DeleteGroup(const wxString& key) override;
    bool DeleteAll() override;

protected:
    bool DoWriteString(const wxString& key, const wxString& value) override;
    bool DoWriteLong(const wxString& key, long value) override;
    bool DoWriteBinary(const wxString& key, const wxMemoryBuffer& buffer) override;

private:
    // Marks a save due; passes result on.
    bool Touch(bool result)
    {
        m_isTouched = true;
        return result;
    }

    const std::string m_path;
    bool m_isTouched = false;  // something was written or removed: a save is due
};

// Each save goes through a file of its own, "<path>.tmp." and six characters, created
// exclusively (earlier versions used "<path>.tmp" itself); its last line marks it
// whole. Saves and start-up's recovery hold the folder locked, so that instances
// sharing one settings file never take each other's temporary files.
std::string SettingsTempPath(const std::string& path);
constexpr const char* kSettingsEndLine = "# end of settings";

// Writes bytes to path through the temporary file (the sequence above). False, the
// old file untouched and the temporary file removed, with the reason in error.
bool ReplaceSettingsFile(const std::string& path, const std::string& bytes, std::string& error);

// The moments of a save, in order; a test stops a save at each through the hook.
enum class SettingsSaveStep { kTempOpened, kHalfWritten, kWritten, kSynced, kRenamed, kDone };
using SettingsSaveHook = void (*)(SettingsSaveStep step);
void SetSettingsSaveHook(SettingsSaveHook hook);

// What start-up found beside the settings file.
enum class SettingsRecovery {
    kNothing,         // no save was cut short
    kTookLeftOver,    // a whole temporary file replaced the settings file
    kDroppedPartial,  // a cut temporary file was removed; the settings file stands
    kLost,            // no settings file and nothing whole to take
};
// Start-up, before the file is read. note says what was done, for the user (empty
// with kNothing).
SettingsRecovery RecoverSettingsFile(const std::string& path, std::string& note);
