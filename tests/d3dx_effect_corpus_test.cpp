// Effect files written elsewhere, for other tools, run through the effect
// layer on the headless device: each is created with an error buffer, every
// pass of every technique draws a quad, and GL must report no error. The
// files live beside the checkout (../shared/corpus/fx, listed in its
// MANIFEST.tsv); without that folder the test is skipped.
//
// ENGINE_EXTRA_FX_DIR names another folder of such files to try the same
// way: every .fx file under it is run, what failed is printed, and only a
// crash or a refusal without a message fails the test.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/d3d9/GLInterop.h"
#include "platform/d3dx/D3DXEffect.h"
#include "tests/d3d9_fixture.h"

namespace {

const std::string kCorpus = ENGINE_SOURCE_DIR "/../shared/corpus/fx";

// Files outside what the layer takes (Direct3D 9 effect syntax), with the
// reason. They must fail with an error message, not crash or load empty.
const std::map<std::string, std::string> kOutOfScope = {
    {"MonoGame__MonoGame/Tests/Assets/Effects/DefinesTest.fx",
     "its profiles (VS_PROFILE) and MACRO_DEFINE_TEST come from the framework's build tool"},
    {"MonoGame__MonoGame/Tools/MonoGame.Content.Builder.Editor/Templates/Effect.fx",
     "without OPENGL defined it compiles for vs_4_0_level_9_1, a Direct3D 11 profile"},
    {"discosultan__penumbra/Source/Content/PenumbraLight.fx",
     "Texture2D, SamplerState and .Sample: Direct3D 10 syntax"},
    {"discosultan__penumbra/Source/Content/PenumbraTexture.fx",
     "Texture2D, SamplerState and .Sample: Direct3D 10 syntax"},
};

// The least number of in-scope files that must compile and draw; raised
// as coverage grows, so that it cannot fall back unnoticed.
constexpr int kCompiledFloor = 49;
constexpr int kDrewFloor = 49;

struct Vertex {
  float x, y, z;
  float nx, ny, nz;
  DWORD colour;
  float u, v;
};

std::vector<std::string> manifestEffects() {
  std::vector<std::string> files;
  std::ifstream in(kCorpus + "/MANIFEST.tsv");
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream cells(line);
    std::string cell;
    while (std::getline(cells, cell, '\t')) fields.push_back(cell);
    if (fields.size() > 5 && fields[5] == "effect") files.push_back(fields[0]);
  }
  return files;
}

struct Tally;

class EffectCorpusTest : public d3d9_testing::DeviceFixture {
 protected:
  void tryFile(const std::string& root, const std::string& name,
               const std::map<std::string, std::string>& outOfScope, Tally& tally);

  // Every pass of every technique over a quad; empty when all drew, else
  // what went wrong first.
  std::string drawAll(ID3DXEffect* effect) {
    d3d9_gl::makeCurrent(device);
    while (glGetError() != GL_NO_ERROR) {
    }
    const Vertex quad[] = {{-1, 1, 0.5f, 0, 0, -1, 0xffffffff, 0, 0},
                           {1, 1, 0.5f, 0, 0, -1, 0xffffffff, 1, 0},
                           {-1, -1, 0.5f, 0, 0, -1, 0xffffffff, 0, 1},
                           {1, -1, 0.5f, 0, 0, -1, 0xffffffff, 1, 1}};
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xff000000, 1.0f, 0);
    device->BeginScene();
    std::string failure;
    for (UINT t = 0; D3DXHANDLE technique = effect->GetTechnique(t); ++t) {
      if (effect->SetTechnique(technique) != D3D_OK) return "SetTechnique failed";
      UINT passes = 0;
      if (effect->Begin(&passes, 0) != D3D_OK) return "Begin failed";
      for (UINT p = 0; p < passes && failure.empty(); ++p) {
        if (effect->BeginPass(p) != D3D_OK) {
          failure = "BeginPass failed";
          break;
        }
        device->SetFVF(D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_TEX1);
        if (device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(Vertex)) != D3D_OK)
          failure = "the draw failed";
        effect->EndPass();
        d3d9_gl::makeCurrent(device);
        if (GLenum e = glGetError(); e != GL_NO_ERROR && failure.empty())
          failure = "GL error " + std::to_string(e) + " in technique " + std::to_string(t) +
                    " pass " + std::to_string(p);
      }
      effect->End();
      if (!failure.empty()) break;
    }
    device->EndScene();
    return failure;
  }
};

