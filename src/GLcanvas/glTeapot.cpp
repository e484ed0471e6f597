#include "GLcanvas/glShapes.h"
#include "GLcanvas/glutText.h"

#include <GL/freeglut.h>

namespace {

// freeglut's teapot stands on y; ours, like every other shape here, on z. Its own
// turn of 270 degrees about x is undone, which leaves the scale by half the size
// and the drop of 1.5 along z.
void DrawTeapot(double size, bool solid)
{
    InitGlutText();
    if (!IsGlutTextReady())
        return;  // no display for freeglut: nothing drawn
    glPushMatrix();
    glRotatef(90.0f, 1.0f, 0.0f, 0.0f);
    if (solid)
        glutSolidTeapot(size);
    else
        glutWireTeapot(size);
    glPopMatrix();
}

}  // namespace

void DrawSolidTeapot(double size)
{
    DrawTeapot(size, true);
}

void DrawWireTeapot(double size)
{
    DrawTeapot(size, false);
}
