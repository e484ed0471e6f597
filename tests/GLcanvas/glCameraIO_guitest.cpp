// Camera persistence: configuration keys, streams, the state array and the state text.
#include <gtest/gtest.h>
#include <wx/datstrm.h>
#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>
#include <wx/sstream.h>
#include <wx/txtstrm.h>
#include <wx/wfstream.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

#include "GLcanvas/glCamera.h"
#include "support/logCapture.h"
#include "support/tempDir.h"

namespace {

// A camera with every persisted field away from its reset value.
wxGLCamera ChangedCamera()
{
    wxGLCamera cam;
    cam.SetEye(1.25, -7.5, 2.0625);
    cam.SetCenter(0.5, 0.75, -1.5);
    cam.SetLens(33.5);
    cam.SetRange(-12.5, 14.25, -40.5, 60.75);
    cam.SetPerspective(false);
    cam.SetOrbital(false);
    cam.SetShowCam(true);
    cam.SetShowField(true);
    return cam;
}

void ExpectSamePersistedFields(const wxGLCamera& a, const wxGLCamera& b, double zfarFactor = 1)
{
    EXPECT_EQ(a.GetEyeVector(), b.GetEyeVector());
    EXPECT_EQ(a.GetCenterVector(), b.GetCenterVector());
    EXPECT_EQ(a.GetLens(), b.GetLens());
    EXPECT_EQ(a.IsPerspective(), b.IsPerspective());
    EXPECT_EQ(a.IsOrbital(), b.IsOrbital());
    EXPECT_EQ(a.IsShowCam(), b.IsShowCam());
    EXPECT_EQ(a.IsShowField(), b.IsShowField());
    double a0, a1, a2, a3, b0, b1, b2, b3;
    a.GetRange(&a0, &a1, &a2, &a3);
    b.GetRange(&b0, &b1, &b2, &b3);
    EXPECT_EQ(a0, b0);
    EXPECT_EQ(a1, b1);
    EXPECT_EQ(a2, b2);
    EXPECT_EQ(a3 * zfarFactor, b3);
    EXPECT_EQ(b.GetDirection(), b.GetCenterVector() - b.GetEyeVector());
}

}  // namespace

using GLCameraConfigTest = TempDirTest;

TEST_F(GLCameraConfigTest, RoundTripThroughAConfigurationFile)
{
    const wxString path = Path("camera.cfg").string();
    const wxGLCamera saved = ChangedCamera();
    {
        wxFileConfig config(wxEmptyString, wxEmptyString, path, wxEmptyString,
                            wxCONFIG_USE_LOCAL_FILE);
        saved.SaveConfig(&config, "/Analog/Analog3DView");
        ASSERT_TRUE(config.Flush());
        EXPECT_EQ(config.GetNumberOfEntries(true), 15u);
    }
    wxFileConfig config(wxEmptyString, wxEmptyString, path, wxEmptyString, wxCONFIG_USE_LOCAL_FILE);
    // Keys as stored files have them, the misspelt one included.
    EXPECT_TRUE(config.HasEntry("/Analog/Analog3DView/Camera/Eye_2"));
    EXPECT_TRUE(config.HasEntry("/Analog/Analog3DView/Camera/Center_0"));
    EXPECT_TRUE(config.HasEntry("/Analog/Analog3DView/Camera/Perpective"));
    EXPECT_TRUE(config.HasEntry("/Analog/Analog3DView/Camera/ShowField"));
    wxGLCamera loaded;
    loaded.LoadConfig(&config, "/Analog/Analog3DView");
    ExpectSamePersistedFields(saved, loaded);
    EXPECT_TRUE(loaded.IsModified());
    EXPECT_EQ(loaded.GetPreviousEye(), loaded.GetEyeVector());
}

TEST(GLCameraConfigLoadTest, MissingAndBadValuesKeepTheCurrentOnes)
{
    const wxGLCamera reference = ChangedCamera();
    wxStringInputStream empty(wxString{});
    wxFileConfig none(empty);
    wxGLCamera cam = ChangedCamera();
    cam.SetModified(false);
    cam.LoadConfig(&none, "cam");
    ExpectSamePersistedFields(reference, cam);
    EXPECT_TRUE(cam.IsModified());

    wxStringInputStream bad(
        "[cam/Camera]\nEye_0=abc\nEye_1=nan\nCenter_2=inf\nLens=\nShowCam=maybe\nzfar=5.5\n");
    wxFileConfig badConfig(bad);
    {
        wxLogNull quiet;  // the toolkit warns about the flag that is not a number
        cam.LoadConfig(&badConfig, "cam");
    }
    EXPECT_EQ(cam.GetEyeVector(), reference.GetEyeVector());
    EXPECT_EQ(cam.GetCenterVector(), reference.GetCenterVector());
    EXPECT_EQ(cam.GetLens(), reference.GetLens());
    EXPECT_TRUE(cam.IsShowCam());
    EXPECT_EQ(cam.GetNegatedZFar(), -5.5);

    cam.SetModified(false);
    cam.LoadConfig(nullptr, "cam");
    EXPECT_TRUE(cam.IsModified());
    cam.SaveConfig(nullptr, "cam");  // nothing to write to, nothing happens
}

