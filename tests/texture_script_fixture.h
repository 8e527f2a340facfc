// Scriplets that use textures, compiled by a real host over the headless
// device, with loose files in a scratch folder as the resource store.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "core/TQDatabase.h"
#include "runtime/ScriptHost.h"
#include "scriptapi/D3DTexture.h"
#include "tests/d3d9_fixture.h"

class TextureScene : public d3d9_testing::DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    char pattern[] = "/tmp/engine-texture-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    previousFolder = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    database = std::make_unique<TQDatabaseFilesystem>();
    gDatabase = database.get();
    previousDevice = gDevice;
    gDevice = device;
    gTextureScriptHost = nullptr;
    logged().clear();
    gLogHook = [](const char* text) { logged().push_back(text); };
    host = std::make_unique<ScriptHost>();
  }

  void TearDown() override {
    host.reset();      // the scripts' handles go with their engines
    database.reset();  // then the store's own
    gDatabase = nullptr;
    gDevice = previousDevice;
    gTextureScriptHost = nullptr;
    gLogHook = nullptr;
    ScriptHost::extraRegistrations = nullptr;
    std::filesystem::current_path(previousFolder);
    std::filesystem::remove_all(folder);
    DeviceFixture::TearDown();
  }

  static std::vector<std::string>& logged() {
    static std::vector<std::string> lines;
    return lines;
  }

  // Compiles the scriplet "scene" (a render function is added when the
  // source has none) and runs its init.
  void compile(std::string source) {
    if (source.find("void render(") == std::string::npos) source += "\nvoid render(float t) {}\n";
    std::string error;
    ASSERT_TRUE(host->compile("scene", source, error)) << error;
    host->callEntry("scene", ENTRY_INIT);
  }

  // Runs the scriplet's render inside a scene of the device.
  void render() {
    device->BeginScene();
    host->callEntry("scene", ENTRY_RENDER);
    device->EndScene();
  }

  template <typename T>
  T* global(const char* variable) {
    auto found = host->scriplets.find("scene");
    if (found == host->scriplets.end()) return nullptr;
    asIScriptModule* module = found->second.engine->GetModule("scene");
    int index = module->GetGlobalVarIndexByName(variable);
    if (index < 0) return nullptr;
    return static_cast<T*>(module->GetAddressOfGlobalVar(asUINT(index)));
  }
  IDirect3DTexture9* texture(const char* variable) {
    TextureHandle* handle = global<TextureHandle>(variable);
    return handle ? handle->object : nullptr;
  }

  static void write(const std::string& name, const std::string& bytes) {
    FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr) << name;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }

  // The bytes of level 0, rows without padding.
  static std::vector<uint8_t> levelBytes(IDirect3DTexture9* texture, UINT rowBytes) {
    std::vector<uint8_t> out;
    D3DSURFACE_DESC desc;
    D3DLOCKED_RECT locked;
    if (!texture || FAILED(texture->GetLevelDesc(0, &desc)) ||
        FAILED(texture->LockRect(0, &locked, nullptr, D3DLOCK_READONLY)))
      return out;
    UINT rows = desc.Format == D3DFMT_DXT1 ? (desc.Height + 3) / 4 : desc.Height;
    for (UINT y = 0; y < rows; ++y) {
      const uint8_t* row =
          static_cast<const uint8_t*>(locked.pBits) + size_t(y) * size_t(locked.Pitch);
      out.insert(out.end(), row, row + rowBytes);
    }
    texture->UnlockRect(0);
    return out;
  }

  // Level 0 as ARGB words.
  static d3d9_test::Frame levelImage(IDirect3DTexture9* texture) {
    IDirect3DSurface9* level = nullptr;
    if (!texture || FAILED(texture->GetSurfaceLevel(0, &level))) return {};
    d3d9_test::Frame image = d3d9_test::readSurface(level);
    level->Release();
    return image;
  }

  std::filesystem::path folder, previousFolder;
  std::unique_ptr<TQDatabaseFilesystem> database;
  std::unique_ptr<ScriptHost> host;
  IDirect3DDevice9* previousDevice = nullptr;
};
