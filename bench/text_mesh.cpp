// Text meshes: a line of text as the script's text function builds it, and
// one letter with everything around it (context, font lookup, build, hand
// back), as the per-letter cache pays once per character.
#include <benchmark/benchmark.h>

#include "platform/d3dx/D3DXText.h"

namespace {

HFONT arial() {
  return CreateFontA(0, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_TT_ONLY_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, 0, "Arial");
}

void BM_TextLine(benchmark::State& state) {
  HDC dc = GetDC(nullptr);
  HFONT font = arial();
  SelectObject(dc, font);
  TextMeshData data;
  for (auto _ : state) {
    buildTextMeshData(dc, "Greetings to everybody at the party!", 0.001f, 0.1f, data);
    benchmark::DoNotOptimize(data.vertices.data());
  }
  state.counters["triangles"] = double(data.indices.size() / 3);
  state.counters["vertices"] = double(data.vertices.size());
  ReleaseDC(nullptr, dc);
  DeleteObject(font);
}
BENCHMARK(BM_TextLine)->Unit(benchmark::kMillisecond);

void BM_OneLetterWithFontLookup(benchmark::State& state) {
  TextMeshData data;
  for (auto _ : state) {
    HDC dc = GetDC(nullptr);
    HFONT font = arial();
    SelectObject(dc, font);
    buildTextMeshData(dc, "g", 0.001f, 0.1f, data);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    benchmark::DoNotOptimize(data.vertices.data());
  }
  state.counters["triangles"] = double(data.indices.size() / 3);
}
BENCHMARK(BM_OneLetterWithFontLookup)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
