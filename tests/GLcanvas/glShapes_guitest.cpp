// Shapes drawn into a real (software) OpenGL context: geometry checked through the feedback
// and selection modes, pixels read back, and a picture of a few shapes saved for a look.
#include <GL/glu.h>
#include <algorithm>
#include <gtest/gtest.h>
#include <wx/filename.h>

#include <cmath>
#include <functional>
#include <vector>

#include "GLcanvas/glQuadric.h"
#include "GLcanvas/glShapes.h"
#include "GLcanvas/glTestWindow.h"

namespace {

// Primitives OpenGL hands back in feedback mode, with window coordinates.
struct Feedback {
    int points = 0;
    int lines = 0;
    std::vector<std::vector<float>> polygons;  // x, y, z per vertex
    std::vector<float> raw;
};

Feedback Capture(const std::function<void()>& draw)
{
    std::vector<GLfloat> buffer(1 << 20);
    glFeedbackBuffer(static_cast<GLsizei>(buffer.size()), GL_3D, buffer.data());
    glRenderMode(GL_FEEDBACK);
    draw();
    const GLint size = glRenderMode(GL_RENDER);
    Feedback result;
    EXPECT_GE(size, 0) << "feedback buffer overflow";
    result.raw.assign(buffer.begin(), buffer.begin() + std::max(size, 0));
    for (GLint i = 0; i < size;) {
        const int token = static_cast<int>(buffer[i++]);
        if (token == GL_POINT_TOKEN) {
            ++result.points;
            i += 3;
        } else if (token == GL_LINE_TOKEN || token == GL_LINE_RESET_TOKEN) {
            ++result.lines;
            i += 6;
        } else if (token == GL_POLYGON_TOKEN) {
            const int count = static_cast<int>(buffer[i++]);
            result.polygons.emplace_back(buffer.begin() + i, buffer.begin() + i + 3 * count);
            i += 3 * count;
        } else if (token == GL_PASS_THROUGH_TOKEN) {
            i += 1;
        } else {
            i += 3;  // bitmap and pixel tokens carry one vertex
        }
    }
    return result;
}

// Plain orthographic view of the box [-2, 2]^3 looking down -z; window z = (1 - z/2) / 2.
void OrthoView(int width, int height)
{
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-2, 2, -2, 2, -2, 2);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glDisable(GL_LIGHTING);
    glDisable(GL_CULL_FACE);
}

int PolygonsAtWindowZ(const Feedback& f, float z)
{
    int count = 0;
    for (const auto& p : f.polygons) {
        bool all = true;
        for (size_t k = 2; k < p.size(); k += 3) all = all && std::fabs(p[k] - z) < 1e-4f;
        count += all ? 1 : 0;
    }
    return count;
}

GLUquadric* NoQuadric() { return nullptr; }

class ShapesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_window.IsCurrent());
        OrthoView(m_window.Width(), m_window.Height());
    }
    GLTestWindow m_window{320, 240};
};

}  // namespace

TEST_F(ShapesTest, BoxBoundsInAnyOrderGiveTheSameBox)
{
    const Feedback sorted = Capture([] { DrawBox(-1, 1, -0.5, 0.5, 0, 1, GL_QUADS, false, 1); });
    const Feedback swapped = Capture([] { DrawBox(1, -1, 0.5, -0.5, 1, 0, GL_QUADS, false, 1); });
    EXPECT_FALSE(sorted.raw.empty());
    EXPECT_EQ(sorted.raw, swapped.raw);
    EXPECT_EQ(DrawSolidCube(1), 96);
    EXPECT_EQ(DrawTexturedBox(1, 2, 3, 2), 384);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShapesTest, QuadricCountsDefaultsAndEndDisks)
{
    EXPECT_EQ(DrawSphere(1, 0, 0, true, false), 600);
    EXPECT_EQ(DrawSphere(1, 0, 0, true, true), 2400);
    EXPECT_EQ(DrawCylinder(1, 1, 1, 20, 5, true, false, true), 84);
    EXPECT_EQ(DrawCylinder(1, 1, 1, 20, 5, true, false, false), 1000);
    // z = 0 lands at window depth 0.5, z = 1 at 0.25.
    const Feedback simple = Capture([] { DrawCylinder(1, 1, 1, 20, 5, true, false, true); });
    EXPECT_EQ(PolygonsAtWindowZ(simple, 0.5f), 0);
    EXPECT_EQ(PolygonsAtWindowZ(simple, 0.25f), 0);
    const Feedback cone = Capture([] { DrawCylinder(1, 1, 0, 20, 5, true, false, false); });
    EXPECT_GT(PolygonsAtWindowZ(cone, 0.5f), 0);   // base disk
    EXPECT_EQ(PolygonsAtWindowZ(cone, 0.25f), 0);  // no disk for a zero top radius
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShapesTest, QuadricFailureDrawsNothing)
{
    CQuadric::SetMaker(NoQuadric);
    int results = 0;
    const Feedback f = Capture([&results] {
        results += DrawSphere(1, 0, 0, true, false);
        results += DrawEllipsoid(1, 1, 1, 0, 0, true, false);
        results += DrawCylinder(1, 1, 1, 10, 10, true, false, false);
        results += DrawCapsule(1, 1, 10, 10, true, false, false);
        results += DrawCone(1, 1, true, false);
    });
    CQuadric::SetMaker(nullptr);
    EXPECT_EQ(results, 0);
    EXPECT_TRUE(f.raw.empty());
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_EQ(DrawSolidSphere(1, 0, 0), 600);  // the real maker is back
}

