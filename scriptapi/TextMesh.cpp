#include "scriptapi/TextMesh.h"

#include "core/DeviceGlobal.h"
#include "platform/d3dx/D3DXText.h"
#include "scriptapi/Binding.h"

HWND gTextMeshWindow = nullptr;
std::map<char, MeshHandle>& gGlyphMeshCache = *new std::map<char, MeshHandle>;

namespace {

// Normal weight, TrueType only, anti-aliased; the height is left to the font
// mapper since the outlines are in em units anyway.
HFONT createTextFont(const std::string& face) {
  return CreateFontA(0, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_TT_ONLY_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, 0, face.c_str());
}

// The text as a mesh in the named face; null when the font cannot be had or
// the text gives no mesh (nothing visible in it).
ID3DXMesh* buildTextMesh(const char* text, const std::string& face, float extrusion) {
  HDC dc = GetDC(gTextMeshWindow);
  HFONT font = createTextFont(face);
  if (!font) {
    ReleaseDC(gTextMeshWindow, dc);
    return nullptr;
  }
  // The context goes back right after, so the font it held before is not
  // put back.
  SelectObject(dc, font);
  ID3DXMesh* mesh = nullptr;
  if (FAILED(D3DXCreateTextA(gDevice, dc, text, 0.001f, extrusion, &mesh, nullptr, nullptr)))
    mesh = nullptr;
  // Releasing the context deselects the font, which can then be deleted.
  ReleaseDC(gTextMeshWindow, dc);
  DeleteObject(font);
  return mesh;
}

}  // namespace

ID3DXMesh* buildGlyphMesh(char character, const std::string& font, float extrusion) {
  const char text[2] = {character == ' ' ? '_' : character, '\0'};
  return buildTextMesh(text, font, extrusion);
}

MeshHandle createText(const std::string* text, const std::string* font, const float* extrusion) {
  ID3DXMesh* mesh = buildTextMesh(text->c_str(), *font, *extrusion);
  return mesh ? makeFactoryHandle<MeshHandle>(mesh) : MeshHandle();
}

// A letter that could not be built is cached all the same (as a counted
// handle without a mesh) and never tried again.
MeshHandle createMesh_GetFontLetter(const std::string* letter, const std::string* font) {
  const char key = letter->empty() ? '\0' : (*letter)[0];
  auto cached = gGlyphMeshCache.find(key);
  if (cached == gGlyphMeshCache.end())
    cached = gGlyphMeshCache
                 .emplace(key, makeFactoryHandle<MeshHandle>(buildGlyphMesh(key, *font, 0.1f)))
                 .first;
  return cached->second;
}
