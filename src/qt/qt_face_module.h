#pragma once
// The entry point of the window face's module (qt/qt_face_module.cpp),
// looked up by name when the program loads it (app/qt_face_loader.h).

namespace brenvik {
struct SessionConfig;
}

// The name the loader looks up; the module and the program are built from
// the same sources, so the configuration's layout is the same on both sides.
inline constexpr const char* kQtFaceEntryName = "BrenvikRunQtFace";
using QtFaceEntry = int (*)(int argc, char** argv, const brenvik::SessionConfig* config);
