// The settings file is replaced whole or not at all: a save killed at any of its steps
// leaves the old settings or the new ones, and start-up takes a whole left-over copy or
// says the settings were lost.
#include "settingsFile.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "support/syncLog.h"
#include "support/tempDir.h"

namespace {

using SettingsFileTest = TempDirTest;

constexpr SettingsSaveStep kSteps[] = {
    SettingsSaveStep::kTempOpened, SettingsSaveStep::kHalfWritten, SettingsSaveStep::kWritten,
    SettingsSaveStep::kSynced,     SettingsSaveStep::kRenamed,     SettingsSaveStep::kDone};

SettingsSaveStep g_killAt = SettingsSaveStep::kDone;
void KillAtStep(SettingsSaveStep step)
{
    if (step == g_killAt) std::raise(SIGKILL);
}

// A save as the frame makes one: an object on the file, some settings written, deleted.
// Long enough that half of it is no whole file.
void Fill(CSettingsFile& file, const wxString& value)
{
    file.Write("/Group/value", value);
    for (int i = 0; i < 200; ++i) file.Write(wxString::Format("/Other/key_%d", i), value + "_more");
}

void Save(const std::string& path, const wxString& value)
{
    CSettingsFile file("Quorvane", "Morvelle", wxString::FromUTF8(path));
    Fill(file, value);
}

// The value the file holds now; "" without file.
wxString Stored(const std::string& path)
{
    if (!std::filesystem::exists(path)) return "";
    CSettingsFile file("Quorvane", "Morvelle", wxString::FromUTF8(path));
    // Every key there: a cut file would lack the last ones.
    if (file.Read("/Other/key_199", "") != file.Read("/Group/value", "") + "_more") return "cut";
    return file.Read("/Group/value", "");
}

// Temporary files of saves left beside path.
int TempsLeft(const std::string& path)
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
        count += entry.path().string().rfind(SettingsTempPath(path), 0) == 0;
    return count;
}

// Runs a save of value in a child process killed at step; true when it was killed there.
bool SaveKilledAt(const std::string& path, const wxString& value, SettingsSaveStep step)
{
    const pid_t child = ::fork();
    if (child == 0) {
        g_killAt = step;
        SetSettingsSaveHook(KillAtStep);
        Save(path, value);
        ::_exit(0);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFSIGNALED(status) &&
           WTERMSIG(status) == SIGKILL;
}

}  // namespace

// The old save deleted the file before renaming its copy, unflushed: killed between the
// two, every setting was gone and the next start wrote the defaults back without a word.
TEST_F(SettingsFileTest, ASaveKilledAtEachStepLeavesOldOrNewSettings)
{
    const std::string path = Path("Quorvane.cfg").string();
    for (const bool hasOld : {true, false}) {
        for (size_t s = 0; s < std::size(kSteps); ++s) {
            SCOPED_TRACE(testing::Message() << "old file " << hasOld << ", killed at step " << s);
            std::remove(path.c_str());
            if (hasOld) Save(path, "old");
            ASSERT_EQ(Stored(path), hasOld ? "old" : "");
            ASSERT_TRUE(SaveKilledAt(path, "new", kSteps[s]));
            // The file itself is never missing nor cut once it existed.
            EXPECT_EQ(Stored(path), s < 4 ? (hasOld ? "old" : "") : "new");
            std::string note;
            const SettingsRecovery recovery = RecoverSettingsFile(path, note);
            EXPECT_EQ(TempsLeft(path), 0);
            if (s >= 4) {
                // Renamed already: nothing was cut short.
                EXPECT_EQ(recovery, SettingsRecovery::kNothing);
                EXPECT_EQ(note, "");
                EXPECT_EQ(Stored(path), "new");
            } else if (s >= 2) {
                // Written whole: the copy is taken.
                EXPECT_EQ(recovery, SettingsRecovery::kTookLeftOver);
                EXPECT_NE(note.find("the settings are taken from " + SettingsTempPath(path)),
                          std::string::npos)
                    << note;
                EXPECT_EQ(Stored(path), "new");
            } else if (hasOld) {
                EXPECT_EQ(recovery, SettingsRecovery::kDroppedPartial);
                EXPECT_NE(note.find("the settings saved before it are used"), std::string::npos)
                    << note;
                EXPECT_EQ(Stored(path), "old");
            } else {
                EXPECT_EQ(recovery, SettingsRecovery::kLost);
                EXPECT_NE(note.find("The settings were lost"), std::string::npos) << note;
                EXPECT_FALSE(std::filesystem::exists(path));
            }
            // A whole save after it works as ever.
            Save(path, "after");
            EXPECT_EQ(Stored(path), "after");
            EXPECT_EQ(RecoverSettingsFile(path, note), SettingsRecovery::kNothing);
        }
    }
}

