// Vertex formats spelled out as declaration elements: the elements an FVF
// stands for, the size of each element type, and the vertex attribute
// location each usage is read from. Both the device (which draws from an
// FVF or a declaration through the same element list) and the mesh helpers
// build on these.
#pragma once

#include <vector>

#include "platform/d3d9/D3D9Constants.h"
#include "platform/d3d9/D3D9Types.h"

namespace d3d9 {

// Bytes of one element of a D3DDECLTYPE; 0 for D3DDECLTYPE_UNUSED and
// anything unknown.
UINT declTypeSize(BYTE type);

// The elements of an FVF in the order its vertex holds them (stream 0, no
// end marker); false when the FVF describes no vertex.
bool elementsOfFVF(DWORD fvf, std::vector<D3DVERTEXELEMENT9>& out);

// Elements before the end marker; -1 when there is none within
// MAXD3DDECLLENGTH entries.
int declarationLength(const D3DVERTEXELEMENT9* elements);

// The vertex attribute location a usage is read from by the fixed-function
// program and by vertex programs (named by their input semantics); -1 for
// a usage and index that no program reads. Locations 0 to 14 are those of
// the FVF components (FixedFunction.h); the others follow from 15 on.
int attributeLocation(BYTE usage, BYTE usageIndex);

// How many locations attributeLocation hands out.
constexpr int kAttributeLocations = 27;

}  // namespace d3d9
