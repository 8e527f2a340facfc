// The demo's state that the entry routine, the sequencer and the script API
// share: the timeline, scene timing, the camera and the run's switches. The
// sequencer and the entry routine write them; the script API reads them.
#pragma once

#include "platform/d3dx/D3DXMath.h"

// What the script API may ask of the demo's timeline.
class DemoTimeline {
 public:
  virtual ~DemoTimeline() = default;
  // The colour the frame is cleared to, each channel 0..255.
  virtual void setClearColor(int red, int green, int blue) = 0;
};

// The sequencer while one exists.
extern DemoTimeline* gDemoSequencer;

// Scene timing read by the script utilities.
extern float gCurrentTime;
extern float gSceneStart;
extern float gSceneEnd;
extern float gSceneProgress;

// Camera state shared with the script API's camera functions and the mesh
// functions that need the eye position.
extern D3DXVECTOR3 gCameraPos;
extern D3DXVECTOR3 gCameraTarget;
extern D3DXVECTOR3 gCameraUp;
extern float gCameraNear;
extern float gCameraFar;
extern D3DXMATRIX gCameraViewMatrix;
extern D3DXMATRIX gCameraProjMatrix;
extern float gCameraFov;  // degrees
extern int gAspectWidth;
extern int gAspectHeight;

// The run's switches and requests between the entry routine and scripts.
extern int gReduceLOD;
extern int gNoPostProcess;
extern bool gTimeResyncRequest;
extern bool gEndDemo;
