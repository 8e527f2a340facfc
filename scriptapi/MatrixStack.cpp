#include "scriptapi/MatrixStack.h"

#include <angelscript.h>

#include <new>

#include "core/DeviceGlobal.h"
#include "platform/d3d9/D3D9.h"
#include "scriptapi/Binding.h"

using namespace AngelScript;

int MatrixStackProxy::live = 0;

MatrixStackProxy::MatrixStackProxy() {
  D3DXCreateMatrixStack(0, &stack);
  ++live;
}

MatrixStackProxy::~MatrixStackProxy() {
  if (stack) stack->Release();
  --live;
}

namespace {

// The stack behind a handle, or null (the creation of the stack failed).
ID3DXMatrixStack* stackOf(MatrixStackHandle* self) {
  return self->object ? self->object->stack : nullptr;
}

// matrixStack(): every construction makes a new stack of one identity level,
// also when the value is about to be assigned over.
void matrixStack_construct(void* memory) {
  MatrixStackHandle* self = new (memory) MatrixStackHandle();
  MatrixStackProxy* proxy = new MatrixStackProxy();
  self->attach(proxy, &proxy->count, true);  // count 1
}

// void loadIdentity()
void matrixStack_loadIdentity(MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->LoadIdentity();
}

// matrix4 &getTop(): the live top; writing through it changes the stack.
// Without a stack the script gets a scratch identity that nothing reads.
D3DXMATRIX* matrixStack_getTop(MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) return s->GetTop();
  static D3DXMATRIX scratch;
  return D3DXMatrixIdentity(&scratch);
}

// void loadMatrix(matrix4 &in)
void matrixStack_loadMatrix(const D3DXMATRIX* m, MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->LoadMatrix(m);
}

// void multMatrix(matrix4 &in): top = top * m
void matrixStack_multMatrix(const D3DXMATRIX* m, MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->MultMatrix(m);
}

// void multMatrixLocal(matrix4 &in): top = m * top
void matrixStack_multMatrixLocal(const D3DXMATRIX* m, MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->MultMatrixLocal(m);
}

// void pop() and void popAll(): removes one level, never the last one.
void matrixStack_pop(MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->Pop();
}

void setWorld(const D3DXMATRIX* m) {
  if (gDevice) gDevice->SetTransform(D3DTS_WORLD, m);
}

// Loads the device's world transform into the top (unchanged without one).
void loadWorld(ID3DXMatrixStack* s) {
  D3DXMATRIX world = *s->GetTop();
  if (gDevice) gDevice->GetTransform(D3DTS_WORLD, &world);
  s->LoadMatrix(&world);
}

// void popWM(): drops the working level, restores the world transform saved
// by pushWM and drops the saved level too.
void matrixStack_popWM(MatrixStackHandle* self) {
  ID3DXMatrixStack* s = stackOf(self);
  if (!s) return;
  s->Pop();
  setWorld(s->GetTop());
  s->Pop();
}

// void push(): a new top copying the previous one.
void matrixStack_push(MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->Push();
}

// void pushWM(): saves the device's world transform in a new level and opens
// a working level above it, also holding the world transform.
void matrixStack_pushWM(MatrixStackHandle* self) {
  ID3DXMatrixStack* s = stackOf(self);
  if (!s) return;
  s->Push();
  loadWorld(s);
  s->Push();
}

// void rotateAxis(vector3 &in, float): top = top * rotation
void matrixStack_rotateAxis(const D3DXVECTOR3* axis, float angle, MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->RotateAxis(axis, angle);
}

// void rotateAxisLocal(vector3 &in, float): top = rotation * top
void matrixStack_rotateAxisLocal(const D3DXVECTOR3* axis, float angle, MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->RotateAxisLocal(axis, angle);
}

// void scale(float, float, float): top = top * scaling
void matrixStack_scale(float x, float y, float z, MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->Scale(x, y, z);
}

