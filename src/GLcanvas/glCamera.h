#pragma once

#include <wx/string.h>

#include <cstddef>
#include <iosfwd>

#include "GLcanvas/matrix4.h"
#include "GLcanvas/quaternion.h"
#include "GLcanvas/vector3.h"

class wxConfigBase;
class wxDataInputStream;
class wxDataOutputStream;
class wxTextInputStream;
class wxTextOutputStream;

// The viewpoint of a 3D view: eye, centre, lens and depth range, turned into OpenGL's
// projection and model-view matrices. Embedded by value in its canvas; owns no memory.
// GUI thread only: its OpenGL calls go to whatever context is current. The world is
// right-handed with z up; navigation angles are radians, the lens is in degrees.
// Non-finite arguments are refused (the camera keeps its state), so one bad sample or
// typed value cannot lose the view.
class wxGLCamera {
public:
    static constexpr double kDefaultLens = 45.0;
    // Divides the Move steps and Pan; shared by every camera. A value that is not above 0
    // counts as the default 200.
    static double s_moveDivisor;

    wxGLCamera();
    wxGLCamera(const CVector3& eye, const CVector3& center);
    wxGLCamera(const wxGLCamera&) = default;
    virtual ~wxGLCamera() = default;
    // Copies everything but the user integer and the modified flag, then re-issues the
    // projection.
    wxGLCamera& operator=(const wxGLCamera& other);

    virtual void SetCenter(double x, double y, double z);
    virtual void GetCenter(double* x, double* y, double* z) const;
    virtual void GetCenter(float* x, float* y, float* z) const;
    // Sets the centre only: no projection update, previous eye and advance sign kept.
    virtual void SetCenter(const CVector3& c);
    virtual void SetEye(double x, double y, double z);
    virtual void GetEye(double* x, double* y, double* z) const;
    virtual void GetEye(float* x, float* y, float* z) const;
    virtual void SetEye(const CVector3& e);

    // A size that is not above 0 keeps the aspect and the pan scale.
    virtual void SetViewport(int width, int height);
    // Loads (reset) or multiplies the projection; parameters that give no projection
    // (empty volume, far not beyond near) re-issue the last good one.
    virtual void UpdateProjection(bool reset);
    virtual void SetPerspective(bool perspective);
    virtual bool IsPerspective() const { return m_perspective; }
    virtual void SetOrbital(bool orbital);
    virtual bool IsOrbital() const { return m_orbital; }
    // Loads the look-at (and the scene rotation when not orbital) as the model view.
    virtual void UpdateModelView();
    virtual void SetRange(double cmin, double cmax, double znear, double zfar);
    virtual void ExtendRange(double min, double max);

    virtual void Orbit(double dAzimuth, double dPolar);
    virtual void OrbitAround(double dAzimuth, double dPolar, double px, double py, double pz);
    virtual void Rotate(double a, double b);
    virtual void RotateAxis(int axis, double angle);
    virtual void ResetOrientation();
    virtual void ResetLens();
    virtual void ZoomOut();
    virtual void ZoomIn();
    virtual double GetLens() const { return m_lens; }
    // Takes 0 < lens <= 179 degrees; anything else is refused but still marks modified.
    virtual void SetLens(double lens);

    virtual void TopView();
    virtual void LeftView();
    virtual void RightView();
    virtual void BackView();
    virtual void FrontView();
    virtual void BottomView();

    virtual void MoveLeft(bool withCenter);
    virtual void MoveRight(bool withCenter);
    virtual void MoveUp();
    virtual void MoveDown(bool withCenter);
    virtual void MoveForward(bool withCenter);
    virtual void MoveBackward(bool withCenter);
    virtual void TranslateEye(double dx, double dy, double dz);
    virtual void TranslateEye(const CVector3& v);
    virtual void Dolly(double f);
    virtual void MoveTo(double x, double y, double z, bool steer);
    // v receives the step taken.
    virtual void Advance(CVector3& v, double distance);
    virtual void FollowCenter(double x, double y, double z, bool record);
    virtual void Pan(double dx, double dy);
    virtual void LookAt(double x, double y, double z);
    virtual void TranslateCenter(double dx, double dy, double dz);

    // Persistence; the text and binary readers keep every earlier value when the stream
    // ends, fails or holds a non-finite number part way, and double the far value read.
    virtual void Save(wxTextOutputStream& s) const;
    virtual void Load(wxTextInputStream& s);
    virtual bool Save(wxDataOutputStream* s) const;
    virtual bool Load(wxDataInputStream* s);
    virtual std::ostream& Write(std::ostream& os) const;
    virtual void Read(std::istream& is);
    // Keys are prefix + "/Camera/...", written and read whole. A stored value that is not
    // a number, not finite, beyond kMaxStoredMagnitude, or a lens outside the zoom's
    // range keeps the value in use (the default for a camera not loaded yet) and is
    // reported as a warning.
    virtual void SaveConfig(wxConfigBase* cfg, const wxString& prefix) const;
    virtual void LoadConfig(wxConfigBase* cfg, const wxString& prefix);
    static constexpr double kMaxStoredMagnitude = 1.0e6;
    static constexpr double kMinLens = 0.01;
    static constexpr double kMaxLens = 179.0;

