#include "runtime/CameraPath.h"

#include <cmath>

namespace {

D3DXVECTOR3 vec(float x, float y, float z) { return D3DXVECTOR3(x, y, z); }

D3DXVECTOR3 lerp(const D3DXVECTOR3& a, const D3DXVECTOR3& b, float w) { return a + (b - a) * w; }

float smoothstep(float w) { return w * w * (3.0f - 2.0f * w); }

long double distance(const D3DXVECTOR3& a, const D3DXVECTOR3& b) {
  long double dx = (long double)a.x - b.x, dy = (long double)a.y - b.y, dz = (long double)a.z - b.z;
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

}  // namespace

CameraKey CameraKey::defaultKey() {
  CameraKey key;
  key.mode = CAMERA_KEY_SPLINE;
  key.time = 0.0f;
  key.tension = 2.0f;
  key.segmentLength = 0.0f;
  key.position = vec(10.0f, 10.0f, 10.0f);
  key.target = vec(0.0f, 0.0f, 0.0f);
  key.up = vec(0.0f, 1.0f, 0.0f);
  key.near = 0.1f;
  key.far = 1000.0f;
  return key;
}

CameraPath::CameraPath() : keys(2, CameraKey::defaultKey()) {
  keys[1].time = 30.0f;
  keys[1].position = vec(0.0f, 0.0f, 0.0f);
  computeSegmentLengths();
}

float CameraPath::segmentWeight(float u, int& e, int& f) const {
  const int n = (int)keys.size();
  int i = 0;
  while (i < n && !(keys[i].time > u)) ++i;
  if (i < n) {
    e = i > 0 ? i - 1 : 0;
    f = e == n - 1 ? e : e + 1;
  } else {
    e = f = n - 1;
  }
  if (e == f) return 0.0f;
  const float d = u - keys[e].time;
  if (!(d > 0.0f)) return 0.0f;
  return d / (keys[f].time - keys[e].time);
}

float CameraPath::findSegment(float u, int& e, int& f) const {
  const float w = segmentWeight(u, e, f);
  switch (keys[e].mode) {
    case CAMERA_KEY_LINEAR:
    case CAMERA_KEY_SPLINE:
      return w;
    case CAMERA_KEY_SMOOTHSTEP:
      return smoothstep(w);
    default:
      return 0.0f;
  }
}

CameraKey CameraPath::keyAt(float u) const {
  int e, f;
  const float w = segmentWeight(u, e, f);
  const int n = (int)keys.size();
  const int p = e > 0 ? e - 1 : e;
  const CameraKey& ke = keys[e];
  const CameraKey& kf = keys[f];
  CameraKey key = ke;
  switch (ke.mode) {
    case CAMERA_KEY_LINEAR:
    case CAMERA_KEY_SMOOTHSTEP: {
      const float x = ke.mode == CAMERA_KEY_LINEAR ? w : smoothstep(w);
      key.position = lerp(ke.position, kf.position, x);
      key.target = lerp(ke.target, kf.target, x);
      key.up = lerp(ke.up, kf.up, x);
      break;
    }
    case CAMERA_KEY_SPLINE: {
      // Tangents: the mean of the neighbouring chords, scaled by the key's
      // tension (tension 1 gives Catmull-Rom tangents).
      const D3DXVECTOR3 d1 = kf.position - ke.position;
      const D3DXVECTOR3 d0 = p != e ? ke.position - keys[p].position : d1;
      const D3DXVECTOR3 d2 = f < n - 1 ? keys[f + 1].position - kf.position : d1;
      const D3DXVECTOR3 t0 = (d0 + (d1 - d0) * 0.5f) * ke.tension;
      const D3DXVECTOR3 t1 = (d1 + (d2 - d1) * 0.5f) * kf.tension;
      D3DXVec3Hermite(&key.position, &ke.position, &t0, &kf.position, &t1, w);
      key.target = lerp(ke.target, kf.target, w);
      key.up = lerp(ke.up, kf.up, w);
      break;
    }
    default:
      break;
  }
  return key;
}

D3DXVECTOR3 CameraPath::positionAt(float u) const {
  if (keys.empty()) return vec(10.0f, 10.0f, 10.0f);
  return keyAt(u).position;
}

D3DXVECTOR3 CameraPath::targetAt(float u) const {
  if (keys.empty()) return vec(0.0f, 0.0f, 0.0f);
  int e, f;
  const float w = findSegment(u, e, f);
  return lerp(keys[e].target, keys[f].target, w);
}

D3DXVECTOR3 CameraPath::upAt(float u) const {
  if (keys.empty()) return vec(0.0f, 1.0f, 0.0f);
  int e, f;
  const float w = findSegment(u, e, f);
  return lerp(keys[e].up, keys[f].up, w);
}

void CameraPath::clipPlanesAt(float u, float& near, float& far) const {
  if (keys.empty()) {
    // No key to take them from: the default key's distances, as the other
    // evaluations fall back to the default key's values.
    const CameraKey key = CameraKey::defaultKey();
    near = key.near;
    far = key.far;
    return;
  }
  int e, f;
  findSegment(u, e, f);
  near = keys[e].near;
  far = keys[e].far;
}

bool CameraPath::read(std::istream& in) {
  int count = 0;
  in >> count;
  if (in.fail()) return false;
  if (count < 0) {
    // Outside the format: refuse it as a read failure.
    in.setstate(std::ios::failbit);
    return false;
  }
  // The keys grow as they are read rather than being made room for up front,
  // so a count far beyond what the text holds costs nothing.
  for (int i = 0; i < count; ++i) {
    if (i == (int)keys.size()) keys.push_back(CameraKey::defaultKey());
    CameraKey& key = keys[i];
    in >> key.mode >> key.time >> key.tension >> key.position.x >> key.position.y >>
        key.position.z >> key.target.x >> key.target.y >> key.target.z >> key.up.x >> key.up.y >>
        key.up.z >> key.near >> key.far;
    if (in.fail()) {
      if ((int)keys.size() > count) keys.resize(count);
      return false;
    }
  }
  keys.resize(count);
  computeSegmentLengths();
  return true;
}

void CameraPath::computeSegmentLengths() {
  const int n = (int)keys.size();
  if (n == 0) return;
  if (n == 1) {
    keys[0].segmentLength = 0.0f;  // no neighbour to measure to
    return;
  }
  keys[0].segmentLength = (float)distance(keys[1].position, keys[0].position);
  for (int i = 1; i < n - 1; ++i)
    keys[i].segmentLength = (float)((distance(keys[i + 1].position, keys[i].position) +
                                     distance(keys[i].position, keys[i - 1].position)) *
                                    0.5L);
  keys[n - 1].segmentLength = (float)distance(keys[n - 1].position, keys[n - 2].position);
}