// void scaleLocal(float, float, float): top = scaling * top
void matrixStack_scaleLocal(float x, float y, float z, MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->ScaleLocal(x, y, z);
}

// void translate(float, float, float): top = top * translation
void matrixStack_translate(float x, float y, float z, MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->Translate(x, y, z);
}

// void translateLocal(float, float, float): top = translation * top
void matrixStack_translateLocal(float x, float y, float z, MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) s->TranslateLocal(x, y, z);
}

// void loadWorldMatrix(): top = the device's world transform
void matrixStack_loadWorldMatrix(MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) loadWorld(s);
}

// void updateWorldMatrix(): the device's world transform = top
void matrixStack_updateWorldMatrix(MatrixStackHandle* self) {
  if (ID3DXMatrixStack* s = stackOf(self)) setWorld(s->GetTop());
}

}  // namespace

int registerMatrixStackType(asIScriptEngine* engine) {
  return registerHandleObjectType<MatrixStackHandle>(engine, "matrixStack");
}

void registerMatrixStack(asIScriptEngine* engine, RegistrationSum& r) {
  const char* t = "matrixStack";
  r += registerHandleBehaviours<MatrixStackHandle>(engine, t, &matrixStack_construct);
  const asDWORD objLast = asCALL_CDECL_OBJLAST;
  r += engine->RegisterObjectMethod(t, "void loadIdentity()", asFUNCTION(matrixStack_loadIdentity),
                                    objLast);
  r +=
      engine->RegisterObjectMethod(t, "matrix4 &getTop()", asFUNCTION(matrixStack_getTop), objLast);
  r += engine->RegisterObjectMethod(t, "void loadMatrix(matrix4 &in)",
                                    asFUNCTION(matrixStack_loadMatrix), objLast);
  r += engine->RegisterObjectMethod(t, "void multMatrix(matrix4 &in)",
                                    asFUNCTION(matrixStack_multMatrix), objLast);
  r += engine->RegisterObjectMethod(t, "void multMatrixLocal(matrix4 &in)",
                                    asFUNCTION(matrixStack_multMatrixLocal), objLast);
  r += engine->RegisterObjectMethod(t, "void pop()", asFUNCTION(matrixStack_pop), objLast);
  r += engine->RegisterObjectMethod(t, "void popWM()", asFUNCTION(matrixStack_popWM), objLast);
  r += engine->RegisterObjectMethod(t, "void popAll()", asFUNCTION(matrixStack_pop), objLast);
  r += engine->RegisterObjectMethod(t, "void push()", asFUNCTION(matrixStack_push), objLast);
  r += engine->RegisterObjectMethod(t, "void pushWM()", asFUNCTION(matrixStack_pushWM), objLast);
  r += engine->RegisterObjectMethod(t, "void rotateAxis(vector3 &in,float)",
                                    asFUNCTION(matrixStack_rotateAxis), objLast);
  r += engine->RegisterObjectMethod(t, "void rotateAxisLocal(vector3 &in,float)",
                                    asFUNCTION(matrixStack_rotateAxisLocal), objLast);
  r += engine->RegisterObjectMethod(t, "void scale(float,float,float)",
                                    asFUNCTION(matrixStack_scale), objLast);
  r += engine->RegisterObjectMethod(t, "void scaleLocal(float,float,float)",
                                    asFUNCTION(matrixStack_scaleLocal), objLast);
  r += engine->RegisterObjectMethod(t, "void translate(float,float,float)",
                                    asFUNCTION(matrixStack_translate), objLast);
  r += engine->RegisterObjectMethod(t, "void translateLocal(float,float,float)",
                                    asFUNCTION(matrixStack_translateLocal), objLast);
  r += engine->RegisterObjectMethod(t, "void loadWorldMatrix()",
                                    asFUNCTION(matrixStack_loadWorldMatrix), objLast);
  r += engine->RegisterObjectMethod(t, "void updateWorldMatrix()",
                                    asFUNCTION(matrixStack_updateWorldMatrix), objLast);
}