TEST_F(ShapesTest, DegenerateMeshesFallBackToAPointOrAxes)
{
    EXPECT_EQ(Capture([] { DrawEllipsoidMesh(1, 1, 1, 0); }).points, 1);
    EXPECT_EQ(Capture([] { DrawEllipsoidMesh(1, -1, 1, 8); }).points, 1);
    EXPECT_EQ(Capture([] { DrawSuperellipsoid(1, 1, 3, false); }).points, 1);
    EXPECT_EQ(Capture([] { DrawSuperellipsoid(-1, 1, 16, false); }).points, 1);
    const Feedback axes = Capture([] { DrawSuperellipsoid(11, 11, 16, false); });
    EXPECT_EQ(axes.lines, 3);
    EXPECT_TRUE(Capture([] { DrawTubeMesh(0, 8, 1, 1, true, false); }).raw.empty());
    // A real superellipsoid (a sphere for exponents 1) stays within the unit ball.
    const Feedback sphere = Capture([] { DrawSuperellipsoid(1, 1, 16, false); });
    ASSERT_FALSE(sphere.polygons.empty());
    for (const auto& p : sphere.polygons)
        for (size_t k = 0; k < p.size(); k += 3) {
            const float x = p[k] / 80.0f - 2.0f;  // 320 pixels over 4 units
            EXPECT_LE(std::fabs(x), 1.01f);
        }
}

// Lit from the viewer's side, a mesh with outward normals shows bright in the middle.
TEST_F(ShapesTest, MeshNormalsPointOutward)
{
    const auto litCentre = [this](const std::function<void()>& draw) {
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glEnable(GL_DEPTH_TEST);
        glEnable(GL_LIGHTING);
        glEnable(GL_LIGHT0);
        const GLfloat towardViewer[4] = {0, 0, 1, 0};
        const GLfloat noAmbient[4] = {0, 0, 0, 1};
        glLightfv(GL_LIGHT0, GL_POSITION, towardViewer);
        glLightModelfv(GL_LIGHT_MODEL_AMBIENT, noAmbient);
        draw();
        glDisable(GL_LIGHTING);
        glDisable(GL_DEPTH_TEST);
        const wxImage image = m_window.ReadImage();
        return image.GetRed(image.GetWidth() / 2, image.GetHeight() / 2);
    };
    EXPECT_GT(litCentre([] { DrawSuperellipsoid(1, 1, 16, false); }), 100);
    EXPECT_GT(litCentre([] { DrawSuperellipsoid(0.5, 2, 16, true); }), 100);
    EXPECT_GT(litCentre([] { DrawEllipsoidMesh(1, 1, 1, 16); }), 100);
    EXPECT_GT(litCentre([] { DrawSolidSphere(1, 0, 0); }), 100);
}

TEST_F(ShapesTest, TinyArrowDrawsNothingAndScaleReturnsToOne)
{
    EXPECT_TRUE(Capture([] { DrawArrowTo(0, 0, 1e-6, true, true, 3.0); }).raw.empty());
    EXPECT_EQ(GetArrowScale(), 1.0f);
    EXPECT_FALSE(Capture([] { DrawArrowTo(1, 0, 0, true, true, 3.0); }).raw.empty());
    EXPECT_EQ(GetArrowScale(), 1.0f);
}

