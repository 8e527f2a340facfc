// The script types texture and cubeTexture: textures loaded through the
// resource store, created empty or as render targets, filled texel by texel
// or drawn into by a script function, drawn as screen overlays and copied
// from the render target; and the sampler filter switch.
#pragma once

#include <cstdint>
#include <string>

#include "core/TQDataHandler.h"
#include "core/TQSmartPointer.h"
#include "platform/d3d9/D3D9.h"

namespace AngelScript {
class asIScriptEngine;
}
class ScriptCallbacks;

using TextureHandle = TQSmartPointer<IDirect3DTexture9, DXReleaseDestruct<IDirect3DTexture9>>;
using CubeTextureHandle =
    TQSmartPointer<IDirect3DCubeTexture9, DXReleaseDestruct<IDirect3DCubeTexture9>>;

// The host that the fill and render-to-texture callbacks run through: the
// one given to the first initD3DTexture call of the run.
extern ScriptCallbacks* gTextureScriptHost;

// Image-file bytes to a texture on gDevice. A file that cannot be read as an
// image gives a null texture; the load itself never fails.
class TQDataHandler_Texture : public TQDataHandler {
 public:
  bool loadFromMemory(const char* data, std::int32_t size, void** object,
                      std::string& error) override;
  bool saveToMemory(void* object, std::int32_t size, char** buffer, std::uint32_t* length,
                    std::string& error) override;
};

// texture createRenderTarget(int,int): a width x height render target of
// one level in the default pool, as the script gets it (a handle without a
// texture when none can be made).
TextureHandle createRenderTarget(int width, int height);

// Registers texture and cubeTexture with their functions into a new engine
// and remembers `host` when no host is remembered yet. Logs "TQScript -
// initD3DTexture failed" once when any registration is rejected (all the
// others are still made). Returns 0 after a clean registration.
int initD3DTexture(AngelScript::asIScriptEngine* engine, ScriptCallbacks* host);
