// Effects and texture shaders in the D3DX manner, over our device.
//
// An effect file holds HLSL globals (the effect's parameters, with
// semantics and default values), samplers with sampler_state blocks,
// shader functions, and techniques of passes; a pass assigns render and
// sampler states and names the vertex and pixel shader functions
// ("VertexShader = compile vs_2_0 vs();"). Each shader function becomes a
// GL program that the device draws with (see HLSLCompiler.h).
//
// A texture shader is one HLSL function of the form
//   float4 f(float2 position : POSITION, float2 texelSize : PSIZE) : COLOR
// evaluated at the centre of every texel of a texture.
//
// Handles (D3DXHANDLE) are opaque pointers given out by the effect; where a
// handle is expected the name of a parameter or technique is accepted too.
#pragma once

#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXBuffer.h"
#include "platform/d3dx/D3DXMath.h"

typedef const char* D3DXHANDLE;

struct D3DXMACRO {
  LPCSTR Name;
  LPCSTR Definition;
};

// Include handlers and effect pools are not supported: pass null.
struct ID3DXInclude;
struct ID3DXEffectPool;

#define D3DXERR_INVALIDDATA MAKE_D3DHRESULT(2905)

// Begin flags
#define D3DXFX_DONOTSAVESTATE 1
#define D3DXFX_DONOTSAVESHADERSTATE 2
#define D3DXFX_DONOTSAVESAMPLERSTATE 4

// Compile flags (accepted, without effect here)
#define D3DXSHADER_DEBUG 1

// The constants of a compiled shader; here only their serialised form.
struct ID3DXConstantTable : IUnknown {
  virtual void* GetBufferPointer() = 0;
  virtual DWORD GetBufferSize() = 0;
};

struct ID3DXTextureShader : IUnknown {
  // Sets every constant to the default value its source gave it (zero
  // where it gave none).
  virtual HRESULT SetDefaults() = 0;
  virtual D3DXHANDLE GetConstantByName(D3DXHANDLE parent, LPCSTR name) = 0;
  virtual HRESULT SetFloat(D3DXHANDLE constant, float value) = 0;
  virtual HRESULT SetVector(D3DXHANDLE constant, const D3DXVECTOR4* value) = 0;
};

struct ID3DXEffect : IUnknown {
  virtual HRESULT GetDevice(IDirect3DDevice9** device) = 0;

  // Lookups answer null when there is no such parameter or technique.
  // Parameters are found by name (exactly) or by semantic (in any case).
  virtual D3DXHANDLE GetParameterByName(D3DXHANDLE parent, LPCSTR name) = 0;
  virtual D3DXHANDLE GetParameterBySemantic(D3DXHANDLE parent, LPCSTR semantic) = 0;
  virtual D3DXHANDLE GetTechniqueByName(LPCSTR name) = 0;
  virtual D3DXHANDLE GetTechnique(UINT index) = 0;
  virtual HRESULT SetTechnique(D3DXHANDLE technique) = 0;
  virtual D3DXHANDLE GetCurrentTechnique() = 0;

  // Parameter values. Matrices are passed as D3DXMATRIX (row by row, as
  // the HLSL source indexes them); vectors set as many components as the
  // parameter has.
  virtual HRESULT SetMatrix(D3DXHANDLE parameter, const D3DXMATRIX* matrix) = 0;
  virtual HRESULT GetMatrix(D3DXHANDLE parameter, D3DXMATRIX* matrix) = 0;
  virtual HRESULT SetVector(D3DXHANDLE parameter, const D3DXVECTOR4* vector) = 0;
  virtual HRESULT GetVector(D3DXHANDLE parameter, D3DXVECTOR4* vector) = 0;
  virtual HRESULT SetFloat(D3DXHANDLE parameter, float value) = 0;
  virtual HRESULT GetFloat(D3DXHANDLE parameter, float* value) = 0;
  virtual HRESULT SetFloatArray(D3DXHANDLE parameter, const float* values, UINT count) = 0;
  virtual HRESULT SetInt(D3DXHANDLE parameter, INT value) = 0;
  virtual HRESULT SetBool(D3DXHANDLE parameter, BOOL value) = 0;
  virtual HRESULT SetTexture(D3DXHANDLE parameter, IDirect3DBaseTexture9* texture) = 0;
  virtual HRESULT GetTexture(D3DXHANDLE parameter, IDirect3DBaseTexture9** texture) = 0;

  // Drawing: Begin (gives the pass count of the current technique; saves
  // the device state its passes change unless told not to), BeginPass
  // (sets the pass's states, shaders, parameters and samplers),
  // CommitChanges (parameters changed inside a pass reach the shaders),
  // EndPass, End (restores what Begin saved).
  virtual HRESULT Begin(UINT* passes, DWORD flags) = 0;
  virtual HRESULT BeginPass(UINT pass) = 0;
  virtual HRESULT CommitChanges() = 0;
  virtual HRESULT EndPass() = 0;
  virtual HRESULT End() = 0;

  virtual HRESULT OnLostDevice() = 0;
  virtual HRESULT OnResetDevice() = 0;
};

// Compiles an effect from its text. `errors`, when given, receives the
// compiler's messages ("file(line): error: text") on failure and warnings
// on success (null when there are none).
HRESULT D3DXCreateEffect(IDirect3DDevice9* device, const void* data, UINT length,
                         const D3DXMACRO* defines, ID3DXInclude* include, DWORD flags,
                         ID3DXEffectPool* pool, ID3DXEffect** effect, ID3DXBuffer** errors);
// The same from a file (Windows path rules); a file that cannot be read
// answers D3DERR_NOTFOUND.
HRESULT D3DXCreateEffectFromFileA(IDirect3DDevice9* device, LPCSTR file, const D3DXMACRO* defines,
                                  ID3DXInclude* include, DWORD flags, ID3DXEffectPool* pool,
                                  ID3DXEffect** effect, ID3DXBuffer** errors);

// Compiles `function` of `source` (the first `length` bytes) for `profile`.
// Only the texture-shader profile "tx_1_0" is supported; the code is for
// D3DXCreateTextureShader.
HRESULT D3DXCompileShader(LPCSTR source, UINT length, const D3DXMACRO* defines,
                          ID3DXInclude* include, LPCSTR function, LPCSTR profile, DWORD flags,
                          ID3DXBuffer** shader, ID3DXBuffer** errors,
                          ID3DXConstantTable** constants);

HRESULT D3DXCreateTextureShader(const DWORD* function, ID3DXTextureShader** shader);

// Evaluates the shader at every texel of every level of `texture`
// (uncompressed colour formats; the values are clamped to 0..1).
HRESULT D3DXFillTextureTX(IDirect3DTexture9* texture, ID3DXTextureShader* shader);