TEST_F(ShapesTest, ArrowToPointsAlongItsDirection)
{
    // The arrow tip is the polygon vertex farthest from the origin: it must lie along d.
    const double directions[][3] = {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0.6, -0.8, 0}, {0, 0, -1}};
    for (const auto& d : directions) {
        const Feedback f = Capture([&d] { DrawArrowTo(d[0], d[1], d[2], true, true, 1.0); });
        float best = -1, bx = 0, by = 0;
        for (const auto& p : f.polygons)
            for (size_t k = 0; k < p.size(); k += 3) {
                const float x = p[k] / 80.0f - 2.0f, y = p[k + 1] / 60.0f - 2.0f;
                const float z = 2.0f - 4.0f * p[k + 2];
                const float r = x * x + y * y + z * z;
                if (r > best) best = r, bx = x, by = y;
            }
        EXPECT_NEAR(bx, d[0], 0.01) << d[0] << " " << d[1] << " " << d[2];
        EXPECT_NEAR(by, d[1], 0.01) << d[0] << " " << d[1] << " " << d[2];
    }
}

TEST_F(ShapesTest, TrihedronCarriesSelectionNamesOnlyWhenPicking)
{
    const auto pick = [](bool selectable, GLenum mode) {
        GLuint buffer[256] = {};
        glSelectBuffer(256, buffer);
        glRenderMode(GL_SELECT);
        glInitNames();
        DrawTrihedron(1.0, mode, -1, true, selectable);
        const GLint hits = glRenderMode(GL_RENDER);
        std::vector<GLuint> names;
        for (GLint h = 0, i = 0; h < hits; ++h) {
            const GLuint count = buffer[i];
            for (GLuint k = 0; k < count; ++k) names.push_back(buffer[i + 3 + k]);
            i += 3 + static_cast<GLint>(count);
        }
        return names;
    };
    EXPECT_EQ(pick(true, GL_SELECT), (std::vector<GLuint>{2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(pick(false, GL_SELECT).empty());
    EXPECT_TRUE(pick(true, GL_RENDER).empty());
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShapesTest, EllipsoidAndArrowLeaveTheStateAsTheyFoundIt)
{
    glDisable(GL_NORMALIZE);
    DrawSolidEllipsoid(1, 2, 3, 0, 0);
    EXPECT_EQ(glIsEnabled(GL_NORMALIZE), GL_FALSE);
    glEnable(GL_NORMALIZE);
    DrawSolidEllipsoid(1, 2, 3, 0, 0);
    EXPECT_EQ(glIsEnabled(GL_NORMALIZE), GL_TRUE);
    glColor3f(0.25f, 0.5f, 0.75f);
    DrawAxisArrow(1.0, true, true);
    GLfloat colour[4];
    glGetFloatv(GL_CURRENT_COLOR, colour);
    EXPECT_FLOAT_EQ(colour[1], 0.5f);
    GLdouble m[16];
    glGetDoublev(GL_MODELVIEW_MATRIX, m);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m[i], (i % 5 == 0) ? 1.0 : 0.0);
    DrawGridPlaneXY(2, 0, 0);  // no divisions: just the frame, no evaluator error
    GLfloat width = 0;
    glGetFloatv(GL_LINE_WIDTH, &width);
    EXPECT_EQ(width, 2.0f);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShapesTest, WindowToWorldOnAnEmptyPixelGivesTheFarPlane)
{
    glClearDepth(1.0);
    glClear(GL_DEPTH_BUFFER_BIT);
    double x = 0, y = 0, z = 0;
    ASSERT_EQ(WindowToWorld(160, 120, &x, &y, &z), GL_TRUE);
    EXPECT_NEAR(z, -2.0, 1e-6);  // far plane of glOrtho(..., -2, 2)
    EXPECT_NEAR(x, 0.0, 1e-6);
}

TEST_F(ShapesTest, ScrollOffsetWrapsAfterFiveHundredQuads)
{
    const double centre[3] = {0, 0, 0};
    const float start = GetScrollOffset();
    for (int i = 0; i < 500; ++i) DrawScrollingQuad(centre, 1.0, GL_INVALID_VALUE, false);
    const float moved = std::fmod(GetScrollOffset() - start + 1.0f, 1.0f);
    EXPECT_TRUE(moved < 1e-3f || moved > 1.0f - 1e-3f) << moved;
    GLdouble range[2];
    glGetDoublev(GL_DEPTH_RANGE, range);
    EXPECT_EQ(range[0], 0.0);
    EXPECT_EQ(range[1], 1.0);
}

TEST_F(ShapesTest, TeapotsStandOnZ)
{
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-2, 2, -1.5, 1.5, -10, 10);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glRotatef(-90.0f, 1.0f, 0.0f, 0.0f);  // z up on the screen, looking along +y
    glColor3f(1, 1, 1);
    DrawSolidTeapot(1.0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    const wxImage solid = m_window.ReadImage();
    const int w = solid.GetWidth(), h = solid.GetHeight();
    EXPECT_GT(solid.GetRed(w / 2, h / 2), 128);  // the body
    // Seen from the side with z up, the body sits low and the lid narrows above
    // it; seen along its own axis the pot would be mirror-symmetric up and down.
    int top = h, bottom = -1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (solid.GetRed(x, y) > 128) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    ASSERT_LT(top, bottom);
    const int middle = (top + bottom) / 2;
    int upper = 0, lower = 0;
    for (int y = top; y <= bottom; ++y)
        for (int x = 0; x < w; ++x)
            if (solid.GetRed(x, y) > 128)
                ++(y < middle ? upper : lower);
    EXPECT_GT(lower, upper * 5 / 4);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    DrawWireTeapot(1.0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(ShapesTest, PictureOfAFewShapes)
{
    glClearColor(0.2f, 0.3f, 0.5f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(45.0, 320.0 / 240.0, 0.1, 50.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    gluLookAt(3, -6, 4, 0, 0, 0, 0, 0, 1);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glEnable(GL_COLOR_MATERIAL);
    const GLfloat light[4] = {2, -3, 5, 0};
    glLightfv(GL_LIGHT0, GL_POSITION, light);

    glColor3f(0.9f, 0.9f, 0.9f);
    DrawGridPlaneXY(4, 0, 8);
    glPushMatrix();
    glTranslated(-1.2, 0, 0.5);
    glColor3f(0.9f, 0.6f, 0.1f);
    DrawSolidCube(0.8);
    glPopMatrix();
    glPushMatrix();
    glTranslated(0.2, 0.8, 0.5);
    glColor3f(0.8f, 0.1f, 0.1f);
    DrawSolidSphere(0.5, 0, 0);
    glPopMatrix();
    glPushMatrix();
    glTranslated(1.3, -0.6, 0.3);
    glColor3f(0.2f, 0.8f, 0.3f);
    DrawSolidTorus(0.15, 0.5);
    glPopMatrix();
    glPushMatrix();
    glTranslated(0.3, -1.4, 0.4);
    glScaled(0.4, 0.4, 0.4);
    glColor3f(0.7f, 0.3f, 0.9f);
    DrawSuperellipsoid(0.3, 0.3, 24, false);
    glPopMatrix();
    glPushMatrix();
    glTranslated(-1.0, -1.8, 0.2);
    glColor3f(0.95f, 0.95f, 0.6f);
    DrawSolidTeapot(0.6);
    glPopMatrix();
    DrawTrihedron(1.0, GL_RENDER, 2, false, false);
    glDisable(GL_LIGHTING);
    DrawAxes(1.6);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    const wxImage image = m_window.ReadImage();
    // Background in a corner, lit shapes elsewhere.
    EXPECT_NEAR(image.GetRed(1, 1), 51, 2);
    EXPECT_NEAR(image.GetBlue(1, 1), 128, 2);
    int shapePixels = 0;
    for (int y = 0; y < image.GetHeight(); ++y)
        for (int x = 0; x < image.GetWidth(); ++x)
            if (std::abs(image.GetRed(x, y) - 51) > 20 || std::abs(image.GetBlue(x, y) - 128) > 20)
                ++shapePixels;
    EXPECT_GT(shapePixels, image.GetWidth() * image.GetHeight() / 20);
    wxFileName::Mkdir(QV_TEST_OUTPUT_DIR, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
    EXPECT_TRUE(image.SaveFile(QV_TEST_OUTPUT_DIR "/glShapes.png", wxBITMAP_TYPE_PNG));
}
