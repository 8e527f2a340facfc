#include <gtest/gtest.h>

#include <sstream>

#include "runtime/CameraPath.h"

namespace {

CameraKey key(int mode, float time, D3DXVECTOR3 position, float nearPlane = 0.1f,
              float farPlane = 1000.0f) {
  CameraKey k = CameraKey::defaultKey();
  k.mode = mode;
  k.time = time;
  k.position = position;
  k.target = position * 2.0f;  // distinct targets so blends show
  k.up = D3DXVECTOR3(0, 1, 0);
  k.near = nearPlane;
  k.far = farPlane;
  return k;
}

CameraPath pathOf(std::initializer_list<CameraKey> keys) {
  CameraPath path;
  path.keys = keys;
  path.computeSegmentLengths();
  return path;
}

void expectVec(const D3DXVECTOR3& v, float x, float y, float z) {
  EXPECT_NEAR(v.x, x, 1e-5f);
  EXPECT_NEAR(v.y, y, 1e-5f);
  EXPECT_NEAR(v.z, z, 1e-5f);
}

}  // namespace

TEST(CameraPath, DefaultPathMidwayAndAfterItsEnd) {
  CameraPath path;
  ASSERT_EQ(path.keys.size(), 2u);
  // Spline mode, w = 0.5: all three chords (-10,-10,-10), tangents twice that.
  expectVec(path.positionAt(15), 5, 5, 5);
  expectVec(path.targetAt(15), 0, 0, 0);
  expectVec(path.upAt(15), 0, 1, 0);

  expectVec(path.positionAt(40), 0, 0, 0);
  expectVec(path.targetAt(40), 0, 0, 0);
  expectVec(path.upAt(40), 0, 1, 0);
  float nearPlane = 0, farPlane = 0;
  path.clipPlanesAt(40, nearPlane, farPlane);
  EXPECT_FLOAT_EQ(nearPlane, 0.1f);
  EXPECT_FLOAT_EQ(farPlane, 1000.0f);
  // Before the first key the path rests there.
  expectVec(path.positionAt(-5), 10, 10, 10);
}

TEST(CameraPath, SegmentSearchAndBlendWeights) {
  struct Case {
    int mode;
    float u;
    int e, f;
    float weight;
  } cases[] = {
      {0, 5, 0, 1, 0.5f},         // linear, halfway
      {1, 5, 0, 1, 0.5f},         // smoothstep, halfway
      {1, 2.5f, 0, 1, 0.15625f},  // smoothstep, a quarter
      {2, 2.5f, 0, 1, 0.25f},     // spline weight stays linear
      {7, 5, 0, 1, 0.0f},         // any other mode holds
      {0, -3, 0, 1, 0.0f},        // before the first key
      {0, 10, 1, 2, 0.0f},        // exactly at a key: that key starts the segment
      {0, 25, 2, 2, 0.0f},        // after the last key
  };
  for (const Case& c : cases) {
    CameraPath path =
        pathOf({key(c.mode, 0, {0, 0, 0}), key(0, 10, {10, 0, 0}), key(0, 20, {20, 0, 0})});
    int e = -1, f = -1;
    EXPECT_FLOAT_EQ(path.findSegment(c.u, e, f), c.weight) << "mode " << c.mode << " u " << c.u;
    EXPECT_EQ(e, c.e) << "mode " << c.mode << " u " << c.u;
    EXPECT_EQ(f, c.f) << "mode " << c.mode << " u " << c.u;
  }
}

TEST(CameraPath, BlendsPositionTargetAndUpByMode) {
  CameraPath smooth = pathOf({key(1, 0, {0, 0, 0}), key(1, 4, {8, 0, 0})});
  smooth.keys[1].up = D3DXVECTOR3(1, 0, 0);
  const CameraKey k = smooth.keyAt(1);  // a quarter: weight 0.15625
  expectVec(k.position, 1.25f, 0, 0);
  expectVec(k.target, 2.5f, 0, 0);
  expectVec(k.up, 0.15625f, 0.84375f, 0);
  expectVec(smooth.targetAt(1), 2.5f, 0, 0);
  expectVec(smooth.upAt(1), 0.15625f, 0.84375f, 0);
}

