#pragma once

#include <wx/string.h>

class CAnalog3DView;
class CAnalogDevice;
class CVideoView;
class TrackerFrame;
class wxConfigBase;

// What the device commands need of the 3D and camera views, kept apart so the
// rest of the frame's code does not depend on those classes. GUI thread.

// The 3D view's own settings (camera, lights, scene) from the configuration.
void Load3DViewConfig(CAnalog3DView* view, wxConfigBase* config);

// The camera shown by a camera page records a video now.
bool CameraPageRecording(CVideoView* view);
// The name the close question gives for the page's camera; empty without a camera.
wxString CameraPageName(CVideoView* view);
// Lets go of the page's camera: unlinks view and camera, releases the capture and
// any video writer (the index can be opened again).
void ReleaseCameraPage(CVideoView* view);

// Camera command: the cameras found at start-up that no open camera uses.
bool IsCameraAvailable(int index);
// Opens camera `index` with its page; false after reporting on the frame.
bool OpenCameraPage(TrackerFrame& frame, int index);

class CAnalog3DViewSink;
// The 3D view as its device sees it (for RemoveView3D).
CAnalog3DViewSink* View3DSink(CAnalog3DView* view);

// Cameras the machine offers (probed once).
int CountCamerasFound();
