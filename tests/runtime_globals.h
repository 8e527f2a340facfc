// The run-wide globals of the entry routine, the setup dialog, the
// sequencer, the camera, the script utilities and the text meshes' letter
// cache, put back to the values they hold at program start. A run through
// the entry routine or the sequencer leaves them as it ended (the demo
// ended, the last scene's times published, the camera moved, letters built
// on its device); fixtures that run one call this in their set-up so that
// no test depends on what ran before it.
#pragma once

#include <vector>

#include "runtime/CameraPath.h"
#include "runtime/DemoSequencer.h"
#include "runtime/ScriptDebug.h"
#include "runtime/ScriptHost.h"
#include "runtime/SetupDialog.h"
#include "runtime/WinMain.h"
#include "scriptapi/ScriptUtils.h"
#include "scriptapi/TextMesh.h"

namespace test_globals {

// A description that does not load leaves the entry routine's host and
// sequencer alive (the program ends right after). Here they stay reachable,
// so that many such runs in one process are not reported as leaks, and the
// globals let go of them, so that no later test finds them.
inline void keepWhatAFailedRunLeft() {
  static std::vector<void*>& kept = *new std::vector<void*>;
  if (gDemoSequencer) kept.push_back(gDemoSequencer);
  if (gScriptHost) kept.push_back(gScriptHost);
  gDemoSequencer = nullptr;
  gScriptHost = nullptr;
}

inline void resetRuntimeGlobals() {
  keepWhatAFailedRunLeft();
  // Entry routine and setup dialog.
  gEndDemo = false;
  gTimeResyncRequest = false;
  gReduceLOD = 0;
  gNoPostProcess = 0;
  gScreenWidth = gScreenHeight = gColorBits = 0;
  gFullscreen = gVSync = gHighResModels = gAdditionalEffects = false;
  setup_test::clearChoices();
  // Sequencer: the scene times that "initGlobals" sees before any scene ran.
  gCurrentTime = 0.0f;
  gSceneStart = 0.0f;
  gSceneEnd = 45.0f;
  gSceneProgress = 0.0f;
  // Camera.
  gCameraPos = D3DXVECTOR3(10.0f, 10.0f, 10.0f);
  gCameraTarget = D3DXVECTOR3(0.0f, 0.0f, 0.0f);
  gCameraUp = D3DXVECTOR3(0.0f, 1.0f, 0.0f);
  gCameraNear = 0.1f;
  gCameraFar = 100.0f;
  gCameraViewMatrix = {};
  gCameraProjMatrix = {};
  gCameraFov = 45.0f;
  gAspectWidth = 800;
  gAspectHeight = 600;
  // Script utilities and trace position.
  gQualitySetting2 = gQualitySetting3 = 1;
  script_utils_test::setCalendarClock(nullptr);
  gTraceName.clear();
  gTraceLine = -1;
  // The letters a run built belong to its device (and keep it alive); a
  // later run on another device must build its own.
  gGlyphMeshCache.clear();
}

}  // namespace test_globals