TEST(CameraPath, HoldModeJumpsAtTheNextKey) {
  CameraPath path = pathOf({key(7, 0, {1, 2, 3}), key(0, 10, {5, 5, 5}), key(0, 20, {9, 9, 9})});
  for (float u : {0.0f, 3.0f, 9.99f}) {
    expectVec(path.positionAt(u), 1, 2, 3);
    expectVec(path.targetAt(u), 2, 4, 6);
  }
  expectVec(path.positionAt(10), 5, 5, 5);
}

TEST(CameraPath, SplineTangentsUseEachKeysTension) {
  CameraPath path = pathOf({key(2, 0, {0, 0, 0}), key(2, 10, {10, 0, 0}), key(2, 20, {10, 10, 0})});
  path.keys[0].tension = 1.0f;
  path.keys[1].tension = 3.0f;
  // T0 = (10,0,0) (no key before the first), T1 = mean of (10,0,0) and
  // (0,10,0) times key 1's tension = (15,15,0); Hermite at w = 0.5.
  expectVec(path.positionAt(5), 4.375f, -1.875f, 0);
  // Mode, time and clipping of the result are key e's.
  const CameraKey k = path.keyAt(5);
  EXPECT_EQ(k.mode, 2);
  EXPECT_FLOAT_EQ(k.time, 0.0f);
  EXPECT_FLOAT_EQ(k.tension, 1.0f);
}

TEST(CameraPath, OneKeyPathStaysAtItsKey) {
  CameraPath path = pathOf({key(2, 5, {1, 2, 3})});
  for (float u : {-100.0f, 0.0f, 5.0f, 1e6f}) {
    int e = -1, f = -1;
    EXPECT_EQ(path.findSegment(u, e, f), 0.0f);
    EXPECT_EQ(e, 0);
    EXPECT_EQ(f, 0);
    expectVec(path.positionAt(u), 1, 2, 3);
  }
}

TEST(CameraPath, ClipPlanesChangeOnlyAtKeyTimes) {
  CameraPath path = pathOf({key(0, 0, {0, 0, 0}, 1, 100), key(0, 10, {1, 0, 0}, 2, 200)});
  float n = 0, f = 0;
  path.clipPlanesAt(9.9f, n, f);
  EXPECT_EQ(n, 1.0f);
  EXPECT_EQ(f, 100.0f);
  path.clipPlanesAt(10, n, f);
  EXPECT_EQ(n, 2.0f);
  EXPECT_EQ(f, 200.0f);
}

TEST(CameraPath, EqualKeyTimesJumpAndSkipTheirSegment) {
  CameraPath path = pathOf({key(0, 0, {0, 0, 0}), key(0, 10, {10, 0, 0}), key(0, 10, {50, 0, 0}),
                            key(0, 20, {60, 0, 0})});
  expectVec(path.positionAt(9.999f), 9.999f, 0, 0);
  int e = -1, f = -1;
  path.findSegment(10, e, f);
  EXPECT_EQ(e, 2);  // the later of the two keys
  EXPECT_EQ(f, 3);
  expectVec(path.positionAt(10), 50, 0, 0);
  expectVec(path.positionAt(15), 55, 0, 0);
}

// Keys out of time order: the first key with a greater time still bounds the
// segment, so the camera rests, then jumps, and never divides by a zero or
// negative span.
TEST(CameraPath, KeysOutOfOrderFollowTheSameRules) {
  CameraPath path = pathOf({key(0, 10, {0, 0, 0}), key(0, 0, {10, 0, 0}), key(0, 20, {20, 0, 0})});
  struct Case {
    float u;
    int e, f;
    float weight, x;
  } cases[] = {
      {5, 0, 1, 0.0f, 0},    // before key 0's time: rests at key 0
      {12, 1, 2, 0.6f, 16},  // key 2 bounds the segment from key 1
      {25, 2, 2, 0.0f, 20},
  };
  for (const Case& c : cases) {
    int e = -1, f = -1;
    EXPECT_FLOAT_EQ(path.findSegment(c.u, e, f), c.weight) << "u " << c.u;
    EXPECT_EQ(e, c.e) << "u " << c.u;
    EXPECT_EQ(f, c.f) << "u " << c.u;
    expectVec(path.positionAt(c.u), c.x, 0, 0);
  }
}

