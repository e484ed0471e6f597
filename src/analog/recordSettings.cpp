#include "analog/recordSettings.h"

#include <wx/confbase.h>

#include <algorithm>

#include "analog/recordFormat.h"

RecordingSettings LoadRecordingSettings(wxConfigBase* config)
{
    RecordingSettings settings;
    if (config) {
        config->Read(kKeyCaptureUseThread, &settings.useThread, settings.useThread);
        long depth = 0;  // read wide: a huge number must not wrap into range
        if (config->Read(kKeyCaptureQueueDepth, &depth))
            settings.queueDepth = static_cast<int>(
                std::clamp<long>(depth, kMinCaptureQueueDepth, kMaxCaptureQueueDepth));
        config->Read(kKeyCapturePriority, &settings.priority, settings.priority);
        config->Read(kKeyCaptureMaxTime, &settings.maxTimeSec, settings.maxTimeSec);
        config->Read(kKeyUseTextHeader, &settings.useTextHeader, settings.useTextHeader);
        config->Read(kKeyUseTextTime, &settings.useTextTime, settings.useTextTime);
    }
    g_Use_Text_Header = settings.useTextHeader;
    g_Use_Text_Time = settings.useTextTime;
    return settings;
}
