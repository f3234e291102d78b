#pragma once
// A recording stand-in for the OpenGL immediate-mode functions that the overlay calls.
//
// Linking this library into an executable defines glBegin, glEnd, glVertex2d, glVertex2f, glColor4f, glColor3f
// and glLineWidth there, with C linkage and default visibility. Built with ENABLE_EXPORTS (-rdynamic), the
// executable's definitions come first in the dynamic linker's global scope, so a plug-in module that links
// the system's libGL and is loaded later binds its calls to them instead. Nothing is drawn: each
// glBegin ... glEnd becomes one Primitive with the state current at its glBegin.
//
// GL state (current colour and line width, and the primitive being built) is per thread, as with one GL
// context current on each thread; finished primitives go to one process-wide list under a lock, in the order
// their glEnd calls happened. Defaults are GL's: colour (1, 1, 1, 1), line width 1.

#include <cstddef>
#include <string>
#include <vector>

namespace kesto::glrecord {

// GL's primitive modes (the values of GL_POINTS .. GL_POLYGON).
enum class Mode : unsigned {
  Points = 0x0000,
  Lines = 0x0001,
  LineLoop = 0x0002,
  LineStrip = 0x0003,
  Triangles = 0x0004,
  TriangleStrip = 0x0005,
  TriangleFan = 0x0006,
  Quads = 0x0007,
  QuadStrip = 0x0008,
  Polygon = 0x0009,
};

// "GL_LINE_LOOP" etc.; "GL_(unknown)" for a value outside the list.
const char *modeName(Mode mode);
bool knownMode(unsigned value);

struct Vertex {
  double x = 0.0;
  double y = 0.0;
};

struct Colour {
  float red = 1.0f;
  float green = 1.0f;
  float blue = 1.0f;
  float alpha = 1.0f;
};

struct Primitive {
  Mode mode = Mode::Points;
  std::vector<Vertex> vertices;
  Colour colour;            // current colour at glBegin
  float lineWidth = 1.0f;   // current line width at glBegin
};

// Copy of every primitive recorded since the last clear, in glEnd order.
std::vector<Primitive> primitives();
// The same, emptying the list.
std::vector<Primitive> takePrimitives();
// Empties the list and the misuse count, and puts the calling thread's state back to GL's defaults (other
// threads keep theirs).
void clear();

// Calls that GL would refuse or ignore since the last clear: glBegin inside glBegin ... glEnd, glEnd or
// glLineWidth without / inside it as GL forbids, glVertex outside it, glBegin with an unknown mode, a line
// width not above 0. Each is counted and otherwise ignored.
std::size_t misuseCount();

// One line per primitive, for test failure messages.
std::string describe(const std::vector<Primitive> &list);

}  // namespace kesto::glrecord
