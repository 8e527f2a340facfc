// Plain value types of the Direct3D 9 style device: vectors, matrices,
// colours, viewports, lights and materials, laid out as the engine and the
// scripts expect them (matrices row by row, row vectors).
#pragma once

#include "platform/win32/Win32.h"

typedef DWORD D3DCOLOR;

#define D3DCOLOR_ARGB(a, r, g, b) \
  ((D3DCOLOR)((((a)&0xff) << 24) | (((r)&0xff) << 16) | (((g)&0xff) << 8) | ((b)&0xff)))
#define D3DCOLOR_XRGB(r, g, b) D3DCOLOR_ARGB(0xff, r, g, b)

struct D3DVECTOR {
  float x, y, z;
};

struct D3DCOLORVALUE {
  float r, g, b, a;
};

struct D3DMATRIX {
  union {
    struct {
      float _11, _12, _13, _14;
      float _21, _22, _23, _24;
      float _31, _32, _33, _34;
      float _41, _42, _43, _44;
    };
    float m[4][4];
  };
};

struct D3DRECT {
  LONG x1, y1, x2, y2;
};

struct D3DVIEWPORT9 {
  DWORD X, Y, Width, Height;
  float MinZ, MaxZ;
};

enum D3DLIGHTTYPE : DWORD { D3DLIGHT_POINT = 1, D3DLIGHT_SPOT = 2, D3DLIGHT_DIRECTIONAL = 3 };

struct D3DLIGHT9 {
  D3DLIGHTTYPE Type;
  D3DCOLORVALUE Diffuse, Specular, Ambient;
  D3DVECTOR Position, Direction;
  float Range, Falloff, Attenuation0, Attenuation1, Attenuation2, Theta, Phi;
};

struct D3DMATERIAL9 {
  D3DCOLORVALUE Diffuse, Ambient, Specular, Emissive;
  float Power;
};

enum D3DTRANSFORMSTATETYPE : DWORD {
  D3DTS_VIEW = 2,
  D3DTS_PROJECTION = 3,
  D3DTS_TEXTURE0 = 16,
  D3DTS_TEXTURE1,
  D3DTS_TEXTURE2,
  D3DTS_TEXTURE3,
  D3DTS_TEXTURE4,
  D3DTS_TEXTURE5,
  D3DTS_TEXTURE6,
  D3DTS_TEXTURE7,
};
#define D3DTS_WORLDMATRIX(index) ((D3DTRANSFORMSTATETYPE)((index) + 256))
#define D3DTS_WORLD D3DTS_WORLDMATRIX(0)
#define D3DTS_WORLD1 D3DTS_WORLDMATRIX(1)
#define D3DTS_WORLD2 D3DTS_WORLDMATRIX(2)
#define D3DTS_WORLD3 D3DTS_WORLDMATRIX(3)

// One element of a vertex declaration: where in which stream it lies, its
// type (D3DDECLTYPE), tessellation method (D3DDECLMETHOD) and meaning
// (D3DDECLUSAGE with an index: TEXCOORD3, COLOR1...). A declaration is an
// array of them closed by D3DDECL_END().
struct D3DVERTEXELEMENT9 {
  WORD Stream;
  WORD Offset;
  BYTE Type;
  BYTE Method;
  BYTE Usage;
  BYTE UsageIndex;
};
#define D3DDECL_END() \
  { 0xFF, 0, 17, 0, 0, 0 }
