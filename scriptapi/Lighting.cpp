#include "scriptapi/Lighting.h"

#include <angelscript.h>

#include <cstddef>
#include <cstring>

#include "core/DemoState.h"
#include "core/DeviceGlobal.h"
#include "core/RenderStateStack.h"
#include "platform/d3dx/D3DXMath.h"
#include "scriptapi/Binding.h"
#include "scriptapi/RenderState.h"

using namespace AngelScript;

// The script sees the device records as they are: the property offsets below
// are the records' own, and the records go to the device unchanged.
static_assert(sizeof(D3DLIGHT9) == 104 && sizeof(ScriptLight) == 112);
static_assert(offsetof(ScriptLight, lightIndex) == 104 && offsetof(ScriptLight, enabled) == 108);
static_assert(sizeof(D3DMATERIAL9) == 68);
static_assert(offsetof(D3DLIGHT9, Position) == 52 && offsetof(D3DLIGHT9, Phi) == 100);
static_assert(offsetof(D3DMATERIAL9, Emissive) == 48 && offsetof(D3DMATERIAL9, Power) == 64);

namespace {

// --- light -----------------------------------------------------------------

// light(): a point light with everything else zero, bound to no index yet.
void light_construct(ScriptLight* self) {
  self->lightIndex = -1;
  self->enabled = 0;
  std::memset(&self->light, 0, sizeof self->light);
  self->light.Type = D3DLIGHT_POINT;
}

// void bind(int index): copies the light to that device light and switches
// it on. The lighting switch itself is left alone.
void light_bind(int index, ScriptLight* self) {
  self->lightIndex = index;
  if (!gDevice) return;
  gDevice->SetLight(DWORD(index), &self->light);
  gDevice->LightEnable(DWORD(index), TRUE);
}

// void enable(int on): switches the device light of the last bind (index -1,
// passed on as it is, before any) and turns lighting on, also when the light
// goes off.
void light_enable(int on, ScriptLight* self) {
  self->enabled = on;
  if (gDevice) gDevice->LightEnable(DWORD(self->lightIndex), on != 0 ? TRUE : FALSE);
  setUndoableRenderState(D3DRS_LIGHTING, TRUE);
}

// void enableLight(int index, int on): switching a light off leaves lighting
// as it is.
void enableLight(int index, int on) {
  if (gDevice) gDevice->LightEnable(DWORD(index), on != 0 ? TRUE : FALSE);
  if (on != 0) setUndoableRenderState(D3DRS_LIGHTING, TRUE);
}

// void setGlobalAmbient(color &in)
void setGlobalAmbient(const D3DCOLORVALUE* c) {
  setUndoableRenderState(D3DRS_AMBIENT, packColor(*c));
  setUndoableRenderState(D3DRS_LIGHTING, TRUE);
}

// --- material --------------------------------------------------------------

// material(): every colour black with alpha 0, power 0.
void material_construct(D3DMATERIAL9* self) { std::memset(self, 0, sizeof *self); }

// void setCurrent(int on): 0 hands the device no material at all.
void material_setCurrent(int on, D3DMATERIAL9* self) {
  if (gDevice) gDevice->SetMaterial(on != 0 ? self : nullptr);
}

// --- fog -------------------------------------------------------------------

DWORD floatBits(float value) {
  DWORD bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// void enableFog(color &in, float &in start, float &in end): linear vertex
// fog, set on the device directly so that it stays.
void enableFog(const D3DCOLORVALUE* c, const float* start, const float* end) {
  if (!gDevice) return;
  gDevice->SetRenderState(D3DRS_FOGENABLE, TRUE);
  gDevice->SetRenderState(D3DRS_FOGCOLOR, packColor(*c));
  gDevice->SetRenderState(D3DRS_FOGVERTEXMODE, D3DFOG_LINEAR);
  gDevice->SetRenderState(D3DRS_FOGSTART, floatBits(*start));
  gDevice->SetRenderState(D3DRS_FOGEND, floatBits(*end));
}

// void disableFog()
void disableFog() {
  if (gDevice) gDevice->SetRenderState(D3DRS_FOGENABLE, FALSE);
}

// --- camera ----------------------------------------------------------------
// The setters change only the globals: the view comes from the camera paths,
// whose next application overwrites them.

D3DXVECTOR3 getCameraPos() { return gCameraPos; }
D3DXVECTOR3 getCameraTarget() { return gCameraTarget; }
D3DXVECTOR3 getCameraUp() { return gCameraUp; }
D3DXMATRIX getCameraViewMatrix() { return gCameraViewMatrix; }
D3DXMATRIX getCameraProjMatrix() { return gCameraProjMatrix; }
void setCameraPos(const D3DXVECTOR3* v) { gCameraPos = *v; }
void setCameraTarget(const D3DXVECTOR3* v) { gCameraTarget = *v; }
void setCameraUp(const D3DXVECTOR3* v) { gCameraUp = *v; }

// Plain records in script memory, copied byte for byte (the light's index
// and switch go with a copy).
constexpr asDWORD kRecordFlags = asOBJ_VALUE | asOBJ_POD | asOBJ_APP_CLASS;

}  // namespace

void registerLightsAndMaterials(asIScriptEngine* engine, RegistrationSum& r) {
  const asDWORD objLast = asCALL_CDECL_OBJLAST;
  r += engine->RegisterGlobalFunction("void enableLight(int,int)", asFUNCTION(enableLight),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void setGlobalAmbient(color &in)",
                                      asFUNCTION(setGlobalAmbient), asCALL_CDECL);

  r += engine->RegisterObjectType("light", sizeof(ScriptLight), kRecordFlags);
  r += engine->RegisterObjectBehaviour("light", asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(light_construct), objLast);
  r += engine->RegisterObjectProperty("light", "int type", offsetof(D3DLIGHT9, Type));
  r += engine->RegisterObjectProperty("light", "color diffuse", offsetof(D3DLIGHT9, Diffuse));
  r += engine->RegisterObjectProperty("light", "color specular", offsetof(D3DLIGHT9, Specular));
  r += engine->RegisterObjectProperty("light", "color ambient", offsetof(D3DLIGHT9, Ambient));
  r += engine->RegisterObjectProperty("light", "vector3 position", offsetof(D3DLIGHT9, Position));
  r += engine->RegisterObjectProperty("light", "vector3 direction", offsetof(D3DLIGHT9, Direction));
  r += engine->RegisterObjectProperty("light", "float range", offsetof(D3DLIGHT9, Range));
  r += engine->RegisterObjectProperty("light", "float falloff", offsetof(D3DLIGHT9, Falloff));
  r += engine->RegisterObjectProperty("light", "float attenuation0",
                                      offsetof(D3DLIGHT9, Attenuation0));
  r += engine->RegisterObjectProperty("light", "float attenuation1",
                                      offsetof(D3DLIGHT9, Attenuation1));
  r += engine->RegisterObjectProperty("light", "float attenuation2",
                                      offsetof(D3DLIGHT9, Attenuation2));
  r += engine->RegisterObjectProperty("light", "float theta", offsetof(D3DLIGHT9, Theta));
  r += engine->RegisterObjectProperty("light", "float phi", offsetof(D3DLIGHT9, Phi));
  r += engine->RegisterObjectMethod("light", "void bind(int)", asFUNCTION(light_bind), objLast);
  r += engine->RegisterObjectMethod("light", "void enable(int)", asFUNCTION(light_enable), objLast);

  r += engine->RegisterObjectType("material", sizeof(D3DMATERIAL9), kRecordFlags);
  r += engine->RegisterObjectBehaviour("material", asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(material_construct), objLast);
  r += engine->RegisterObjectProperty("material", "color diffuse", offsetof(D3DMATERIAL9, Diffuse));
  r += engine->RegisterObjectProperty("material", "color ambient", offsetof(D3DMATERIAL9, Ambient));
  r += engine->RegisterObjectProperty("material", "color specular",
                                      offsetof(D3DMATERIAL9, Specular));
  r += engine->RegisterObjectProperty("material", "color emissive",
                                      offsetof(D3DMATERIAL9, Emissive));
  r += engine->RegisterObjectProperty("material", "float power", offsetof(D3DMATERIAL9, Power));
  r += engine->RegisterObjectMethod("material", "void setCurrent(int)",
                                    asFUNCTION(material_setCurrent), objLast);
}

void registerFogAndCamera(asIScriptEngine* engine, RegistrationSum& r) {
  r += engine->RegisterGlobalFunction("void enableFog(color &in,float &in,float &in)",
                                      asFUNCTION(enableFog), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void disableFog()", asFUNCTION(disableFog), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("vector3 getCameraPos()", asFUNCTION(getCameraPos),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("vector3 getCameraTarget()", asFUNCTION(getCameraTarget),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("vector3 getCameraUp()", asFUNCTION(getCameraUp),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("matrix4 getCameraViewMatrix()",
                                      asFUNCTION(getCameraViewMatrix), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("matrix4 getCameraProjMatrix()",
                                      asFUNCTION(getCameraProjMatrix), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void setCameraPos(vector3 &in)", asFUNCTION(setCameraPos),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void setCameraTarget(vector3 &in)",
                                      asFUNCTION(setCameraTarget), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void setCameraUp(vector3 &in)", asFUNCTION(setCameraUp),
                                      asCALL_CDECL);
}
