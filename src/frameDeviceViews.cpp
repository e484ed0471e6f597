#include "frameDeviceViews.h"

#include "GLcanvas/analog3DView.h"

// The 3D and camera views are built apart from the frame; until the frame is
// linked with them, these stand still.

void Load3DViewConfig(CAnalog3DView* view, wxConfigBase* config)
{
    if (view && config)
        view->LoadConfig(config);
}

bool CameraPageRecording(CVideoView* /*view*/)
{
    return false;
}

wxString CameraPageName(CVideoView* /*view*/)
{
    return wxString();
}

void ReleaseCameraPage(CVideoView* /*view*/) {}

bool IsCameraAvailable(int /*index*/)
{
    return false;
}

bool OpenCameraPage(TrackerFrame& /*frame*/, int /*index*/)
{
    return false;
}

CAnalog3DViewSink* View3DSink(CAnalog3DView* view)
{
    return view;
}

int CountCamerasFound()
{
    return 0;
}
