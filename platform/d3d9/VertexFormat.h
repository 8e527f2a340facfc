// Vertex formats spelled out as declaration elements: the elements an FVF
// stands for, the size of each element type, and the vertex attribute
// location each usage is read from. Both the device (which draws from an
// FVF or a declaration through the same element list) and the mesh helpers
// build on these.
#pragma once

#include <string>
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

// The attribute location the fixed-function program reads a usage from,
// the locations of FixedFunction.h (position 0, blend weights 1, blend
// indices 2, normal 3, point size 4, COLOR0 5, COLOR1 6, TEXCOORD0-7 7 to
// 14); -1 for any other usage and index.
int attributeLocation(BYTE usage, BYTE usageIndex);

// Vertex programs name their inputs "a_" and the semantic, usage in
// capitals and index: "a_POSITION0", "a_TANGENT0", "a_TEXCOORD3". The
// device binds each element of the vertex format to the program's input of
// its semantic, wherever the program put it; elements that a program does
// not name by semantic are read at their fixed location.
std::string inputName(BYTE usage, BYTE usageIndex);
// The usage and index of such a name; false for any other name.
bool semanticOfInput(const char* name, BYTE& usage, BYTE& usageIndex);

}  // namespace d3d9
