// Camera flight paths: timed key frames of eye, target, up and clipping
// distances, evaluated at a time since the owning scene's start.
#pragma once

#include <istream>
#include <vector>

#include "core/DemoState.h"  // the camera state the paths drive
#include "platform/d3dx/D3DXMath.h"

// How the segment from a key to the next one blends.
enum CameraKeyMode {
  CAMERA_KEY_LINEAR = 0,
  CAMERA_KEY_SMOOTHSTEP = 1,
  CAMERA_KEY_SPLINE = 2,
  // any other value holds the key's own values for the whole segment
};

struct CameraKey {
  int mode;
  float time;           // seconds from the scene's start
  float tension;        // scale of the spline tangents at this key
  float segmentLength;  // mean distance to the neighbouring keys' positions
  D3DXVECTOR3 position;
  D3DXVECTOR3 target;
  D3DXVECTOR3 up;
  float near;
  float far;

  // The key that paths start from and that a description's key block grows
  // with: a spline key at time 0 looking from (10, 10, 10) at the origin.
  static CameraKey defaultKey();
};

class CameraPath {
 public:
  CameraPath();  // the default path: two keys, 30 seconds towards the origin

  // Segment at u: e is the key the segment starts at, f the one it ends at
  // (equal at either end of the path); the result is the blend weight of
  // key e's mode. Needs at least one key.
  float findSegment(float u, int& e, int& f) const;
  // The interpolated key at u (mode, time, tension and clipping are key e's).
  CameraKey keyAt(float u) const;
  D3DXVECTOR3 positionAt(float u) const;
  D3DXVECTOR3 targetAt(float u) const;
  D3DXVECTOR3 upAt(float u) const;
  // Clipping distances of the segment's first key, never blended.
  void clipPlanesAt(float u, float& near, float& far) const;

  // Reads a key block (count, then 14 numbers per key). A failed read
  // leaves the stream failed and the keys read so far in place.
  bool read(std::istream& in);
  void computeSegmentLengths();

  std::vector<CameraKey> keys;

 private:
  // Steps shared by findSegment and keyAt: the segment and its linear weight.
  float segmentWeight(float u, int& e, int& f) const;
};
