#include "platform/d3d9/VertexFormat.h"

namespace d3d9 {

UINT declTypeSize(BYTE type) {
  static const UINT kSizes[] = {4, 8, 12, 16, 4, 4, 4, 8, 4, 4, 8, 4, 8, 4, 4, 4, 8};
  return type < sizeof kSizes / sizeof kSizes[0] ? kSizes[type] : 0;
}

bool elementsOfFVF(DWORD fvf, std::vector<D3DVERTEXELEMENT9>& out) {
  out.clear();
  WORD offset = 0;
  auto add = [&](BYTE type, BYTE usage, BYTE index) {
    out.push_back({0, offset, type, D3DDECLMETHOD_DEFAULT, usage, index});
    offset = WORD(offset + declTypeSize(type));
  };
  int weights = 0;
  switch (fvf & D3DFVF_POSITION_MASK) {
    case D3DFVF_XYZ: add(D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_POSITION, 0); break;
    case D3DFVF_XYZRHW: add(D3DDECLTYPE_FLOAT4, D3DDECLUSAGE_POSITIONT, 0); break;
    case D3DFVF_XYZW: add(D3DDECLTYPE_FLOAT4, D3DDECLUSAGE_POSITION, 0); break;
    case D3DFVF_XYZB1: weights = 1; break;
    case D3DFVF_XYZB2: weights = 2; break;
    case D3DFVF_XYZB3: weights = 3; break;
    case D3DFVF_XYZB4: weights = 4; break;
    case D3DFVF_XYZB5: weights = 5; break;
    default: return false;
  }
  if (weights > 0) {
    add(D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_POSITION, 0);
    // With a "last beta" flag the last weight slot holds the blend indices.
    const bool indices = (fvf & (D3DFVF_LASTBETA_UBYTE4 | D3DFVF_LASTBETA_D3DCOLOR)) != 0;
    const int floats = indices ? weights - 1 : weights;
    if (floats > 4) return false;
    if (floats > 0)
      add(BYTE(D3DDECLTYPE_FLOAT1 + floats - 1), D3DDECLUSAGE_BLENDWEIGHT, 0);
    if (indices)
      add(fvf & D3DFVF_LASTBETA_UBYTE4 ? D3DDECLTYPE_UBYTE4 : D3DDECLTYPE_D3DCOLOR,
          D3DDECLUSAGE_BLENDINDICES, 0);
  }
  if (fvf & D3DFVF_NORMAL) add(D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_NORMAL, 0);
  if (fvf & D3DFVF_PSIZE) add(D3DDECLTYPE_FLOAT1, D3DDECLUSAGE_PSIZE, 0);
  if (fvf & D3DFVF_DIFFUSE) add(D3DDECLTYPE_D3DCOLOR, D3DDECLUSAGE_COLOR, 0);
  if (fvf & D3DFVF_SPECULAR) add(D3DDECLTYPE_D3DCOLOR, D3DDECLUSAGE_COLOR, 1);
  const DWORD sets = (fvf & D3DFVF_TEXCOUNT_MASK) >> D3DFVF_TEXCOUNT_SHIFT;
  if (sets > 8) return false;
  for (DWORD s = 0; s < sets; ++s) {
    // Size bits: 0 two floats, 1 three, 2 four, 3 one.
    static const BYTE kTypes[4] = {D3DDECLTYPE_FLOAT2, D3DDECLTYPE_FLOAT3, D3DDECLTYPE_FLOAT4,
                                   D3DDECLTYPE_FLOAT1};
    add(kTypes[(fvf >> (16 + 2 * s)) & 3], D3DDECLUSAGE_TEXCOORD, BYTE(s));
  }
  return true;
}

int declarationLength(const D3DVERTEXELEMENT9* elements) {
  if (!elements) return -1;
  for (int i = 0; i < MAXD3DDECLLENGTH; ++i)
    if (elements[i].Stream == 0xFF) return i;
  return -1;
}

int attributeLocation(BYTE usage, BYTE usageIndex) {
  struct Entry {
    BYTE usage, index;
    int location;
  };
  static const Entry kTable[] = {
      {D3DDECLUSAGE_POSITION, 0, 0},      {D3DDECLUSAGE_POSITIONT, 0, 0},
      {D3DDECLUSAGE_BLENDWEIGHT, 0, 1},   {D3DDECLUSAGE_BLENDINDICES, 0, 2},
      {D3DDECLUSAGE_NORMAL, 0, 3},        {D3DDECLUSAGE_PSIZE, 0, 4},
      {D3DDECLUSAGE_COLOR, 0, 5},         {D3DDECLUSAGE_COLOR, 1, 6},
      {D3DDECLUSAGE_TANGENT, 0, 15},      {D3DDECLUSAGE_BINORMAL, 0, 16},
      {D3DDECLUSAGE_BLENDWEIGHT, 1, 17},  {D3DDECLUSAGE_BLENDINDICES, 1, 18},
      {D3DDECLUSAGE_COLOR, 2, 19},        {D3DDECLUSAGE_COLOR, 3, 20},
      {D3DDECLUSAGE_POSITION, 1, 21},     {D3DDECLUSAGE_NORMAL, 1, 22},
      {D3DDECLUSAGE_TANGENT, 1, 23},      {D3DDECLUSAGE_BINORMAL, 1, 24},
      {D3DDECLUSAGE_FOG, 0, 25},          {D3DDECLUSAGE_DEPTH, 0, 26},
  };
  if (usage == D3DDECLUSAGE_TEXCOORD) return usageIndex < 8 ? 7 + usageIndex : -1;
  for (const Entry& e : kTable)
    if (e.usage == usage && e.index == usageIndex) return e.location;
  return -1;
}

}  // namespace d3d9
