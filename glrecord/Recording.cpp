// The recording GL entry points and the list they fill. The entry points live in this same file as the
// reading functions on purpose: an executable that reads the recording pulls this object out of the static
// library, and with it the definitions that the plug-in module binds to.

#include "glrecord/Recording.h"

#include <GL/gl.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <utility>

namespace kesto::glrecord {
namespace {

// The per-thread "context": what GL keeps current between calls.
struct ThreadState {
  Colour colour;
  float lineWidth = 1.0f;
  bool inside = false;  // between glBegin and glEnd
  Primitive building;
};

thread_local ThreadState tState;

std::mutex gListMutex;
std::vector<Primitive> gList;
// Atomic rather than under the lock: counting must not fail, even while handling a failure.
std::atomic<std::size_t> gMisuse{0};

void countMisuse() noexcept { gMisuse.fetch_add(1, std::memory_order_relaxed); }

void begin(unsigned mode) {
  if (tState.inside || !knownMode(mode)) {
    countMisuse();
    return;
  }
  tState.inside = true;
  tState.building = Primitive{};
  tState.building.mode = static_cast<Mode>(mode);
  tState.building.colour = tState.colour;
  tState.building.lineWidth = tState.lineWidth;
}

void end() {
  if (!tState.inside) {
    countMisuse();
    return;
  }
  tState.inside = false;
  Primitive done = std::move(tState.building);
  tState.building = Primitive{};
  std::lock_guard<std::mutex> lock(gListMutex);
  gList.push_back(std::move(done));
}

void vertex(double x, double y) {
  if (!tState.inside) {
    countMisuse();
    return;
  }
  tState.building.vertices.push_back({x, y});
}

void colour(float red, float green, float blue, float alpha) { tState.colour = {red, green, blue, alpha}; }

void lineWidth(float width) {
  if (tState.inside || !(width > 0.0f)) {
    countMisuse();
    return;
  }
  tState.lineWidth = width;
}

}  // namespace

bool knownMode(unsigned value) { return value <= static_cast<unsigned>(Mode::Polygon); }

const char *modeName(Mode mode) {
  switch (mode) {
    case Mode::Points: return "GL_POINTS";
    case Mode::Lines: return "GL_LINES";
    case Mode::LineLoop: return "GL_LINE_LOOP";
    case Mode::LineStrip: return "GL_LINE_STRIP";
    case Mode::Triangles: return "GL_TRIANGLES";
    case Mode::TriangleStrip: return "GL_TRIANGLE_STRIP";
    case Mode::TriangleFan: return "GL_TRIANGLE_FAN";
    case Mode::Quads: return "GL_QUADS";
    case Mode::QuadStrip: return "GL_QUAD_STRIP";
    case Mode::Polygon: return "GL_POLYGON";
  }
  return "GL_(unknown)";
}

std::vector<Primitive> primitives() {
  std::lock_guard<std::mutex> lock(gListMutex);
  return gList;
}

std::vector<Primitive> takePrimitives() {
  std::lock_guard<std::mutex> lock(gListMutex);
  std::vector<Primitive> taken;
  taken.swap(gList);
  return taken;
}

void clear() {
  {
    std::lock_guard<std::mutex> lock(gListMutex);
    gList.clear();
  }
  gMisuse.store(0, std::memory_order_relaxed);
  tState = ThreadState{};
}

std::size_t misuseCount() { return gMisuse.load(std::memory_order_relaxed); }

std::string describe(const std::vector<Primitive> &list) {
  std::string text;
  char line[160];
  for (const Primitive &p : list) {
    std::snprintf(line, sizeof line, "%s colour (%g, %g, %g, %g) width %g, %zu vertices:", modeName(p.mode),
                  static_cast<double>(p.colour.red), static_cast<double>(p.colour.green),
                  static_cast<double>(p.colour.blue), static_cast<double>(p.colour.alpha),
                  static_cast<double>(p.lineWidth), p.vertices.size());
    text += line;
    for (const Vertex &v : p.vertices) {
      std::snprintf(line, sizeof line, " (%g, %g)", v.x, v.y);
      text += line;
    }
    text += '\n';
  }
  return text;
}

}  // namespace kesto::glrecord

// The GL entry points. C linkage and default visibility: an executable built with exported symbols offers
// them to every module it loads. None of them can throw into the caller.
extern "C" {

__attribute__((visibility("default"))) void glBegin(GLenum mode) {
  try {
    kesto::glrecord::begin(mode);
  } catch (...) {
    kesto::glrecord::countMisuse();
  }
}

__attribute__((visibility("default"))) void glEnd(void) {
  try {
    kesto::glrecord::end();
  } catch (...) {
    kesto::glrecord::countMisuse();
  }
}

__attribute__((visibility("default"))) void glVertex2d(GLdouble x, GLdouble y) {
  try {
    kesto::glrecord::vertex(x, y);
  } catch (...) {
    kesto::glrecord::countMisuse();
  }
}

__attribute__((visibility("default"))) void glVertex2f(GLfloat x, GLfloat y) {
  try {
    kesto::glrecord::vertex(static_cast<double>(x), static_cast<double>(y));
  } catch (...) {
    kesto::glrecord::countMisuse();
  }
}

__attribute__((visibility("default"))) void glColor4f(GLfloat red, GLfloat green, GLfloat blue, GLfloat alpha) {
  kesto::glrecord::colour(red, green, blue, alpha);
}

__attribute__((visibility("default"))) void glColor3f(GLfloat red, GLfloat green, GLfloat blue) {
  kesto::glrecord::colour(red, green, blue, 1.0f);
}

__attribute__((visibility("default"))) void glLineWidth(GLfloat width) { kesto::glrecord::lineWidth(width); }

}  // extern "C"
