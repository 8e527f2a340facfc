#include "platform/d3d9/VertexFormat.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

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
    case D3DFVF_XYZ:
      add(D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_POSITION, 0);
      break;
    case D3DFVF_XYZRHW:
      add(D3DDECLTYPE_FLOAT4, D3DDECLUSAGE_POSITIONT, 0);
      break;
    case D3DFVF_XYZW:
      add(D3DDECLTYPE_FLOAT4, D3DDECLUSAGE_POSITION, 0);
      break;
    case D3DFVF_XYZB1:
      weights = 1;
      break;
    case D3DFVF_XYZB2:
      weights = 2;
      break;
    case D3DFVF_XYZB3:
      weights = 3;
      break;
    case D3DFVF_XYZB4:
      weights = 4;
      break;
    case D3DFVF_XYZB5:
      weights = 5;
      break;
    default:
      return false;
  }
  if (weights > 0) {
    add(D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_POSITION, 0);
    // With a "last beta" flag the last weight slot holds the blend indices.
    const bool indices = (fvf & (D3DFVF_LASTBETA_UBYTE4 | D3DFVF_LASTBETA_D3DCOLOR)) != 0;
    const int floats = indices ? weights - 1 : weights;
    if (floats > 0)
      add(BYTE(D3DDECLTYPE_FLOAT1 + std::min(floats, 4) - 1), D3DDECLUSAGE_BLENDWEIGHT, 0);
    // A fifth weight (XYZB5 without indices) takes room that no element
    // reads: blending uses four at most.
    if (floats > 4) offset = WORD(offset + 4);
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
  if (usage == D3DDECLUSAGE_TEXCOORD) return usageIndex < 8 ? 7 + usageIndex : -1;
  if (usageIndex == 1 && usage == D3DDECLUSAGE_COLOR) return 6;
  if (usageIndex != 0) return -1;
  switch (usage) {
    case D3DDECLUSAGE_POSITION:
    case D3DDECLUSAGE_POSITIONT:
      return 0;
    case D3DDECLUSAGE_BLENDWEIGHT:
      return 1;
    case D3DDECLUSAGE_BLENDINDICES:
      return 2;
    case D3DDECLUSAGE_NORMAL:
      return 3;
    case D3DDECLUSAGE_PSIZE:
      return 4;
    case D3DDECLUSAGE_COLOR:
      return 5;
    default:
      return -1;
  }
}

namespace {
const char* const kUsageNames[] = {
    "POSITION", "BLENDWEIGHT", "BLENDINDICES", "NORMAL", "PSIZE", "TEXCOORD", "TANGENT",
    "BINORMAL", "TESSFACTOR",  "POSITIONT",    "COLOR",  "FOG",   "DEPTH",    "SAMPLE"};
}  // namespace

std::string inputName(BYTE usage, BYTE usageIndex) {
  if (usage >= sizeof kUsageNames / sizeof kUsageNames[0]) return std::string();
  return std::string("a_") + kUsageNames[usage] + std::to_string(usageIndex);
}

bool semanticOfInput(const char* name, BYTE& usage, BYTE& usageIndex) {
  if (!name || std::strncmp(name, "a_", 2) != 0) return false;
  const char* s = name + 2;
  size_t letters = 0;
  while (s[letters] >= 'A' && s[letters] <= 'Z') ++letters;
  const char* digits = s + letters;
  if (letters == 0 || !*digits || std::strlen(digits) > 2) return false;
  for (const char* d = digits; *d; ++d)
    if (*d < '0' || *d > '9') return false;
  const int index = std::atoi(digits);
  if (index > 15) return false;
  for (size_t u = 0; u < sizeof kUsageNames / sizeof kUsageNames[0]; ++u)
    if (std::strlen(kUsageNames[u]) == letters && std::strncmp(kUsageNames[u], s, letters) == 0) {
      usage = BYTE(u);
      usageIndex = BYTE(index);
      return true;
    }
  return false;
}

}  // namespace d3d9