    // GUI thread: gathers the refused values of every camera load while it lives into
    // one warning, so a damaged file says so once. A value already reported in this
    // session is not reported again on later loads. Scopes nest; the outermost reports.
    class LoadReport {
    public:
        LoadReport();
        ~LoadReport();
        LoadReport(const LoadReport&) = delete;
        LoadReport& operator=(const LoadReport&) = delete;
    };

    virtual double GetNegatedZFar() const { return -m_zfar; }
    virtual int GetUserInt() const { return m_userInt; }
    virtual void SetUserInt(int value) { m_userInt = value; }
    // Home state; issues nothing to OpenGL, clears modified, keeps the previous eye.
    virtual void Reset();
    // One line "E : ... - C : ...  L : ..."; the text is shared by all cameras.
    virtual wxString GetStateText() const;
    // Window point (y down) to world at a fixed small depth; false when the current
    // matrices cannot be inverted, leaving the outputs untouched.
    virtual bool UnProject(int x, int y, double* ox, double* oy, double* oz) const;
    // Window point (y up) to the world x and z, truncated toward zero.
    virtual bool UnProjectXZ(double x, double y, double ignored, int* ox, int* oz) const;
    virtual bool IsModified() const { return m_modified; }
    virtual void SetModified(bool modified) { m_modified = modified; }
    // Twelve values: eye, centre, lens, cmin, cmax, znear, zfar, perspective.
    virtual bool SetState(const double* v, size_t n);
    virtual bool GetState(double* v, size_t n) const;
    virtual void Update() { UpdateProjection(true); }

    void SetRotation(const CQuaternion& q);
    void SetRotation(const double wxyz[4]);  // w first

    // Read access for views, property grids and tests.
    const CVector3& GetEyeVector() const { return m_eye; }
    const CVector3& GetCenterVector() const { return m_center; }
    const CVector3& GetDirection() const { return m_direction; }
    const CVector3& GetUp() const { return m_up; }
    const CVector3& GetPreviousEye() const { return m_previousEye; }
    const CVector3& GetFollowOffset() const { return m_followOffset; }
    const CMatrix4& GetRotation() const { return m_rotation; }
    void GetRange(double* cmin, double* cmax, double* znear, double* zfar) const;
    double GetAspect() const { return m_aspect; }
    double GetPanScale() const { return m_panScale; }
    bool IsShowCam() const { return m_showCam; }
    void SetShowCam(bool show) { m_showCam = show; }
    bool IsShowField() const { return m_showField; }
    void SetShowField(bool show) { m_showField = show; }
    // The matrices UpdateProjection and UpdateModelView issue (projection: false when the
    // parameters give none and the last good one would be re-issued).
    bool ComputeProjection(CMatrix4& out) const;
    CMatrix4 ComputeModelView() const;

private:
    struct StreamRecord;
    // Takes a whole record read from a stream; false, changing nothing, when it holds a
    // value that is not finite.
    bool ApplyStreamRecord(const StreamRecord& r);
    void Frustum(double lens, double aspect, double zNear, double zFar, CMatrix4& out,
                 bool& isValid) const;
    // direction := center - eye, previous eye := eye, advance sign 1, projection, modified.
    void UpdateDirection();
    void RefreshDirection();
    // Distance used by the presets and the orthographic window: the current one, or the
    // last non-zero one while the eye sits on the centre.
    double ViewDistance() const;
    double MoveStep() const;
    void Changed();  // UpdateProjection(true) and modified

    CVector3 m_eye;
    CVector3 m_center;
    CVector3 m_direction;
    CVector3 m_up;
    CVector3 m_previousEye;
    CVector3 m_followOffset;
    CVector3 m_lastDirection;  // last non-zero direction, for an eye on the centre
    double m_lens = kDefaultLens;
    double m_znear = 0.0;
    double m_zfar = 0.0;
    double m_cmin = 0.0;
    double m_cmax = 0.0;
    double m_aspect = 1.0;
    double m_advanceSign = 1.0;
    double m_panScale = 1.0;
    CMatrix4 m_rotation;
    CMatrix4 m_lastProjection;  // last projection that had a volume
    bool m_orbital = true;
    bool m_perspective = true;
    bool m_showCam = false;
    bool m_showField = false;
    int m_userInt = 0;
    bool m_modified = false;
};