TEST(CameraPath, EmptyPathFallsBackToTheDefaultKey) {
  CameraPath path;
  path.keys.clear();
  expectVec(path.positionAt(3), 10, 10, 10);
  expectVec(path.targetAt(3), 0, 0, 0);
  expectVec(path.upAt(3), 0, 1, 0);
  float n = 0, f = 0;
  path.clipPlanesAt(3, n, f);
  EXPECT_FLOAT_EQ(n, 0.1f);
  EXPECT_FLOAT_EQ(f, 1000.0f);
}

TEST(CameraPath, SegmentLengthsAreMeansOfNeighbouringDistances) {
  CameraPath path = pathOf({key(0, 0, {0, 0, 0}), key(0, 1, {3, 4, 0}), key(0, 2, {3, 4, 12})});
  EXPECT_FLOAT_EQ(path.keys[0].segmentLength, 5.0f);
  EXPECT_FLOAT_EQ(path.keys[1].segmentLength, 8.5f);
  EXPECT_FLOAT_EQ(path.keys[2].segmentLength, 12.0f);
}

TEST(CameraPathRead, ReadsKeysAndResizes) {
  struct Case {
    const char* text;
    bool ok;
    size_t keys;
    bool streamFailed;
  } cases[] = {
      {"1  0 1 2  1 2 3  4 5 6  7 8 9  0.5 50", true, 1, false},
      {"3  0 0 2 0 0 0 0 0 0 0 1 0 .1 10  1 5 2 1 1 1 0 0 0 0 1 0 .1 10"
       "  9 9 2 2 2 2 0 0 0 0 1 0 .1 10",
       true, 3, false},
      {"0", true, 0, false},
      {"-1  0 1 2 1 2 3 4 5 6 7 8 9 .5 50", false, 2, true},  // refused, keys untouched
      {"2  0 1 2 1 2 3 4 5 6 7 8 9 .5 50  0 2 2 1 x", false, 2, true},
      {"2000000000  0 1 2 1 2 3", false, 2, true},  // grows only with what the text holds
      {"x", false, 2, true},
  };
  for (const Case& c : cases) {
    CameraPath path;
    std::istringstream in(c.text);
    EXPECT_EQ(path.read(in), c.ok) << c.text;
    EXPECT_EQ(path.keys.size(), c.keys) << c.text;
    EXPECT_EQ(in.fail(), c.streamFailed) << c.text;
  }

  CameraPath path;
  std::istringstream in("1  7 1.5 2.5  1 2 3  4 5 6  7 8 9  0.5 50");
  ASSERT_TRUE(path.read(in));
  const CameraKey& k = path.keys[0];
  EXPECT_EQ(k.mode, 7);
  EXPECT_EQ(k.time, 1.5f);
  EXPECT_EQ(k.tension, 2.5f);
  expectVec(k.position, 1, 2, 3);
  expectVec(k.target, 4, 5, 6);
  expectVec(k.up, 7, 8, 9);
  EXPECT_EQ(k.near, 0.5f);
  EXPECT_EQ(k.far, 50.0f);
}

TEST(CameraPathRead, FailedKeyKeepsWhatWasRead) {
  CameraPath path;
  std::istringstream in("2  0 4 2 1 2 3 4 5 6 7 8 9 .5 50  1 8 oops");
  EXPECT_FALSE(path.read(in));
  ASSERT_GE(path.keys.size(), 2u);
  EXPECT_EQ(path.keys[0].time, 4.0f);
  EXPECT_EQ(path.keys[1].mode, 1);
  EXPECT_EQ(path.keys[1].time, 8.0f);
}
