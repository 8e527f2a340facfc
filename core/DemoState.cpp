#include "core/DemoState.h"

DemoTimeline* gDemoSequencer = nullptr;
float gCurrentTime = 0.0f;
float gSceneStart = 0.0f;
float gSceneEnd = 45.0f;
float gSceneProgress = 0.0f;

D3DXVECTOR3 gCameraPos(10.0f, 10.0f, 10.0f);
D3DXVECTOR3 gCameraTarget(0.0f, 0.0f, 0.0f);
D3DXVECTOR3 gCameraUp(0.0f, 1.0f, 0.0f);
float gCameraNear = 0.1f;
float gCameraFar = 100.0f;
D3DXMATRIX gCameraViewMatrix = {};
D3DXMATRIX gCameraProjMatrix = {};
float gCameraFov = 45.0f;
int gAspectWidth = 800;
int gAspectHeight = 600;

int gReduceLOD = 0;
int gNoPostProcess = 0;
bool gTimeResyncRequest = false;
bool gEndDemo = false;
