// Draws the program's splash picture and icons and writes them next to the
// resource table: splash.jpg (a JFIF file) and demo.ico (16-colour icons of
// 16 x 16 and 32 x 32 pixels). Run by hand when the pictures change:
//   g++ -O2 -std=c++20 $(pkg-config --cflags stb) make_resources.cpp
//       $(pkg-config --libs stb) -o make_resources
//   ./make_resources ..
#include <stb_image_write.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Rgb {
  float r, g, b;
};

// A 5 x 7 block alphabet for the four letters the splash needs.
const char* glyph(char c) {
  switch (c) {
    case 'T':
      return "#####..#....#....#....#....#....#..";
    case 'Q':
      return ".###.#...##...##...##.#.##..#..##.#";
    case '0':
      return ".###.#...##..###.#.###..##...#.###.";
    case '7':
      return "#####....#...#...#...#....#....#...";
    default:
      return "...................................";
  }
}

bool inText(const char* text, int x, int y, int left, int top, int scale) {
  for (int i = 0; text[i]; ++i) {
    int gx = (x - left - i * 6 * scale) / scale, gy = (y - top) / scale;
    if (x < left + i * 6 * scale || gx >= 5 || y < top || gy >= 7) continue;
    if (glyph(text[i])[gy * 5 + gx] == '#') return true;
  }
  return false;
}

// Night sky over a perspective grid, a banded sun and the title.
Rgb splashPixel(int x, int y, int width, int height) {
  float u = float(x) / float(width), v = float(y) / float(height);
  float horizon = 0.62f;
  Rgb c{0.05f + 0.25f * v, 0.02f + 0.05f * v, 0.18f + 0.35f * v};
  float dx = u - 0.5f, dy = v - 0.42f;
  float sun = std::sqrt(dx * dx + dy * dy * 1.6f);
  if (v < horizon && sun < 0.22f && std::fmod(v * 40.0f, 2.0f) > 2.0f * (v - 0.25f) * 2.5f) {
    c = {1.0f, 0.55f + 0.9f * (0.42f - v), 0.2f};
  }
  if (v >= horizon) {
    float depth = (v - horizon) / (1.0f - horizon);
    float z = 1.0f / (depth + 0.05f);
    float gx = std::fabs(std::fmod(dx * z * 4.0f + 100.0f, 1.0f) - 0.5f);
    float gz = std::fabs(std::fmod(z * 0.8f, 1.0f) - 0.5f);
    float line = std::fmax(gx > 0.46f ? 1.0f : 0.0f, gz > 0.45f ? 1.0f : 0.0f);
    c = {0.08f + 0.8f * line * depth, 0.02f + 0.2f * line * depth, 0.2f + 0.7f * line * depth};
  }
  int scale = width / 40;
  int textWidth = 4 * 6 * scale - scale;
  if (inText("TQ07", x, y, (width - textWidth) / 2, height / 10, scale)) c = {0.95f, 0.95f, 1.0f};
  return c;
}

bool writeSplash(const std::string& path) {
  const int width = 320, height = 240;
  std::vector<uint8_t> pixels(size_t(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      Rgb c = splashPixel(x, y, width, height);
      uint8_t* p = &pixels[(size_t(y) * width + x) * 3];
      p[0] = uint8_t(std::fmin(c.r, 1.0f) * 255.0f);
      p[1] = uint8_t(std::fmin(c.g, 1.0f) * 255.0f);
      p[2] = uint8_t(std::fmin(c.b, 1.0f) * 255.0f);
    }
  return stbi_write_jpg(path.c_str(), width, height, 3, pixels.data(), 85) != 0;
}

void put16(std::vector<uint8_t>& out, unsigned v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, unsigned v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// One icon image: a bitmap header, the 16-colour palette, the colour rows
// (bottom-up, 4 bits a pixel) and the 1-bit transparency mask.
std::vector<uint8_t> iconImage(int size) {
  static const uint8_t palette[16][3] = {
      {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},  {0, 0, 128}, {128, 0, 128},
      {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},    {0, 255, 0}, {255, 255, 0},
      {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};
  std::vector<uint8_t> out;
  put32(out, 40);
  put32(out, unsigned(size));
  put32(out, unsigned(size * 2));  // colour rows and mask rows together
  put16(out, 1);
  put16(out, 4);
  put32(out, 0);
  put32(out, 0);
  put32(out, 0);
  put32(out, 0);
  put32(out, 16);
  put32(out, 0);
  for (auto& entry : palette) {
    out.push_back(entry[2]);
    out.push_back(entry[1]);
    out.push_back(entry[0]);
    out.push_back(0);
  }
  // A yellow sun over a magenta and blue ground, in a round mask.
  auto colour = [&](int x, int y) -> int {
    float u = (x + 0.5f) / size - 0.5f, v = (y + 0.5f) / size - 0.5f;
    if (v > 0.1f) return ((x + y) & 1) ? 13 : 4;
    if (u * u + (v + 0.05f) * (v + 0.05f) < 0.09f) return 11;
    return 5;
  };
  auto opaque = [&](int x, int y) {
    float u = (x + 0.5f) / size - 0.5f, v = (y + 0.5f) / size - 0.5f;
    return u * u + v * v < 0.25f;
  };
  int colourStride = ((size * 4 + 31) / 32) * 4, maskStride = ((size + 31) / 32) * 4;
  for (int row = size - 1; row >= 0; --row) {
    std::vector<uint8_t> line(size_t(colourStride), 0);
    for (int x = 0; x < size; ++x) {
      int index = opaque(x, row) ? colour(x, row) : 0;
      line[size_t(x / 2)] |= uint8_t(x % 2 ? index : index << 4);
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  for (int row = size - 1; row >= 0; --row) {
    std::vector<uint8_t> line(size_t(maskStride), 0);
    for (int x = 0; x < size; ++x)
      if (!opaque(x, row)) line[size_t(x / 8)] |= uint8_t(0x80 >> (x % 8));
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

bool writeIcon(const std::string& path) {
  std::vector<uint8_t> images[2] = {iconImage(16), iconImage(32)};
  std::vector<uint8_t> out;
  put16(out, 0);
  put16(out, 1);
  put16(out, 2);
  unsigned offset = 6 + 2 * 16;
  for (int i = 0; i < 2; ++i) {
    int size = i == 0 ? 16 : 32;
    out.push_back(uint8_t(size));
    out.push_back(uint8_t(size));
    out.push_back(16);
    out.push_back(0);
    put16(out, 1);
    put16(out, 4);
    put32(out, unsigned(images[i].size()));
    put32(out, offset);
    offset += unsigned(images[i].size());
  }
  for (auto& image : images) out.insert(out.end(), image.begin(), image.end());
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder = argc > 1 ? argv[1] : ".";
  if (!writeSplash(folder + "/splash.jpg") || !writeIcon(folder + "/demo.ico")) {
    std::fprintf(stderr, "cannot write the pictures into %s\n", folder.c_str());
    return 1;
  }
  return 0;
}
