#pragma once

#include "analog/analogDevice.h"
#include "analog/analogFile.h"
#include "shellLog.h"

// The device has a recording run that is not finished: it records, or its
// duration limit ended the run and the capture stop has not written the file's
// end yet. Until then its channels and state stay as they are: a reset would
// clear the run's markers, a channel change would change its frame shape.
// GUI thread.
inline bool HasRunToFinish(const CAnalogDevice& device)
{
    if (device.IsRecording()) return true;
    const auto* controller = dynamic_cast<const CAnalogFile*>(device.GetRecorder());
    return controller && controller->NeedsFinish();
}

// Refuses a change of the device while HasRunToFinish, logging the refusal under the
// handler's name; true when refused. GUI thread.
inline bool RefusedWhileRecording(const CAnalogDevice& device, const char* function)
{
    if (!HasRunToFinish(device)) return false;
    LogRecordingRefusal(function);
    return true;
}
