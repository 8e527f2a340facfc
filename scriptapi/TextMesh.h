// Extruded 3D text as meshes: a whole string at once, or single letters
// built once and shared from a cache for the rest of the run, so that a
// script can put text together letter by letter. The outlines come from a
// TrueType font lent by a device context.
#pragma once

#include <map>
#include <string>

#include "platform/win32/Gdi.h"
#include "scriptapi/D3DMesh.h"

namespace AngelScript {
class asIScriptEngine;
}
class RegistrationSum;

// The window whose device context lends the font. Nothing sets it: the
// screen's context is used.
extern HWND gTextMeshWindow;

// One glyph mesh per character, keyed by the first character of the letter
// the script asked for (the font is not part of the key). Filled as letters
// are first asked for and never emptied during the run; each entry keeps one
// reference to its mesh. Not destroyed at exit: the meshes outlive the
// device otherwise.
extern std::map<char, MeshHandle>& gGlyphMeshCache;

// The mesh of one character (a space is built as "_") in the named face,
// extruded by `extrusion`; null when the font or the mesh cannot be made.
// The device context and the font are handed back on every path.
ID3DXMesh* buildGlyphMesh(char character, const std::string& font, float extrusion);

// mesh createText(string &in,string &in,float &in)
MeshHandle createText(const std::string* text, const std::string* font, const float* extrusion);
// mesh createMesh_GetFontLetter(string &in,string &in)
MeshHandle createMesh_GetFontLetter(const std::string* letter, const std::string* font);
