#include "DravonetMain.h"

#include "frameTestSupport.h"

#include <gtest/gtest.h>
#include <wx/filedlg.h>
#include <wx/modalhook.h>

namespace {

// Answers every modal dialog with Cancel and keeps what the file dialog was given.
class FileDialogSpy : public wxModalDialogHook {
public:
    FileDialogSpy() { Register(); }
    ~FileDialogSpy() override { Unregister(); }

    int shown = 0;
    wxString directory, fileName, wildcard;

protected:
    int Enter(wxDialog* dialog) override
    {
        ++shown;
        if (auto* files = dynamic_cast<wxFileDialog*>(dialog)) {
            directory = files->GetDirectory();
            fileName = files->GetFilename();
            wildcard = files->GetWildcard();
        }
        return wxID_CANCEL;
    }
    void Exit(wxDialog*) override {}
};

using FrameFileListTest = FrameTest;

// The dialog of "open recording" starts in the capture folder and lists recordings,
// without the toolkit's complaint about a path in the default file name.
TEST_F(FrameFileListTest, OpenRecordingDialogGetsTheFolderAndTheWildcardApart)
{
    TrackerFrame* frame = MakeFrame();
    const wxString folder = wxString::FromUTF8(Dir().c_str());
    frame->m_capturePath = folder;
    FileDialogSpy spy;
    EXPECT_TRUE(frame->SelectRecordingFile().empty());  // cancelled
    ASSERT_EQ(spy.shown, 1);
    EXPECT_EQ(spy.directory, folder);
    EXPECT_TRUE(spy.fileName.empty());
    EXPECT_NE(spy.wildcard.Find("|*.qvd"), wxNOT_FOUND);
}

}  // namespace
