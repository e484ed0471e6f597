#pragma once

// Routes wxWidgets assertions to GoogleTest failures, so a wx assert fails
// the test that raised it.
void InstallWxAssertFailure();
