// The window face as a module of its own (brenvik-qt-face.so), which the
// program loads only when a window opens: a run in the terminal never
// loads the toolkit's libraries, and starts in half the time.

#include "qt/qt_face_module.h"

#include "config/session_config.h"
#include "qt/qt_face.h"

extern "C" __attribute__((visibility("default"))) int BrenvikRunQtFace(
    int argc, char** argv, const brenvik::SessionConfig* config) {
  return brenvik::RunQtFace(argc, argv, *config);
}
