#pragma once

// The few figures the canvas and the tracker view draw, in the current
// modelview of the current context. GUI thread.

// Square line grid of n divisions, side size, in the plane z = offset (XY),
// x = offset (YZ) or y = offset (XZ); leaves the line width at 2.
void CanvasGridXY(float size, float offset, int n);
void CanvasGridYZ(float size, float offset, int n);
void CanvasGridXZ(float size, float offset, int n);
// Red, green and blue arrows of length l along +X, +Y, +Z.
void CanvasAxisArrows(float l);
// Plain line axes of length l with arrowheads.
void CanvasAxes(float l);
// Cube of edge size centred on the origin, with face normals.
void CanvasSolidCube(double size);
void CanvasWireCube(double size);
// Axis trihedron: arrows of length size in red, green and blue.
void CanvasTrihedron(double size);
