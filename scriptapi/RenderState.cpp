#include "scriptapi/RenderState.h"

#include <angelscript.h>

#include <cstdint>

#include "core/DemoState.h"
#include "core/DeviceGlobal.h"
#include "core/RenderStateStack.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMath.h"
#include "scriptapi/Binding.h"
#include "scriptapi/Lighting.h"

using namespace AngelScript;

int scaledChannel(float value) {
  // Every float times 255 fits a double exactly, so the truncation sees the
  // exact product: 0.99999994 gives 254, not the 255 of a float product.
  const double product = double(value) * 255.0;
  if (!(product > -2147483649.0 && product < 2147483648.0)) return INT32_MIN;
  return int(product);
}

std::uint32_t packColor(const D3DCOLORVALUE& c) {
  auto byte = [](float channel) { return std::uint32_t(scaledChannel(channel)) & 0xffu; };
  return byte(c.a) << 24 | byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b);
}

void setUndoableRenderState(int state, std::uint32_t value) {
  if (gRenderStateStack) gRenderStateStack->set(state, value);
}

namespace {

constexpr int kStages = 4;  // texture stages that have an undo stack

// A change of a texture-stage state through the stack of stage 0 or 1.
void ts(int stage, D3DTEXTURESTAGESTATETYPE state, DWORD value) {
  if (TextureStageStateStack* stack = gTextureStageStateStacks[stage]) stack->set(state, value);
}

// The stack of a stage a script names, or null for a stage without one.
TextureStageStateStack* stageStack(int stage) {
  return stage >= 0 && stage < kStages ? gTextureStageStateStacks[stage] : nullptr;
}

// The blend factors, then blending on or off.
void blend(DWORD source, DWORD destination, BOOL on) {
  setUndoableRenderState(D3DRS_SRCBLEND, source);
  setUndoableRenderState(D3DRS_DESTBLEND, destination);
  setUndoableRenderState(D3DRS_ALPHABLENDENABLE, on);
}

// Blending on, then the source blended over the target by the source alpha.
void blendBySourceAlpha() {
  setUndoableRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
  setUndoableRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
  setUndoableRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
}

// A factor as the alpha byte of the texture factor; the colour bytes are 0.
DWORD alphaFactor(float f) { return (DWORD(scaledChannel(f)) & 0xffu) << 24; }

// --- transforms, clear colour, depth clear: straight to the device -------

// void getWorldMatrix(matrix4 &out)
void getWorldMatrix(D3DXMATRIX* m) {
  if (gDevice) gDevice->GetTransform(D3DTS_WORLD, m);
}

// void setWorldMatrix(matrix4 &in)
void setWorldMatrix(const D3DXMATRIX* m) {
  if (gDevice) gDevice->SetTransform(D3DTS_WORLD, m);
}

// void setTextureMatrix(int stage, matrix4 &in): stages 0 to 7; any other
// stage is ignored.
void setTextureMatrix(int stage, const D3DXMATRIX* m) {
  if (stage < 0 || stage > 7 || !gDevice) return;
  gDevice->SetTransform(D3DTRANSFORMSTATETYPE(D3DTS_TEXTURE0 + stage), m);
}

// void setClearColor(color &in): the sequencer clears with it from its next
// clear on; alpha is not used.
void setClearColor(const D3DCOLORVALUE* c) {
  if (gDemoSequencer)
    gDemoSequencer->setClearColor(scaledChannel(c->r), scaledChannel(c->g), scaledChannel(c->b));
}

// void clearZBuffer(): the current depth surface to 1.0.
void clearZBuffer() {
  if (gDevice) gDevice->Clear(0, nullptr, D3DCLEAR_ZBUFFER, 0xffffffff, 1.0f, 0);
}

// --- marks on the undo stacks ----------------------------------------------

// void pushRenderState()
void pushRenderState() {
  if (gRenderStateStack) gRenderStateStack->push();
}

// void popRenderState()
void popRenderState() {
  if (gRenderStateStack) gRenderStateStack->pop();
}

// void pushTextureStageState(int stage): stages 0 to 3; others have no stack
// and are ignored.
void pushTextureStageState(int stage) {
  if (TextureStageStateStack* stack = stageStack(stage)) stack->push();
}

// void popTextureStageState(int stage)
void popTextureStageState(int stage) {
  if (TextureStageStateStack* stack = stageStack(stage)) stack->pop();
}

// void enableTextureMatrix(int stage, int on): three-component texture
// transform on the stage, or none.
void enableTextureMatrix(int stage, int on) {
  if (TextureStageStateStack* stack = stageStack(stage))
    stack->set(D3DTSS_TEXTURETRANSFORMFLAGS, on != 0 ? D3DTTFF_COUNT3 : D3DTTFF_DISABLE);
}

// --- presets -----------------------------------------------------------------
// Each makes its changes through the undo stacks in the order listed.

// void textureOp_null(): the stage-0 texture, unlit.
void textureOp_null() {
  ts(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  ts(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  ts(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  ts(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
  ts(0, D3DTSS_RESULTARG, D3DTA_CURRENT);
}

// void textureOp_stdLighting(): the stage-0 texture times the lit colour.
void textureOp_stdLighting() {
  ts(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
  ts(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  ts(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
  ts(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  ts(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
  ts(0, D3DTSS_RESULTARG, D3DTA_CURRENT);
  setUndoableRenderState(D3DRS_NORMALIZENORMALS, TRUE);
}

// void textureOp_modulate(int kind, float f): the stage-0 texture times a
// grey factor f, doubled for kind 2, quadrupled for kind 3; alpha blending on.
void textureOp_modulate(int kind, float f) {
  const DWORD op = kind == 2 ? D3DTOP_MODULATE2X : kind == 3 ? D3DTOP_MODULATE4X : D3DTOP_MODULATE;
  ts(0, D3DTSS_COLOROP, op);
  ts(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  ts(0, D3DTSS_COLORARG2, D3DTA_TFACTOR);
  blendBySourceAlpha();
  setUndoableRenderState(D3DRS_TEXTUREFACTOR, (DWORD(scaledChannel(f)) & 0xffu) * 0x01010101u);
}

// void blendOp_colorBurn(): the target times the source colour.
void blendOp_colorBurn() { blend(D3DBLEND_ZERO, D3DBLEND_SRCCOLOR, TRUE); }

// void blendOp_2stageModulateAlpha(): colour from the stage-0 texture (kept
// in the temporary register), alpha from the stage-1 texture, both read with
// coordinate set 0; blended by that alpha.
void blendOp_2stageModulateAlpha() {
  ts(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  ts(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  ts(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  ts(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
  ts(0, D3DTSS_RESULTARG, D3DTA_TEMP);
  ts(1, D3DTSS_COLOROP, D3DTOP_SELECTARG2);
  ts(1, D3DTSS_COLORARG2, D3DTA_TEMP);
  ts(1, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  ts(1, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
  blendBySourceAlpha();
  ts(0, D3DTSS_TEXCOORDINDEX, 0);
  ts(1, D3DTSS_TEXCOORDINDEX, 0);
}

// void blendOp_null(): blending off.
void blendOp_null() { blend(D3DBLEND_ONE, D3DBLEND_ONE, FALSE); }

// void blendOp_additiveBlending()
void blendOp_additiveBlending() { blend(D3DBLEND_ONE, D3DBLEND_ONE, TRUE); }

// The stage-0 alpha becomes the texture factor's.
void alphaFromFactor() {
  ts(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  ts(0, D3DTSS_ALPHAARG1, D3DTA_TFACTOR);
  ts(0, D3DTSS_RESULTARG, D3DTA_CURRENT);
}

// void blendOp_additiveBlendingFactor(float f): adds the source scaled by
// the constant alpha f.
void blendOp_additiveBlendingFactor(float f) {
  blend(D3DBLEND_SRCALPHA, D3DBLEND_ONE, TRUE);
  setUndoableRenderState(D3DRS_TEXTUREFACTOR, alphaFactor(f));
  alphaFromFactor();
}

// void blendOp_blend(float f): blends the whole draw with the constant
// alpha f.
void blendOp_blend(float f) {
  blendBySourceAlpha();
  setUndoableRenderState(D3DRS_TEXTUREFACTOR, alphaFactor(f));
  alphaFromFactor();
}

// void drawOp_enableZ(int on)
void drawOp_enableZ(int on) { setUndoableRenderState(D3DRS_ZENABLE, on != 0 ? 1 : 0); }

// void drawOp_CCWCull()
void drawOp_CCWCull() { setUndoableRenderState(D3DRS_CULLMODE, D3DCULL_CCW); }

// void drawOp_CWCull()
void drawOp_CWCull() { setUndoableRenderState(D3DRS_CULLMODE, D3DCULL_CW); }

// void drawOp_noCull()
void drawOp_noCull() { setUndoableRenderState(D3DRS_CULLMODE, D3DCULL_NONE); }

// The five undo stacks, made once for the whole run.
void createStacks() {
  gRenderStateStack = new RenderStateStack;
  for (int stage = 0; stage < kStages; ++stage)
    gTextureStageStateStacks[stage] = new TextureStageStateStack(stage);
}

}  // namespace

int initRenderState(asIScriptEngine* engine) {
  if (!gRenderStateStack) createStacks();

  RegistrationSum r;
  r += engine->RegisterGlobalFunction("void getWorldMatrix(matrix4 &out)",
                                      asFUNCTION(getWorldMatrix), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void setWorldMatrix(matrix4 &in)",
                                      asFUNCTION(setWorldMatrix), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void setClearColor(color &in)", asFUNCTION(setClearColor),
                                      asCALL_CDECL);
  r +=
      engine->RegisterGlobalFunction("void clearZBuffer()", asFUNCTION(clearZBuffer), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void setTextureMatrix(int,matrix4 &in)",
                                      asFUNCTION(setTextureMatrix), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void enableTextureMatrix(int,int)",
                                      asFUNCTION(enableTextureMatrix), asCALL_CDECL);
  registerLightsAndMaterials(engine, r);
  r += engine->RegisterGlobalFunction("void textureOp_null()", asFUNCTION(textureOp_null),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void textureOp_stdLighting()",
                                      asFUNCTION(textureOp_stdLighting), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void textureOp_modulate(int,float)",
                                      asFUNCTION(textureOp_modulate), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void blendOp_colorBurn()", asFUNCTION(blendOp_colorBurn),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void blendOp_2stageModulateAlpha()",
                                      asFUNCTION(blendOp_2stageModulateAlpha), asCALL_CDECL);
  r +=
      engine->RegisterGlobalFunction("void blendOp_null()", asFUNCTION(blendOp_null), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void blendOp_additiveBlending()",
                                      asFUNCTION(blendOp_additiveBlending), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void blendOp_additiveBlendingFactor(float)",
                                      asFUNCTION(blendOp_additiveBlendingFactor), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void blendOp_blend(float)", asFUNCTION(blendOp_blend),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void drawOp_enableZ(int)", asFUNCTION(drawOp_enableZ),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void drawOp_CCWCull()", asFUNCTION(drawOp_CCWCull),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void drawOp_CWCull()", asFUNCTION(drawOp_CWCull),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void drawOp_noCull()", asFUNCTION(drawOp_noCull),
                                      asCALL_CDECL);
  registerFogAndCamera(engine, r);
  r += engine->RegisterGlobalFunction("void pushRenderState()", asFUNCTION(pushRenderState),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void popRenderState()", asFUNCTION(popRenderState),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void pushTextureStageState(int)",
                                      asFUNCTION(pushTextureStageState), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void popTextureStageState(int)",
                                      asFUNCTION(popTextureStageState), asCALL_CDECL);

  // This module reports under the vector module's message text.
  finishRegistration(r, "TQScript - initD3DXVector3 failed");
  return 0;
}