TEST(GLCameraConfigLoadTest, InsaneStoredValuesFallBackToDefaultsWithOneMessage)
{
    // Each value is reported once per process: a repeated run uses groups of its own.
    static int round = 0;
    const wxString p = wxString::Format("r%d", ++round);
    wxStringInputStream in("[" + p +
                           "insane/Camera]\nEye_0=1e308\nEye_1=-2e6\nEye_2=nan\nCenter_0=text\n"
                           "Center_1=inf\nLens=-5\ncmin=1e308\nzfar=-1e7\nPerpective=7\n"
                           "Orbital=maybe\n");
    wxFileConfig config(in);
    const wxGLCamera defaults;
    wxGLCamera cam;
    CLogCapture log;
    cam.LoadConfig(&config, p + "insane");
    ExpectSamePersistedFields(defaults, cam);
    ASSERT_EQ(log.Messages().size(), 1u);
    EXPECT_EQ(log.Warnings(), 1);
    const std::string& said = log.Messages()[0];
    EXPECT_NE(said.find((p + "insane/Camera/Lens=-5").ToStdString()), std::string::npos);
    EXPECT_NE(said.find((p + "insane/Camera/Eye_0=1e308").ToStdString()), std::string::npos);
    // Read again (another view, a later start of the page): nothing new to say.
    wxGLCamera again;
    again.LoadConfig(&config, p + "insane");
    ExpectSamePersistedFields(defaults, again);
    EXPECT_EQ(log.Messages().size(), 1u);

    // The zoom's own limits are accepted; two cameras loaded in one scope say it once.
    wxStringInputStream edges("[" + p + "edge/Camera]\nLens=179\nEye_0=-1e6\n[" + p +
                              "edge2/Camera]\nLens=0.01\n[" + p + "bad1/Camera]\nLens=179.5\n[" +
                              p + "bad2/Camera]\nLens=0\n");
    wxFileConfig edgeConfig(edges);
    wxGLCamera wide;
    wide.LoadConfig(&edgeConfig, p + "edge");
    EXPECT_EQ(wide.GetLens(), 179.0);
    EXPECT_EQ(wide.GetEyeVector().x, -1.0e6);
    wxGLCamera narrow;
    narrow.LoadConfig(&edgeConfig, p + "edge2");
    EXPECT_EQ(narrow.GetLens(), 0.01);
    EXPECT_EQ(log.Messages().size(), 1u);
    {
        const wxGLCamera::LoadReport report;
        wxGLCamera first;
        first.LoadConfig(&edgeConfig, p + "bad1");
        wxGLCamera second;
        second.LoadConfig(&edgeConfig, p + "bad2");
        EXPECT_EQ(first.GetLens(), wxGLCamera::kDefaultLens);
        EXPECT_EQ(second.GetLens(), wxGLCamera::kDefaultLens);
        EXPECT_EQ(log.Messages().size(), 1u);
    }
    EXPECT_EQ(log.Messages().size(), 2u);
}

TEST(GLCameraStreamTest, WriteOfAResetCameraAndReadBackDoublesTheFarValue)
{
    const wxGLCamera cam;
    std::ostringstream os;
    cam.Write(os);
    EXPECT_EQ(os.str(), "0\t-5\t0\n0\t0\t0\n1\t45\n-10\t10\t-30\t30\n1\n0\t0\n");

    wxGLCamera changed = ChangedCamera();
    std::ostringstream changedText;
    changed.Write(changedText);
    std::istringstream is(changedText.str());
    wxGLCamera read;
    read.Read(is);
    ExpectSamePersistedFields(changed, read, 2.0);

    // Any white space separates the values.
    std::istringstream spaced("0 -5 0 0 0 0 1 45 -10 10 -30 30 1 0 0");
    read.Read(spaced);
    EXPECT_EQ(read.GetNegatedZFar(), -60.0);
    // Flags take the lowest byte of the integer: 256 is off.
    std::istringstream byteFlags("0 -5 0 0 0 0 256 45 -10 10 -30 30 257 0 0");
    read.Read(byteFlags);
    EXPECT_FALSE(read.IsPerspective());
    EXPECT_TRUE(read.IsOrbital());
}

