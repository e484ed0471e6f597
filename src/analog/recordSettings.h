#pragma once

class wxConfigBase;

// The capture group's recording settings, with their defaults. The shell
// passes them to every device's SetupWriter and SetRecordDuration.
struct RecordingSettings {
    bool useThread = true;  // "/Capture/Capture_use_thread"
    int queueDepth = 100;   // "/Capture/Capture_queue_depth", frames, within the writer's bounds
    int priority = 1;       // "/Capture/Capture_priority"
    double maxTimeSec = 0;  // "/Capture/Capture_max_time", 0: no limit
    bool useTextHeader = true;
    bool useTextTime = true;
};

// GUI thread: reads the settings (defaults for missing keys or no
// configuration) and sets the text-export switches g_Use_Text_Header and
// g_Use_Text_Time.
RecordingSettings LoadRecordingSettings(wxConfigBase* config);
