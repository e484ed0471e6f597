#pragma once

// Configuration keys of the application settings, spelled exactly as stored:
// existing files use these spellings, so they are never corrected. Keys of the
// OSC services and of the recordings live with their components
// (network/oscServerSettings.h, network/oscClientSettings.h, analog/recordFormat.h).

constexpr const char* kConfigAppName = "Quorvane";
constexpr const char* kConfigVendorName = "Morvelle";
constexpr const char* kConfigVersion = "1.30";

constexpr const char* kKeyVersion = "/Version";

constexpr const char* kKeyExpertMode = "/Application/expert_mode";
constexpr const char* kKeyUseCore = "/Application/use_core";

constexpr const char* kKeyDeviceTimer = "/Device/timer";
constexpr const char* kKeyDeviceGenTimer = "/Device/gen_timer";
constexpr const char* kKeyDeviceClockDelay = "/Device/use_clock_delay";
constexpr const char* kKeyDeviceWorkerPriority = "/Device/worker_priority";
constexpr const char* kKeyDeviceShowDelta = "/Device/show_delta";
constexpr const char* kKeyDeviceEps = "/Device/device_eps";

constexpr const char* kKeyWiiTimeOut = "/WII/time_out";
constexpr const char* kKeyWiiCheck = "/WII/check";
constexpr const char* kKeyWiiRemove = "/WII/remove";
constexpr const char* kKeyWiiSetBoard = "/WII/set_wii_board";
constexpr const char* kKeyWiiMaxDevices = "/WII/max_devices";
constexpr const char* kKeyWiiUseMulti = "/WII/use_multi";

constexpr const char* kKeyViewUseGlCanvas = "/View/use_gl_canvas";
constexpr const char* kKeyViewDisplayInterval = "/View/display_interval_ms";
// Relative to the root on purpose: it lands in group View.
constexpr const char* kKeyViewPerspective = "View/current_perspective";

constexpr const char* kKeyCapturePreTime = "/Capture/Capture_pre_time";
constexpr const char* kKeyCaptureSound = "/Capture/Capture_sound";
constexpr const char* kKeyCaptureSoundName = "/Capture/Capture_sound_name";
constexpr const char* kKeyCaptureAutoFile = "/Capture/Capture_auto_file";
constexpr const char* kKeyCaptureExportAnalog = "/Capture/extport_analog";
constexpr const char* kKeyCaptureExportPath = "/Capture/m_export_path";
constexpr const char* kKeyCaptureCapturePath = "/Capture/m_capture_path";

constexpr const char* kKeySatelComPort = "/SATEL/m_satel_com_port";
constexpr const char* kKeySatelRate = "/SATEL/m_satel_rate";

constexpr const char* kKeyFobComPort = "/FOB/com_port";
constexpr const char* kKeyFobSleep = "/FOB/sleep";
constexpr const char* kKeyFobHemisphere = "/FOB/hemisphre";
constexpr const char* kKeyFobSpeed = "/FOB/speed";
constexpr const char* kKeyFobRange = "/FOB/range";

constexpr const char* kKeyCameraWidth = "/CAM/camera_width";
constexpr const char* kKeyCameraHeight = "/CAM/camera_height";
constexpr const char* kKeyCameraRate = "/CAM/camera_rate";

constexpr const char* kKeyTriggerUsbSpeed = "/Trigger/usb_speed";
constexpr const char* kKeyTriggerUsbPort = "/Trigger/usb_port";
constexpr const char* kKeyTriggerUsbUse = "/Trigger/usb_use";
constexpr const char* kKeyTriggerThresholdHigh = "/Trigger/usb_threshold_high";
constexpr const char* kKeyTriggerThresholdLow = "/Trigger/usb_threshold_low";
constexpr const char* kKeyTriggerLoop = "/Trigger/loop";
constexpr const char* kKeyTriggerTimeOut = "/Trigger/time_out";

constexpr const char* kKeyVrpnSyncOutUse = "/VRPN_SYNC/use";
constexpr const char* kKeyVrpnSyncButton = "/VRPN_SYNC/button";

constexpr const char* kKeyVrpnUse = "/VRPN/use_vrpn";
constexpr const char* kKeyVrpnListeningPort = "/VRPN/vrpn_listening_port";
constexpr const char* kKeyVrpnServerName = "/VRPN/vrpn_server_name";
constexpr const char* kKeyVrpnServerCount = "/VRPN/vrpn_server_count";
constexpr const char* kKeyVrpnServerIdFormat = "/VRPN/vrpn_server_id_%d";

constexpr const char* kKeyOscUseServer = "/OSC/use_osc_server";
constexpr const char* kKeyOscListeningPort = "/OSC/istening_port";
constexpr const char* kKeyOscSendingPort = "/OSC/sending_port";

// Group of the window placement; its keys are relative to it.
constexpr const char* kGroupMainFrame = "/MainFrame";
constexpr const char* kKeyFrameDisplayCount = "display_count";
constexpr const char* kKeyFrameDisplayId = "display_id";
constexpr const char* kKeyFrameX = "x";
constexpr const char* kKeyFrameY = "y";
constexpr const char* kKeyFrameW = "w";
constexpr const char* kKeyFrameH = "h";
constexpr const char* kKeyFrameMaximized = "IsMaximized";
