#pragma once

#include <wx/arrstr.h>
#include <wx/gdicmn.h>

#include "frameViewGridModel.h"

class CAnalogDevice;
class CAnalogView;
class CAnalog3DView;
class CVideoView;
class wxWindow;

// What the main frame needs of the three view classes a "MAINBOOK" page may
// be, told apart in the order 2D view, 3D view, camera view. The 3D and camera
// parts are kept here so that the frame's code never depends on their headers.
// GUI thread.

CAnalogView* AsAnalogView(wxWindow* page);
CAnalog3DView* As3DView(wxWindow* page);
CVideoView* AsVideoView(wxWindow* page);
wxWindow* View3DWindow(CAnalog3DView* view);

// A page of one of the three view classes.
bool IsViewPage(wxWindow* page);
// The device a view page shows; null for another page or an unlinked view.
CAnalogDevice* GetPageDevice(wxWindow* page);
CAnalogDevice* Get3DViewDevice(CAnalog3DView* view);
CAnalogDevice* GetVideoViewDevice(CVideoView* view);
// Whether a 2D view can show the device: a camera has no channels to draw.
bool HasChannelsToView(const CAnalogDevice& device);

// The 3D view's selection mark, view type (camera preset) and type names.
void Set3DViewSelected(CAnalog3DView* view, bool selected, int viewCount);
int Get3DViewType(CAnalog3DView* view);
void Set3DViewType(CAnalog3DView* view, int type);
void Get3DViewTypes(wxArrayString& names);

// A new 3D view of device, a child of parent, linked to the device and to the
// owner frame; null when it cannot be made.
CAnalog3DView* Create3DView(wxWindow* parent, const wxPoint& pos, const wxSize& size,
                            CAnalogDevice* device, wxWindow* owner);

// The values the view grid shows of a 3D view and its canvas; false without a view.
bool Read3DGridValues(CAnalog3DView* view, C3DViewGridValues& values);
// Hands one edit of the grid to the view: the setter, camera move, light or
// plane update that change names.
void Push3DGridChange(CAnalog3DView* view, const C3DViewGridValues& values, C3DGridChange change);
// Re-creates the view's sensor records from the device (channel colours).
void Update3DSensors(CAnalog3DView* view);