struct Tally {
  int inScope = 0, compiled = 0, drew = 0;
};

// Loads and draws one file, counting it in; refusals of files listed as
// outside what the layer takes are checked for a message instead.
void EffectCorpusTest::tryFile(const std::string& root, const std::string& name,
                               const std::map<std::string, std::string>& outOfScope, Tally& tally) {
  ID3DXEffect* effect = nullptr;
  ID3DXBuffer* errors = nullptr;
  const std::string path = root + "/" + name;
  HRESULT r = D3DXCreateEffectFromFileA(device, path.c_str(), nullptr, nullptr, 0, nullptr, &effect,
                                        &errors);
  std::string messages = errors ? static_cast<const char*>(errors->GetBufferPointer()) : "";
  if (errors) errors->Release();
  const auto outside = outOfScope.find(name);
  if (outside != outOfScope.end()) {
    // Refused, with a message that says where.
    EXPECT_NE(r, D3D_OK) << name << " (" << outside->second << ") now loads: take it into scope";
    EXPECT_EQ(effect, nullptr);
    EXPECT_NE(messages.find("error"), std::string::npos) << name << ": " << messages;
    if (effect) effect->Release();
    return;
  }
  ++tally.inScope;
  if (r != D3D_OK || !effect) {
    // A refusal always says why.
    EXPECT_NE(messages.find("error"), std::string::npos) << name << " refused without a message";
    EXPECT_EQ(effect, nullptr);
    // The first error, not the warnings before it.
    size_t at = messages.find(": error: ");
    at = at == std::string::npos ? 0 : messages.rfind('\n', at) + 1;
    std::printf("  not compiled: %s\n    %s\n", name.c_str(),
                messages.substr(at, messages.find('\n', at) - at).c_str());
    if (effect) effect->Release();
    return;
  }
  if (!effect->GetTechnique(0)) {
    std::printf("  no technique: %s\n", name.c_str());
    effect->Release();
    return;
  }
  ++tally.compiled;
  const std::string failure = drawAll(effect);
  if (failure.empty())
    ++tally.drew;
  else
    std::printf("  not drawn: %s: %s\n", name.c_str(), failure.c_str());
  effect->Release();
}

TEST_F(EffectCorpusTest, EffectFilesWrittenElsewhereCompileAndDraw) {
  std::FILE* probe = std::fopen((kCorpus + "/MANIFEST.tsv").c_str(), "rb");
  if (!probe) GTEST_SKIP() << "no effect corpus at " << kCorpus;
  std::fclose(probe);
  const std::vector<std::string> files = manifestEffects();
  ASSERT_FALSE(files.empty());
  Tally tally;
  for (const std::string& name : files) tryFile(kCorpus, name, kOutOfScope, tally);
  std::printf("compiled %d/%d drew %d/%d (%zu files out of scope)\n", tally.compiled, tally.inScope,
              tally.drew, tally.inScope, kOutOfScope.size());
  EXPECT_GE(tally.compiled, kCompiledFloor);
  EXPECT_GE(tally.drew, kDrewFloor);
}

TEST_F(EffectCorpusTest, EffectFilesInAnotherFolderLoadOrSayWhyNot) {
  const char* root = std::getenv("ENGINE_EXTRA_FX_DIR");
  if (!root || !*root) GTEST_SKIP() << "ENGINE_EXTRA_FX_DIR is not set";
  namespace fs = std::filesystem;
  std::error_code error;
  std::vector<std::string> files;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file()) continue;
    std::string extension = it->path().extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".fx") files.push_back(fs::relative(it->path(), root).string());
  }
  ASSERT_FALSE(error) << root << ": " << error.message();
  std::sort(files.begin(), files.end());
  Tally tally;
  for (const std::string& name : files) tryFile(root, name, {}, tally);
  std::printf("compiled %d/%d drew %d/%d\n", tally.compiled, tally.inScope, tally.drew,
              tally.inScope);
}

}  // namespace
