// The math modules on the real headless device.
#include <gtest/gtest.h>

#include "tests/d3d9_fixture.h"
#include "tests/fake_device.h"
#include "tests/math_script_fixture.h"

using MathOnDevice = d3d9_testing::DeviceFixture;

TEST_F(MathOnDevice, PerspectiveDefaultsAndWorldExchange) {
  DeviceScope scope(device);
  D3DXMATRIX world, view;
  D3DXMatrixTranslation(&world, 3, 2, 1);
  D3DXMatrixRotationY(&view, 0.5f);
  device->SetTransform(D3DTS_WORLD, &world);
  device->SetTransform(D3DTS_VIEW, &view);

  MathScript script(false);
  ASSERT_TRUE(script.build(
      "matrix4 defaults() { matrix4 m; m.perspective(0, 0, 0, 0); return m; }\n"
      "matrix4 viewOf() { return getViewMatrix(); }\n"
      "void scene() { matrixStack s; s.pushWM(); s.scale(2, 2, 2); s.updateWorldMatrix();"
      " s.popWM(); }\n"
      "void setProjection() { matrix4 m; m.perspective(0, 0, 0, 0); setProjectionMatrix(m); }\n"))
      << script.messages();

  D3DXMATRIX want, got;
  D3DXMatrixPerspectiveFovLH(&want, 45.0f, (float)kWidth / (float)kHeight, 0.1f, 100.0f);
  EXPECT_EQ(script.callObject<D3DXMATRIX>("matrix4 defaults()"), want);
  EXPECT_EQ(script.callObject<D3DXMATRIX>("matrix4 viewOf()"), view);

  script.call("void scene()");
  device->GetTransform(D3DTS_WORLD, &got);
  EXPECT_EQ(got, world);

  script.call("void setProjection()");
  device->GetTransform(D3DTS_PROJECTION, &got);
  EXPECT_EQ(got, want);
}
