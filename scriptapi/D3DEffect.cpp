#include "scriptapi/D3DEffect.h"

#include <angelscript.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "core/DeviceGlobal.h"
#include "platform/d3dx/D3DXMath.h"
#include "platform/d3dx/D3DXTexture.h"
#include "platform/file/FileSystem.h"
#include "scriptapi/Binding.h"
#include "scriptapi/D3DTexture.h"

using namespace AngelScript;

namespace {

// The technique that an effect written for the engine draws with, and the
// two semantics whose parameters receive the device's transforms.
constexpr const char* kTechnique = "tec0";
constexpr const char* kWorldViewSemantic = "WORLDVIEW";
constexpr const char* kProjectionSemantic = "PROJECTION";

// What the methods answer for a handle that holds no effect.
constexpr int kNoEffect = int(D3DERR_INVALIDCALL);

void release(IUnknown* object) {
  if (object) object->Release();
}

// The whole file as text ending in a NUL byte; false when it cannot be
// opened, its length cannot be had or no buffer can hold it (a folder opens
// and claims the largest length there is).
bool readWholeFile(const std::string& name, std::vector<char>& text) {
  FILE* file = openFile(name.c_str(), "rb");
  if (!file) return false;
  long length = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
  bool ok = length >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
  if (ok) {
    try {
      text.assign(size_t(length) + 1, '\0');
    } catch (const std::exception&) {
      ok = false;
    }
  }
  // A short read leaves NUL bytes, so the text simply ends earlier.
  if (ok && length > 0) std::fread(text.data(), 1, size_t(length), file);
  std::fclose(file);
  return ok;
}

// --- behaviours and factories ------------------------------------------------

// effect createEffectFromFile(string): read directly from the working
// directory. A file that is missing or does not compile gives a counted
// handle without an effect; nothing is reported.
EffectHandle createEffectFromFile(std::string path) {
  ID3DXEffect* effect = nullptr;
  if (gDevice)
    D3DXCreateEffectFromFileA(gDevice, path.c_str(), nullptr, nullptr, 0, nullptr, &effect,
                              nullptr);
  return makeFactoryHandle<EffectHandle>(effect);
}

// texture generateProceduralTextureFromFile(string file, string function,
// string, int width, int height): `function` of the file compiled as a
// texture shader and evaluated at every texel of a new managed texture of
// one level. Any failure gives an empty handle; the third string is unused.
TextureHandle generateProceduralTextureFromFile(std::string file, std::string function, std::string,
                                                int width, int height) {
  std::vector<char> text;
  if (!gDevice || !readWholeFile(file, text)) return TextureHandle();
  ID3DXBuffer* code = nullptr;
  ID3DXConstantTable* constants = nullptr;
  HRESULT hr =
      D3DXCompileShader(text.data(), UINT(std::strlen(text.data())), nullptr, nullptr,
                        function.c_str(), "tx_1_0", D3DXSHADER_DEBUG, &code, nullptr, &constants);
  text = {};
  IDirect3DTexture9* texture = nullptr;
  ID3DXTextureShader* shader = nullptr;
  if (hr >= 0 && code)
    hr = D3DXCreateTexture(gDevice, UINT(width), UINT(height), 1, 0, D3DFMT_UNKNOWN,
                           D3DPOOL_MANAGED, &texture);
  else
    hr = FAILED(hr) ? hr : D3DERR_INVALIDCALL;
  if (SUCCEEDED(hr) && texture) {
    hr = D3DXCreateTextureShader(static_cast<const DWORD*>(code->GetBufferPointer()), &shader);
    if (SUCCEEDED(hr) && shader) {
      shader->SetDefaults();
      hr = D3DXFillTextureTX(texture, shader);
    } else {
      hr = FAILED(hr) ? hr : D3DERR_INVALIDCALL;
    }
    if (FAILED(hr)) {
      texture->Release();
      texture = nullptr;
    }
  }
  release(code);
  release(constants);
  release(shader);
  if (!texture) return TextureHandle();
  return makeFactoryHandle<TextureHandle>(texture);
}

// --- methods -------------------------------------------------------------------

// int begin(uint &inout passes, int flags): hands the effect world x view
// and the projection where it has parameters of those semantics, selects
// the technique "tec0" and begins it. passes is 0 unless Begin succeeded.
int effect_begin(asUINT* passes, int flags, EffectHandle* self) {
  ID3DXEffect* effect = self->object;
  if (!effect || !gDevice) {
    *passes = 0;
    return kNoEffect;
  }
  if (D3DXHANDLE worldView = effect->GetParameterBySemantic(nullptr, kWorldViewSemantic)) {
    D3DXMATRIX world, view, product;
    gDevice->GetTransform(D3DTS_WORLD, &world);
    gDevice->GetTransform(D3DTS_VIEW, &view);
    D3DXMatrixMultiply(&product, &world, &view);
    effect->SetMatrix(worldView, &product);
  }
  if (D3DXHANDLE projection = effect->GetParameterBySemantic(nullptr, kProjectionSemantic)) {
    D3DXMATRIX matrix;
    gDevice->GetTransform(D3DTS_PROJECTION, &matrix);
    effect->SetMatrix(projection, &matrix);
  }
  // Without such a technique the call fails and the current one draws.
  effect->SetTechnique(effect->GetTechniqueByName(kTechnique));
  UINT count = 0;
  HRESULT hr = effect->Begin(&count, DWORD(flags));
  *passes = hr == D3D_OK ? count : 0;
  return int(hr);
}

// int end()
int effect_end(EffectHandle* self) { return self->object ? int(self->object->End()) : kNoEffect; }

// int beginPass(uint)
int effect_beginPass(asUINT pass, EffectHandle* self) {
  return self->object ? int(self->object->BeginPass(pass)) : kNoEffect;
}

// int endPass()
int effect_endPass(EffectHandle* self) {
  return self->object ? int(self->object->EndPass()) : kNoEffect;
}

// int commitChanges(): parameters set inside a pass reach its shaders.
int effect_commitChanges(EffectHandle* self) {
  return self->object ? int(self->object->CommitChanges()) : kNoEffect;
}

// void setParamTexture(string, texture): the texture that the handle holds
// (none for an empty one) goes to the parameter of that name.
void effect_setParamTexture(std::string name, TextureHandle texture, EffectHandle* self) {
  ID3DXEffect* effect = self->object;
  if (!effect) return;
  effect->SetTexture(effect->GetParameterByName(nullptr, name.c_str()), texture.object);
}

// void setParamVector(string, vector3 &in): x, y and z, and 1 as the fourth
// component, so that a float4 colour set from a vector3 is opaque.
void effect_setParamVector(std::string name, const D3DXVECTOR3* v, EffectHandle* self) {
  ID3DXEffect* effect = self->object;
  if (!effect) return;
  const D3DXVECTOR4 value(v->x, v->y, v->z, 1.0f);
  effect->SetVector(effect->GetParameterByName(nullptr, name.c_str()), &value);
}

}  // namespace