// At every moment of a save one whole settings file is in place: the old one until the
// rename, the new one after it.
TEST_F(SettingsFileTest, TheFileIsWholeAtEveryStep)
{
    static std::string s_path;
    static std::vector<std::string> s_seen;
    s_path = Path("Quorvane.cfg").string();
    s_seen.clear();
    Save(s_path, "old");
    SetSettingsSaveHook([](SettingsSaveStep) { s_seen.push_back(Stored(s_path).utf8_string()); });
    Save(s_path, "new");
    SetSettingsSaveHook(nullptr);
    EXPECT_EQ(s_seen, (std::vector<std::string>{"old", "old", "old", "old", "new", "new"}));
}

// A save that changes nothing leaves the file alone (no rewrite), but says it saved only
// once the file and its name are on disk: an earlier save may have failed at its flushes.
TEST_F(SettingsFileTest, ASaveThatChangesNothingWritesNothing)
{
    const std::string path = Path("Quorvane.cfg").string();
    const std::string folder = std::filesystem::canonical(Dir()).string();
    const auto commit = [&path](const wxString& value) {
        CSettingsFile file("Quorvane", "Morvelle", wxString::FromUTF8(path));
        Fill(file, value);
        std::string error;
        return file.Commit(error);
    };
    StartSyncLog(folder);
    FailNextSync(Dir().filename().string(), EIO);  // the folder: the new name may be lost
    EXPECT_FALSE(commit("same"));
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    FailNextSync(Dir().filename().string(), EIO);
    EXPECT_FALSE(commit("same")) << "said saved while its name may not be on disk";
    FailNextSync("Quorvane.cfg", EIO);
    EXPECT_FALSE(commit("same"));
    StartSyncLog(folder);
    EXPECT_TRUE(commit("same"));
    std::set<std::string> flushed;
    for (const SyncEvent& event : TakeSyncLog()) flushed.insert(event.isOk ? event.path : "");
    EXPECT_EQ(flushed, (std::set<std::string>{folder + "/Quorvane.cfg", folder}));
    {
        CSettingsFile reader("Quorvane", "Morvelle", wxString::FromUTF8(path));
        EXPECT_EQ(reader.Read("/Group/value", ""), "same");
    }
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    // The end line stays one line at the end, however often the file is saved.
    Save(path, "changed");
    Save(path, "again");
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    EXPECT_EQ(all.find(kSettingsEndLine), all.size() - std::strlen(kSettingsEndLine) - 1);
    EXPECT_EQ(all.find(kSettingsEndLine), all.rfind(kSettingsEndLine));
}

// An earlier version's save killed between its delete and its rename left the settings
// in a file named after the settings file and six characters: the loss is said and
// that file named, never overwritten.
TEST_F(SettingsFileTest, AStrayCopyOfAnEarlierSaveIsNamed)
{
    const std::string path = Path("Quorvane.cfg").string();
    const std::string stray = Path("Quorvane.cfgXq3Z9a").string();
    std::ofstream(stray) << "[Group]\nvalue=kept\n";
    std::string note;
    EXPECT_EQ(RecoverSettingsFile(path, note), SettingsRecovery::kLost);
    EXPECT_NE(note.find(stray), std::string::npos) << note;
    EXPECT_TRUE(std::filesystem::exists(stray));
    // A first start (nothing there) says nothing.
    std::remove(stray.c_str());
    EXPECT_EQ(RecoverSettingsFile(path, note), SettingsRecovery::kNothing);
    EXPECT_EQ(note, "");
}

// Two instances on one settings file used one fixed temporary name: a third of their
// saves failed and readers saw the file empty or mixed. Each save now writes a file of
// its own; every save succeeds and every read finds one whole save.
TEST_F(SettingsFileTest, TwoInstancesSavingAtOnceNeverMixTheirFiles)
{
    const std::string path = Path("Quorvane.cfg").string();
    Save(path, "start");
    pid_t children[2] = {};
    for (int c = 0; c < 2; ++c) {
        if ((children[c] = ::fork()) != 0) continue;
        int failed = 0;
        for (int i = 0; i < 60; ++i) {
            CSettingsFile file("Quorvane", "Morvelle", wxString::FromUTF8(path));
            Fill(file, wxString::Format("c%d_%d", c, i));
            std::string error;
            failed += !file.Commit(error);
        }
        ::_exit(std::min(failed, 100));
    }
    int bad = 0;
    for (int running = 2; running > 0;) {
        const wxString seen = Stored(path);
        bad += seen.empty() || seen == "cut";
        for (pid_t& child : children) {
            int status = 0;
            if (child <= 0 || ::waitpid(child, &status, WNOHANG) != child) continue;
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            child = 0;
            --running;
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(TempsLeft(path), 0);
}
