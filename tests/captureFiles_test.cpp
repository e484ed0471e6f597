#include "captureFiles.h"

#include <gtest/gtest.h>
#include <wx/intl.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "support/syncLog.h"
#include "support/tempDir.h"

namespace {

class CaptureFilesTest : public TempDirTest {
protected:
    wxString Folder() const { return wxString(Dir().string()); }
    void Touch(const std::string& name, size_t bytes = 0)
    {
        std::ofstream out(Path(name), std::ios::binary);
        out << std::string(bytes, 'x');
    }
    int64_t Next(const wxString& name)
    {
        return std::max(GetNextTrialIndex(Folder(), name, "*.mov"),
                        GetNextTrialIndex(Folder(), name, "*.qvd"));
    }
};

TEST_F(CaptureFilesTest, NumberingContinuesAfterRecordingsAndVideos)
{
    EXPECT_EQ(Next("subj"), 1);
    Touch("subjBoard_0003.qvd");
    Touch("subj_cam_1_0004.mov");
    Touch("subj_notes.qvd");      // letters at the end: ignored
    Touch("subjBoard_0009.txt");  // not a recording
    EXPECT_EQ(Next("subj"), 5);
    // Prefix match: another capture beginning with this name counts too.
    Touch("subj2Board_0009.qvd");
    EXPECT_EQ(Next("subj"), 10);
    EXPECT_EQ(Next("other"), 1);
}

TEST_F(CaptureFilesTest, NumbersPastFourDigitsAreReadWhole)
{
    // Reading only the last four digits would restart at 1 and replace trial 1.
    Touch("sBoard_0999.qvd");
    EXPECT_EQ(Next("s"), 1000);
    Touch("sBoard_10000.qvd");
    EXPECT_EQ(Next("s"), 10001);
    EXPECT_EQ(ParseTrialNumber("sBoard_0012"), 12);
    EXPECT_EQ(ParseTrialNumber("sBoard_012"), -1);
    EXPECT_EQ(ParseTrialNumber("s-123"), -1);
    EXPECT_EQ(ParseTrialNumber("123"), -1);
    EXPECT_EQ(ParseTrialNumber("s_2147483647"), 2147483647);
    EXPECT_EQ(ParseTrialNumber("s_2147483648"), -1);
    EXPECT_EQ(ParseTrialNumber("s_99999999999999999999999"), -1);
}

TEST_F(CaptureFilesTest, OddCharactersInTheNameMatchLiterally)
{
    Touch("a*bDev_0007.qvd");
    Touch("axbDev_0020.qvd");
    Touch("[x] ?&$'Dev_0002.qvd");
    EXPECT_EQ(Next("a*b"), 8);
    EXPECT_EQ(Next("axb"), 21);
    EXPECT_EQ(Next("[x] ?&$'"), 3);
    EXPECT_EQ(Next("a?b"), 1);
}

TEST_F(CaptureFilesTest, FoldersAreNotTrials)
{
    std::filesystem::create_directory(Path("subjBoard_0050.qvd"));
    EXPECT_EQ(Next("subj"), 1);
}

TEST_F(CaptureFilesTest, MissingFolderStartsAtOneUnreadableFolderIsAnError)
{
    EXPECT_EQ(GetNextTrialIndex(Folder() + "/absent", "subj", "*.qvd"), 1);
    Touch("plain");
    wxString error;
    EXPECT_EQ(GetNextTrialIndex(Folder() + "/plain", "subj", "*.qvd", &error), -1);
    EXPECT_FALSE(error.empty());
}

TEST_F(CaptureFilesTest, CaptureNamesThatLeaveTheFolderAreRefused)
{
    wxString reason;
    EXPECT_TRUE(IsValidCaptureName(wxString::FromUTF8("subj 1 (\xc3\xa9t\xc3\xa9)*"), reason));
    EXPECT_TRUE(reason.empty());
    EXPECT_FALSE(IsValidCaptureName("../subj", reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(IsValidCaptureName("a\\b", reason));
    EXPECT_FALSE(IsValidCaptureName(wxString("a\tb"), reason));
}

TEST_F(CaptureFilesTest, SubFolderIsCreatedOnce)
{
    EXPECT_TRUE(CreateSubFolder(Folder(), "Capture Files"));
    EXPECT_TRUE(std::filesystem::is_directory(Path("Capture Files")));
    EXPECT_TRUE(CreateSubFolder(Folder(), "Capture Files"));
    EXPECT_FALSE(CreateSubFolder(Folder() + "/missing", "x"));  // only the last level
}

TEST_F(CaptureFilesTest, FolderAndFileRefusalsCarryTheSystemsReason)
{
    Touch("plain", 3);
    EXPECT_FALSE(IsMissingPath(Folder()));
    EXPECT_FALSE(IsMissingPath(Folder() + "/plain"));
    EXPECT_TRUE(IsMissingPath(Folder() + "/new/trials"));
    wxString error;
    EXPECT_FALSE(CreateFolder(Folder() + "/plain/trials", error));
    EXPECT_NE(error.Find("Not a directory"), wxNOT_FOUND) << error;
    StartSyncLog(Dir().string());
    EXPECT_TRUE(CreateFolder(Folder() + "/new/trials", error));
    EXPECT_TRUE(std::filesystem::is_directory(Path("new/trials")));
    // Each new level is named on disk in the folder above it.
    std::set<std::string> flushed;
    for (const SyncEvent& event : TakeSyncLog()) flushed.insert(event.path);
    EXPECT_EQ(flushed, (std::set<std::string>{std::filesystem::canonical(Dir()),
                                              std::filesystem::canonical(Path("new"))}));

    EXPECT_EQ(FileCreationError(Folder() + "/plain/x.qvd"), "Not a directory");
    EXPECT_EQ(FileCreationError(Folder() + "/" + wxString('n', 300)), "File name too long");
    // A file that can be created leaves nothing behind, after a power cut too, or says
    // why it may; one already there is kept.
    for (const bool isRefused : {false, true}) {
        StartSyncLog(Dir().string(), true);
        if (isRefused) FailNextSync(std::filesystem::canonical(Dir()), EIO);
        EXPECT_EQ(FileCreationError(Folder() + "/free.qvd"),
                  isRefused ? wxString("a flush of its folder to disk failed, it may come back after a "
                                       "power cut : ") + std::strerror(EIO)
                            : wxString());
        const std::vector<SyncEvent> log = TakeSyncLog();
        EXPECT_TRUE(isRefused || FilesAfterCut(log, log.size()).count(std::filesystem::canonical(Dir()) / "free.qvd") == 0);
    }
    EXPECT_FALSE(std::filesystem::exists(Path("free.qvd")));
    EXPECT_TRUE(FileCreationError(Folder() + "/plain").empty());
    EXPECT_EQ(std::filesystem::file_size(Path("plain")), 3u);
}

TEST_F(CaptureFilesTest, TrialPathsAndRemoval)
{
    std::filesystem::create_directory(Path("export"));
    const wxString exportFolder = wxString(Path("export").string());
    TrialPaths paths = MakeTrialPaths(Folder(), "subj", "Board", 3, true, exportFolder, ".cp");
    EXPECT_EQ(paths.recording, Folder() + "/subjBoard_0003.qvd");
    EXPECT_EQ(paths.textExport, exportFolder + "/subjBoard_0003.cp");
    EXPECT_TRUE(
        MakeTrialPaths(Folder(), "s", "B", 1, false, exportFolder, ".txt").textExport.empty());
    EXPECT_EQ(MakeTrialPaths(Folder(), "s", "B", 12345, false, "", "").recording,
              Folder() + "/sB_12345.qvd");

    Touch("subjBoard_0003.qvd");
    EXPECT_EQ(ExistingFiles({paths.recording, paths.textExport, ""}).size(), 1u);
    wxString error;
    EXPECT_TRUE(RemoveFiles({paths.recording, paths.textExport}, error));
    EXPECT_TRUE(ExistingFiles({paths.recording}).empty());
}

TEST(CaptureFileListText, SizesAndFrames)
{
    EXPECT_EQ(FormatFileSize(512 * 1024.0), "512.00 Kb");
    EXPECT_EQ(FormatFileSize(1024 * 1024.0), "1.0 Mb");
    EXPECT_EQ(FormatFileSize(1024 * 1024 * 1024.0), "1024.0 Mb");
    EXPECT_EQ(FormatFileSize(2048 * 1024 * 1024.0), "2.00 Gb");
    EXPECT_EQ(FormatFramesCell(1500, 30.0), "1500 (30.000 s");
}

}  // namespace