TEST(GLCameraStreamTest, TruncatedOrNonFiniteStreamsKeepEveryEarlierValue)
{
    const wxGLCamera reference = ChangedCamera();
    wxGLCamera cam = ChangedCamera();
    std::istringstream truncated("9 9 9 8 8 8 1 50 -1 1");
    cam.Read(truncated);
    ExpectSamePersistedFields(reference, cam);

    wxStringInputStream textInput("9 9 9 8 8 8 1");
    wxTextInputStream text(textInput);
    cam.Load(text);
    ExpectSamePersistedFields(reference, cam);

    // Binary: a NaN eye, then a stream that ends part way.
    wxMemoryOutputStream memory;
    {
        wxDataOutputStream data(memory);
        data.WriteDouble(std::numeric_limits<double>::quiet_NaN());
        for (int i = 0; i < 5; ++i) data.WriteDouble(1.0);
        data.Write32(1);
        for (int i = 0; i < 5; ++i) data.WriteDouble(1.0);
        for (int i = 0; i < 3; ++i) data.Write32(1);
    }
    {
        wxMemoryInputStream in(memory);
        wxDataInputStream data(in);
        EXPECT_FALSE(cam.Load(&data));
        ExpectSamePersistedFields(reference, cam);
    }
    wxMemoryOutputStream shortMemory;
    {
        wxDataOutputStream data(shortMemory);
        for (int i = 0; i < 6; ++i) data.WriteDouble(2.0);
    }
    wxMemoryInputStream shortIn(shortMemory);
    wxDataInputStream shortData(shortIn);
    EXPECT_FALSE(cam.Load(&shortData));
    ExpectSamePersistedFields(reference, cam);
}

TEST(GLCameraStreamTest, TextAndBinaryToolkitStreamsRoundTrip)
{
    const wxGLCamera saved = ChangedCamera();
    wxStringOutputStream textOut;
    {
        wxTextOutputStream text(textOut);
        saved.Save(text);
    }
    wxStringInputStream textIn(textOut.GetString());
    wxTextInputStream text(textIn);
    wxGLCamera fromText;
    fromText.Load(text);
    ExpectSamePersistedFields(saved, fromText, 2.0);

    wxMemoryOutputStream memory;
    wxDataOutputStream dataOut(memory);
    ASSERT_TRUE(saved.Save(&dataOut));
    // The layout, written by hand in the stream's own formats.
    wxMemoryOutputStream layout;
    {
        wxDataOutputStream d(layout);
        for (double v : {1.25, -7.5, 2.0625, 0.5, 0.75, -1.5}) d.WriteDouble(v);
        d.Write32(0);
        for (double v : {33.5, -12.5, 14.25, -40.5, 60.75}) d.WriteDouble(v);
        for (int i = 0; i < 3; ++i) d.Write32(i == 0 ? 0 : 1);
    }
    ASSERT_EQ(memory.GetLength(), layout.GetLength());
    std::vector<char> a(memory.GetLength()), b(layout.GetLength());
    memory.CopyTo(a.data(), a.size());
    layout.CopyTo(b.data(), b.size());
    EXPECT_EQ(a, b);
    wxMemoryInputStream in(memory);
    wxDataInputStream dataIn(in);
    wxGLCamera fromData;
    fromData.SetModified(false);
    ASSERT_TRUE(fromData.Load(&dataIn));
    ExpectSamePersistedFields(saved, fromData, 2.0);
    EXPECT_FALSE(fromData.IsModified());

    EXPECT_FALSE(saved.Save(static_cast<wxDataOutputStream*>(nullptr)));
    EXPECT_FALSE(fromData.Load(static_cast<wxDataInputStream*>(nullptr)));
}

TEST(GLCameraStreamTest, SavingToAFullDeviceIsReported)
{
    wxFileOutputStream full("/dev/full");
    if (!full.IsOk()) GTEST_SKIP() << "/dev/full is not available";
    wxDataOutputStream data(full);
    const wxGLCamera cam;
    wxLogNull quiet;  // the stream logs the write error itself
    // The data stream buffers nothing itself: the first write already fails.
    EXPECT_FALSE(cam.Save(&data));
}

TEST(GLCameraStateTest, StateArrayAndText)
{
    wxGLCamera cam;
    double v[12];
    for (double& x : v) x = -99;
    EXPECT_FALSE(cam.GetState(v, 11));
    EXPECT_EQ(v[0], -99);
    EXPECT_FALSE(cam.GetState(nullptr, 12));
    ASSERT_TRUE(cam.GetState(v, 12));
    const double expected[12] = {0, -5, 0, 0, 0, 0, 45, -10, 10, -30, 30, 1};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(v[i], expected[i]) << i;

    double w[12] = {1, 2, 3, 0, 0, 1, 30, -5, 5, -15, 15, 0.5};
    cam.SetModified(false);
    ASSERT_TRUE(cam.SetState(w, 12));
    EXPECT_TRUE(cam.IsPerspective());
    EXPECT_TRUE(cam.IsModified());
    EXPECT_EQ(cam.GetDirection(), CVector3(-1, -2, -2));
    EXPECT_FALSE(cam.SetState(w, 11));
    w[1] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(cam.SetState(w, 12));
    EXPECT_EQ(cam.GetEyeVector(), CVector3(1, 2, 3));

    const wxGLCamera reset;
    EXPECT_EQ(reset.GetStateText(),
              "E : 0.000  -5.000  0.000 - C : 0.000  0.000  0.000  L : 5.000");
}
