#include "frameViewPages.h"

#include <wx/intl.h>
#include <wx/window.h>

#include "analog/analogDevice.h"
#include "analog/analogView.h"

// The 3D tracker view and the camera view are built apart from the frame; until
// the frame is linked with them no page is one of them and these stay inert.

CAnalogView* AsAnalogView(wxWindow* page) { return wxDynamicCast(page, CAnalogView); }

CAnalog3DView* As3DView(wxWindow*) { return nullptr; }

CVideoView* AsVideoView(wxWindow*) { return nullptr; }

wxWindow* View3DWindow(CAnalog3DView*) { return nullptr; }

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

CAnalogDevice* Get3DViewDevice(CAnalog3DView*) { return nullptr; }

CAnalogDevice* GetVideoViewDevice(CVideoView*) { return nullptr; }

void Set3DViewSelected(CAnalog3DView*, bool, int) {}

int Get3DViewType(CAnalog3DView*) { return 0; }

void Set3DViewType(CAnalog3DView*, int) {}

void Get3DViewTypes(wxArrayString& names)
{
    names.Clear();
    for (const char* name :
         {"Free View", "Front View", "Left View", "Right View", "Top View", "Bottom View", "None"})
        names.Add(wxGetTranslation(name));
}

CAnalog3DView* Create3DView(wxWindow*, const wxPoint&, const wxSize&, CAnalogDevice*, wxWindow*)
{
    return nullptr;
}

bool Read3DGridValues(CAnalog3DView*, C3DViewGridValues&) { return false; }

void Push3DGridChange(CAnalog3DView*, const C3DViewGridValues&, C3DGridChange) {}

void Update3DSensors(CAnalog3DView*) {}
