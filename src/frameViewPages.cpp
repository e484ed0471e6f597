#include "frameViewPages.h"

#include <wx/intl.h>
#include <wx/window.h>

#include "GLcanvas/analog3DView.h"
#include "GLcanvas/glCamera.h"
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "video/VideoDevice.h"
#include "video/VideoView.h"

#include <algorithm>

// dynamic_cast, not wxDynamicCast: the latter static-casts to the target before its
// own type check, which is undefined for a page of another type.
CAnalogView* AsAnalogView(wxWindow* page) { return dynamic_cast<CAnalogView*>(page); }

CAnalog3DView* As3DView(wxWindow* page) { return dynamic_cast<CAnalog3DView*>(page); }

CVideoView* AsVideoView(wxWindow* page) { return dynamic_cast<CVideoView*>(page); }

wxWindow* View3DWindow(CAnalog3DView* view) { return view; }

bool IsViewPage(wxWindow* page)
{
    return AsAnalogView(page) != nullptr || As3DView(page) != nullptr ||
           AsVideoView(page) != nullptr;
}

CAnalogDevice* GetPageDevice(wxWindow* page)
{
    if (CAnalogView* view = AsAnalogView(page)) return view->m_device.load();
    if (CAnalog3DView* view = As3DView(page)) return Get3DViewDevice(view);
    if (CVideoView* view = AsVideoView(page)) return GetVideoViewDevice(view);
    return nullptr;
}

CAnalogDevice* Get3DViewDevice(CAnalog3DView* view) { return view ? view->GetDevice() : nullptr; }

CAnalogDevice* GetVideoViewDevice(CVideoView* view) { return view ? view->GetDevice() : nullptr; }

bool HasChannelsToView(const CAnalogDevice& device)
{
    return dynamic_cast<const CVideoDevice*>(&device) == nullptr;
}

void Set3DViewSelected(CAnalog3DView* view, bool selected, int viewCount)
{
    if (view) view->SetSelected(selected, viewCount);
}

int Get3DViewType(CAnalog3DView* view) { return view ? view->GetViewType() : 0; }

void Set3DViewType(CAnalog3DView* view, int type)
{
    if (view) view->SetViewType(type);
}

void Get3DViewTypes(wxArrayString& names) { CAnalog3DView::GetViewTypes(names); }

CAnalog3DView* Create3DView(wxWindow* parent, const wxPoint& pos, const wxSize& size,
                            CAnalogDevice* device, wxWindow* owner)
{
    auto* view = new CAnalog3DView(parent, pos, size, 0, "3D Tracker View");
    view->SetDevice(device);
    view->SetOwner(dynamic_cast<CView3DOwner*>(owner));
    return view;
}

bool Read3DGridValues(CAnalog3DView* view, C3DViewGridValues& values)
{
    if (!view) return false;
    values.drawTime = view->GetDrawTime();
    values.objectSize = view->GetObjectSize();
    std::copy(view->GetBkColor(), view->GetBkColor() + 4, values.background.begin());
    const wxGLCamera* camera = view->GetCamera();
    camera->GetEye(&values.eye[0], &values.eye[1], &values.eye[2]);
    camera->GetCenter(&values.centre[0], &values.centre[1], &values.centre[2]);
    int count = 0;
    const LightRecord* lights = view->GetLights(&count);
    values.lights.clear();
    for (int i = 0; lights && i < count; ++i) {
        C3DViewGridValues::Light light{};
        std::copy(lights[i].position, lights[i].position + 4, light.begin());
        std::copy(lights[i].colour, lights[i].colour + 4, light.begin() + 4);
        values.lights.push_back(light);
    }
    const PlaneRecord* plane = view->GetPlane();
    std::copy(plane->colour, plane->colour + 3, values.planeColour.begin());
    std::copy(plane->position, plane->position + 3, values.planePosition.begin());
    values.planeSize = plane->size;
    values.gridDivisions = plane->gridCount;
    values.planeShown = plane->visible;
    values.axesShown = plane->showAxes;
    values.axisLength = plane->axisSize;
    return true;
}

void Push3DGridChange(CAnalog3DView* view, const C3DViewGridValues& values, C3DGridChange change)
{
    if (!view) return;
    wxGLCamera* camera = view->GetCamera();
    switch (change) {
    case C3DGridChange::kNone:
        return;
    case C3DGridChange::kDrawTime:
        view->SetDrawTime(values.drawTime);
        break;
    case C3DGridChange::kObjectSize:
        view->SetObjectSize(values.objectSize);
        break;
    case C3DGridChange::kEye:
        camera->SetEye(values.eye[0], values.eye[1], values.eye[2]);
        break;
    case C3DGridChange::kCentre:
        camera->SetCenter(values.centre[0], values.centre[1], values.centre[2]);
        break;
    case C3DGridChange::kBackground:
        std::copy(values.background.begin(), values.background.end(), view->GetBkColor());
        view->UpdateFogColor();
        break;
    case C3DGridChange::kLights: {
        int count = 0;
        LightRecord* lights = view->GetLights(&count);
        for (int i = 0; lights && i < count && static_cast<size_t>(i) < values.lights.size(); ++i) {
            std::copy(values.lights[i].begin(), values.lights[i].begin() + 4, lights[i].position);
            std::copy(values.lights[i].begin() + 4, values.lights[i].end(), lights[i].colour);
        }
        view->SetupLights();
        break;
    }
    case C3DGridChange::kPlane: {
        PlaneRecord* plane = view->GetPlane();
        std::copy(values.planeColour.begin(), values.planeColour.end(), plane->colour);
        std::copy(values.planePosition.begin(), values.planePosition.end(), plane->position);
        plane->size = values.planeSize;
        plane->gridCount = values.gridDivisions;
        plane->visible = values.planeShown;
        plane->showAxes = values.axesShown;
        plane->axisSize = values.axisLength;
        break;
    }
    }
    view->Refresh(false);
}

void Update3DSensors(CAnalog3DView* view)
{
    if (view) view->RefreshSensors();
}
