// Costs of the math layer and of the math script types as scriplets use
// them: a texture-fill style callback over a lent buffer, a frame's worth of
// matrix stack work, and the native matrix operations.
#include <angelscript.h>
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "platform/d3dx/D3DXMath.h"
#include "runtime/ScriptString.h"
#include "scriptapi/D3DXVector3.h"
#include "scriptapi/ScriptUtils.h"
#include "scriptapi/VectorN.h"

using namespace AngelScript;

namespace {

struct Engine {
  explicit Engine(const char* source) {
    engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
    engine->SetEngineProperty(asEP_ALLOW_UNSAFE_REFERENCES, 1);
    initString(engine);
    initD3DXVector3(engine);
    initTQScriptUtils(engine);
    asIScriptModule* module = engine->GetModule("bench", asGM_ALWAYS_CREATE);
    module->AddScriptSection("bench", source);
    built = module->Build() >= 0;
    context = engine->CreateContext();
  }
  ~Engine() {
    context->Release();
    engine->ShutDownAndRelease();
  }
  asIScriptFunction* function(const char* declaration) {
    return engine->GetModule("bench")->GetFunctionByDecl(declaration);
  }
  asIScriptEngine* engine;
  asIScriptContext* context;
  bool built;
};

// One 64 x 64 texture fill: a script callback writes four floats per texel
// into the host's buffer through its vectorN.
void BM_ScriptFillCallback64(benchmark::State& state) {
  Engine e(
      "void fill(vectorN v, int w, int h) {\n"
      "  for (int y = 0; y < h; y++) for (int x = 0; x < w; x++)\n"
      "    v.set4(y * w + x, x / 64.0, y / 64.0, 0.5, 1);\n"
      "}\n");
  if (!e.built) {
    state.SkipWithError("build failed");
    return;
  }
  asIScriptFunction* fill = e.function("void fill(vectorN, int, int)");
  const int w = 64, h = 64;
  auto buffer = std::make_unique<float[]>(4 * w * h);
  for (auto _ : state) {
    VectorN lent(buffer.get(), 4 * w * h);
    e.context->Prepare(fill);
    e.context->SetArgObject(0, &lent);
    e.context->SetArgDWord(1, w);
    e.context->SetArgDWord(2, h);
    e.context->Execute();
  }
  benchmark::DoNotOptimize(buffer[4 * w * h - 1]);
  state.SetItemsProcessed(state.iterations() * w * h);
}
BENCHMARK(BM_ScriptFillCallback64);

// A render function placing 100 objects through a local matrix stack.
void BM_ScriptMatrixStack100(benchmark::State& state) {
  Engine e(
      "vector3 p;\n"
      "void render() {\n"
      "  matrixStack s;\n"
      "  for (int i = 0; i < 100; i++) {\n"
      "    s.push(); s.translate(i, 0, 0); s.rotateAxis(vector3(0, 1, 0), i * 0.1);\n"
      "    s.scaleLocal(2, 2, 2); p = vector3(1, 1, 1) * s.getTop(); s.pop();\n"
      "  }\n"
      "}\n");
  if (!e.built) {
    state.SkipWithError("build failed");
    return;
  }
  asIScriptFunction* render = e.function("void render()");
  for (auto _ : state) {
    e.context->Prepare(render);
    e.context->Execute();
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_ScriptMatrixStack100);

void BM_MatrixMultiply(benchmark::State& state) {
  D3DXMATRIX a, b, out;
  D3DXVECTOR3 axis(1, 2, 3);
  D3DXMatrixRotationAxis(&a, &axis, 0.3f);
  D3DXMatrixTranslation(&b, 1, 2, 3);
  for (auto _ : state) {
    D3DXMatrixMultiply(&out, &a, &b);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MatrixMultiply);

void BM_MatrixInverse(benchmark::State& state) {
  D3DXMATRIX a, out;
  D3DXVECTOR3 axis(1, 2, 3);
  D3DXMatrixRotationAxis(&a, &axis, 0.3f);
  a._41 = 4;
  float determinant;
  for (auto _ : state) {
    D3DXMatrixInverse(&out, &determinant, &a);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MatrixInverse);

}  // namespace

BENCHMARK_MAIN();
