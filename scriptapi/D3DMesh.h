// The script type mesh: static triangle meshes loaded from X files through
// the resource store or made in code (the teapot, extruded text), drawn with
// one call and open to scripts vertex by vertex through a lock on their
// vertex buffer; with the sphere-map and radial deformation methods that
// rewrite their vertices on the processor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/TQDataHandler.h"
#include "core/TQSmartPointer.h"
#include "platform/d3dx/D3DXMesh.h"

namespace AngelScript {
class asIScriptEngine;
}

using MeshHandle = TQSmartPointer<ID3DXMesh, DXReleaseDestruct<ID3DXMesh>>;

// X-file bytes to a mesh in system memory. Never refuses: bytes that do not
// decode give a null mesh. Materials in the file are not kept.
class TQDataHandler_Mesh : public TQDataHandler {
 public:
  bool loadFromMemory(const char* data, std::int32_t size, void** object,
                      std::string& error) override;
  bool saveToMemory(void* object, std::int32_t size, char** buffer, std::uint32_t* length,
                    std::string& error) override;
};

// The vertex data of the mesh most recently locked by a script method; not
// cleared by an unlock.
extern unsigned char* gLockedVertices;
// Rest positions of the radial deformation, three floats per vertex, taken
// from the first mesh deformed in the run.
extern std::vector<float> gRadialDeformRestPositions;

// Registers mesh, vertexBuffer and skinnedMesh with their behaviours,
// methods and factories. Logs
// "TQScrip - initD3DMesh failed" once when any registration is refused.
int initD3DMesh(AngelScript::asIScriptEngine* engine);
