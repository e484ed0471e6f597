#include "support/wxAssert.h"

#include <gtest/gtest.h>
#include <wx/debug.h>
#include <wx/string.h>

namespace {

void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                  const wxString& msg)
{
    ADD_FAILURE_AT(file.utf8_str().data(), line)
        << "wx assert in " << func.utf8_str().data() << ": " << cond.utf8_str().data() << " "
        << msg.utf8_str().data();
}

}  // namespace

void InstallWxAssertFailure() { wxSetAssertHandler(FailOnAssert); }
