#include "frameDeviceViews.h"

#include "DravonetMain.h"
#include "GLcanvas/analog3DView.h"
#include "process/device.h"
#include "video/VideoDevice.h"
#include "video/VideoView.h"

#include <wx/aui/auibook.h>
#include <wx/intl.h>

void Load3DViewConfig(CAnalog3DView* view, wxConfigBase* config)
{
    if (view && config)
        view->LoadConfig(config);
}

CAnalog3DViewSink* View3DSink(CAnalog3DView* view)
{
    return view;
}

bool CameraPageRecording(CVideoView* view)
{
    CVideoDevice* camera = view ? view->GetDevice() : nullptr;
    return camera && camera->IsRecording();
}

wxString CameraPageName(CVideoView* view)
{
    CVideoDevice* camera = view ? view->GetDevice() : nullptr;
    return camera ? camera->GetDeviceName() : wxString();
}

void ReleaseCameraPage(CVideoView* view)
{
    CVideoDevice* camera = view ? view->GetDevice() : nullptr;
    if (!camera)
        return;
    camera->SetVideoView(nullptr);
    camera->SetParentWindow(nullptr);
    camera->CloseCamera();
    view->SetDevice(nullptr);
    // The camera has left every page: nothing else will close it, so it goes now
    // rather than running on unseen until the program ends.
    CDeviceDeleter{}(camera);
}

bool IsCameraAvailable(int index)
{
    return CVideoDevice::IsCameraAvailable(index);
}

int CountCamerasFound()
{
    return CVideoDevice::GetCameraCount();
}

bool OpenCameraPage(TrackerFrame& frame, int index)
{
    auto* camera = new CVideoDevice(index, frame.m_cameraWidth, frame.m_cameraHeight,
                                    frame.m_cameraRate, true);
    if (!camera->IsCameraOpened()) {
        CDeviceDeleter{}(camera);
        frame.SetErrorMessage(_("Unable to open Video Camera\n"), true);
        return false;
    }
    if (!frame.RegisterDevice(camera, true)) {
        frame.SetErrorMessage(_("Unable to create camera worker\n"), true);
        return false;
    }
    wxAuiNotebook* book = frame.m_mainBook;
    const wxSize size = book->GetClientSize();
    const wxPoint origin = frame.GetClientAreaOrigin();
    frame.ClearViewSelection();
    auto* view = new CVideoView(&frame, origin, size);
    view->SetDevice(camera);
    book->AddPage(view, camera->GetDeviceName(), false);
    camera->SetVideoView(view);
    camera->SetParentWindow(&frame);
    book->SetSelection(book->GetPageCount() - 1);
    if (!camera->RunThread()) {
        frame.SetErrorMessage(_("Unable to start streaming\n"), true);
        frame.JoinCaptureSet(camera);
        return true;  // the page stays; the camera counts as open
    }
    frame.SplitMainBook();
    frame.NameLastPage(camera);
    frame.JoinCaptureSet(camera);
    return true;
}
