#include <gtest/gtest.h>
#include <wx/init.h>
#include <wx/log.h>

#include "support/wxAssert.h"

#include <cstdio>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    wxInitializer initializer(argc, argv);
    if (!initializer.IsOk()) {
        std::fprintf(stderr, "wxWidgets could not be initialised\n");
        return 1;
    }
    InstallWxAssertFailure();
    // Log output goes to stderr, so tests never wait on a dialog.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    return RUN_ALL_TESTS();
}
