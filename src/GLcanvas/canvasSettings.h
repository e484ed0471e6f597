#pragma once

#include "GLcanvas/vector3.h"

class wxConfigBase;
class wxString;

// One light of the canvas; the settings grid edits it in place.
struct LightRecord {
    float position[4];  // GL_POSITION; w = 0 makes a directional light
    float colour[4];    // GL_DIFFUSE, 0..1
};

// The ground plane with its grid and the main axes; edited in place by the settings grid.
struct PlaneRecord {
    float colour[4];     // grid lines; only r, g, b are drawn
    float position[3];   // translation of the plane and its grid
    int kind;            // 0 XY (floor), 1 YZ, 2 XZ; any other value draws no grid
    float size;          // side of the square grid
    int gridCount;       // divisions
    bool visible;
    bool showAxes;
    bool autoCalc;       // kept in the configuration only
    float axisSize;      // main axes drawn only when above 0
};

// The canvas's render switches; initialised is set by the first paint.
struct RenderFlags {
    bool initialised;
    bool smooth;
    bool wire;
    bool cull;
    bool multisampling;
};

// Display-free settings of the OpenGL canvas: render flags, lights, background,
// plane, fog and home points, with their "/3DCanvas" configuration keys. The
// canvas window derives from it; every member is used by the GUI thread only.
class CCanvasSettings {
public:
    CCanvasSettings();
    virtual ~CCanvasSettings() = default;

    // The canvas's own defaults (not the camera); the render size and the
    // plane's auto-calc flag are left alone.
    void SetCanvasDefaults();

    // The "/3DCanvas" keys in their stored order. Loading keeps the value in
    // force for every missing or unreadable key.
    void SaveCanvasConfig(wxConfigBase& config) const;
    void LoadCanvasConfig(wxConfigBase& config);

    // Colour of the translucent square under the floor grid: the background
    // moved 0.2 away from its mean brightness, alpha 0.5.
    static void UnderPlaneColour(const float background[4], float out[4]);
    // Divisions the grid is drawn with: the stored count is kept as read, but
    // a count from a damaged file must not stall the GUI thread.
    static int DrawnGridCount(int gridCount);

    static constexpr int kMaxDrawnGrid = 1000;
    static constexpr int kLightCount = 2;

    RenderFlags m_flags{false, true, false, false, true};
    int m_orientation = 0;  // kept in the configuration only
    int m_renderWidth = 0;
    int m_renderHeight = 0;
    LightRecord m_lights[kLightCount];
    PlaneRecord m_plane;
    float m_background[4];
    float m_farValue = 1000.0f;
    CVector3 m_homeCentre;
    CVector3 m_homeEye;
    double m_panGain = 2.0;
    float m_fogColour[4];
    int m_fogMode = -1;  // negative: off; 0 GL_EXP, 1 GL_EXP2, 2 GL_LINEAR
    double m_fogDensity = 0.05;
    double m_fogStart = 0.0;
    double m_fogEnd = 0.0;
};

// A double stored with a point as decimal separator, read under any locale;
// def when the entry is missing or holds no finite number, 0 for a null config.
double ReadCanvasDouble(wxConfigBase* config, const wxString& key, double def);