int initD3DEffect(asIScriptEngine* engine) {
  const asDWORD objLast = asCALL_CDECL_OBJLAST;
  RegistrationSum r;
  r += registerHandleType<EffectHandle>(engine, "effect");
  r += engine->RegisterGlobalFunction("effect createEffectFromFile(string)",
                                      asFUNCTION(createEffectFromFile), asCALL_CDECL);
  r += engine->RegisterObjectMethod("effect", "int begin(uint &inout,int)",
                                    asFUNCTION(effect_begin), objLast);
  r += engine->RegisterObjectMethod("effect", "int end()", asFUNCTION(effect_end), objLast);
  r += engine->RegisterObjectMethod("effect", "int beginPass(uint)", asFUNCTION(effect_beginPass),
                                    objLast);
  r += engine->RegisterObjectMethod("effect", "int endPass()", asFUNCTION(effect_endPass), objLast);
  r += engine->RegisterObjectMethod("effect", "int commitChanges()",
                                    asFUNCTION(effect_commitChanges), objLast);
  r += engine->RegisterObjectMethod("effect", "void setParamTexture(string,texture)",
                                    asFUNCTION(effect_setParamTexture), objLast);
  r += engine->RegisterObjectMethod("effect", "void setParamVector(string,vector3 &in)",
                                    asFUNCTION(effect_setParamVector), objLast);
  r += engine->RegisterGlobalFunction(
      "texture generateProceduralTextureFromFile(string,string,string,int,int)",
      asFUNCTION(generateProceduralTextureFromFile), asCALL_CDECL);
  return finishRegistration(r, "TQScrip - initD3DEffect failed");
}
