// The draw path of the GL backend: vertex formats as vertex arrays, the
// fixed-function program for the state, its uniforms, textures and
// samplers, and the raster state (depth, stencil, blending, culling...).
// Everything is compared with what GL already holds and what each program
// already received, so a draw after an unchanged state costs the draw call.
// The functions every draw runs, here and in the device's setters and draw
// calls, are marked [[gnu::hot]]: the compiler places them together, so a
// draw's own code takes few instruction-cache lines beside the GL driver's,
// which fills most of that cache on every draw.
#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <unordered_map>
#include <vector>

#include "platform/d3d9/DeviceState.h"
#include "platform/d3d9/FixedFunction.h"
#include "platform/d3d9/GLBackend.h"
#include "platform/d3d9/VertexInput.h"

namespace d3d9 {

class TextureStorage;

class Pipeline {
 public:
  Pipeline(GLBackend& backend, ProgramCache& programs);
  ~Pipeline();

  void draw(DeviceState& state, const DrawCall& call);

  // Copies `bytes` into the streaming buffer at the next multiple of
  // `alignment` (a power of two) and returns their offset.
  GLintptr stream(const void* data, size_t bytes, size_t alignment);
  // The same for vertices of `stride` bytes, placed on a whole vertex of
  // the buffer: returns the index of the first.
  GLint streamVertices(const void* data, size_t bytes, size_t stride) {
    reserve(bytes + stride);
    size_t first = (streamPosition + stride - 1) / stride;
    size_t start = first * stride;
    std::memcpy(streamMemory + start, data, bytes);
    streamPosition = start + bytes;
    return GLint(first);
  }
  // Makes room for `bytes` in a row from the present position.
  void reserve(size_t bytes) {
    // (Room left in the quarter being written is the common case.)
    if (streamPosition + bytes <= quarterEnd() && bytes <= streamSize / 4) return;
    makeRoom(bytes);
  }
  GLuint streamBuffer() const { return streamName; }
  // Vertex arrays may still name a deleted buffer; the next draw re-binds.
  void forgetBuffer(GLuint buffer);
  // The vertex array of an input that goes (a released declaration).
  void forgetVertexInput(uint64_t id);

  // How many programs the state has needed so far (for tests and numbers).
  size_t programCount() const;

  // Draws with `name` instead of the fixed-function program (0: back to
  // fixed function). See GLInterop.h.
  void setProgramOverride(GLuint name);
  // Draws from now on run a shader of the caller's for one stage (a
  // vertex shader when `vertex`) and the fixed-function pipeline for the
  // other (0: back to fixed function); before each draw `prepare` gets
  // the program they make together, to set the caller's uniforms in it.
  // See GLInterop.h.
  void setShaderOverride(GLuint shader, bool vertex, void (*prepare)(GLuint program, void* context),
                         void* context);
  // Forgets everything believed about GL's state: the next draw sets it all.
  void invalidate();

 private:
  struct VertexArray {
    GLuint name = 0;
    GLuint buffer = GLuint(-1);
    GLintptr offset = -1;
    GLsizei stride = -1;
    GLuint elements = GLuint(-1);
  };

  // The vertex array that feeds `input` to the current program: to the
  // inputs an override program names by semantic, else at the fixed
  // locations.
  VertexArray& vertexArray(const VertexInput& input) {
    const VertexArrayKey key{input.id, overrideProgram ? programInputsSignature : 0};
    if (lastVertexArray && lastInput == key) return *lastVertexArray;
    return findVertexArray(key, input);
  }
  struct VertexArrayKey;
  VertexArray& findVertexArray(const VertexArrayKey& key, const VertexInput& input);
  // Reads which semantics the override program names, and where.
  void readProgramInputs(GLuint program);
  Program* selectProgram(DeviceState& state, bool points);
  // Takes the bound textures when they changed; true when the kind bound
  // on some stage changed with them.
  bool takeTextures(const DeviceState& state);
  void applyRasterState(const DeviceState& state);
  void bindTextures(DeviceState& state);
  void applySampler(int unit, const DWORD* values);
  void uploadUniforms(DeviceState& state, Program& program);
  // The part of the uniforms that follows the world matrices.
  void uploadWorld(const DeviceState& state, Program& program);
  // The part that follows the values StateVersions::values counts: the
  // material and lights, fog, texture factor and the other states.
  void uploadValues(const DeviceState& state, Program& program);
  // Each brings one group of derived values up to date with the state.
  // The first `count` world-view matrices, with their normal matrices when
  // `normals`.
  void deriveWorldView(const DeviceState& state, int count, bool normals);
  // World-view-projection of the first world matrix in projectedWorld's
  // first four rows, with the normal matrix of world-view after them when
  // `normals`; the epoch of kGroupProjected moves when the rows do.
  void deriveProjected(const DeviceState& state, bool normals);
  // Whether the view is the identity (looked at again when it moved).
  bool viewIdentity(const DeviceState& state);
  void deriveLights(const DeviceState& state);
  // The part of the lights' values that follows the lights and the view.
  void deriveLightValues(const DeviceState& state);
  void deriveStates(const DeviceState& state);
  // True (and the group's epoch moves on) when `sources` differ from the
  // versions the group was derived from.
  bool groupChanged(UniformGroup group, std::initializer_list<uint64_t> sources);
  // Whether `program` has not yet received the group's current epoch;
  // counts it received.
  bool due(Program& program, UniformGroup group) {
    if (program.stamps[group] == epochs[group]) return false;
    program.stamps[group] = epochs[group];
    return true;
  }

  GLBackend& gl;
  ProgramCache& programs;
  // By input id and the signature of the program inputs they were made
  // for; elements stay where they are.
  struct VertexArrayKey {
    uint64_t input, inputs;
    bool operator==(const VertexArrayKey& o) const {
      return input == o.input && inputs == o.inputs;
    }
  };
  struct VertexArrayKeyHash {
    size_t operator()(const VertexArrayKey& k) const {
      return size_t(k.input * 0x9E3779B97F4A7C15ull ^ k.inputs);
    }
  };
  std::unordered_map<VertexArrayKey, VertexArray, VertexArrayKeyHash> vertexArrays;
  VertexArrayKey lastInput{0, 0};
  // The override program's inputs named by semantic (usage, index,
  // location), and a signature of them (0: none, as for fixed function).
  struct ProgramInput {
    BYTE usage, usageIndex;
    GLuint location;
  };
  std::vector<ProgramInput> programInputs;
  uint64_t programInputsSignature = 0;
  VertexArray* lastVertexArray = nullptr;
  GLuint samplers[D3DMAX_TEXTURE_STAGES] = {};
  DWORD samplerValues[D3DMAX_TEXTURE_STAGES][D3DSAMP_COUNT];

  // The streaming buffer: persistently mapped, written front to back in
  // four quarters; a fence on each quarter keeps us from overwriting what
  // the GPU has not drawn yet.
  void makeStream(size_t size);
  // False when the quarter was still in use and the storage was replaced.
  bool enterQuarter(int quarter);
  // The part of reserve that moves on to other quarters or storage.
  void makeRoom(size_t bytes);
  GLuint streamName = 0;
  uint8_t* streamMemory = nullptr;
  size_t streamSize = 0, streamPosition = 0;
  int streamQuarter = 0;
  size_t quarterEnd() const { return size_t(streamQuarter + 1) * (streamSize / 4); }
  GLsync quarterFences[4] = {};

  GLuint overrideProgram = 0;
  GLuint overrideShader = 0;
  bool overrideIsVertex = false;
  void (*prepareFragment)(GLuint, void*) = nullptr;
  void* prepareContext = nullptr;
  // The program chosen for the state versions below, and what it samples.
  Program* program = nullptr;
  uint64_t keyVersions[6] = {};
  bool keyFogFromW = false, keyTableFog = false;
  TextureKind kinds[D3DMAX_TEXTURE_STAGES] = {};
  uint64_t textureVersion = 0, textureKindsVersion = 0, kindsVersion = 1;
  uint8_t sampledUnits = 0;  // bit per unit the program reads
  uint64_t samplerVersion = 0;

  // The raster state applied last, by the versions it came from.
  struct RasterVersions {
    uint64_t raster[4], depthStencil[3], blend[3];
  };
  RasterVersions rasterVersions = {};

  // What the last draw that went through every group found. A draw that
  // finds the same settings (the common case of a new world matrix, or a
  // new material, texture or texture factor, per draw) only brings the
  // world matrices and the values up to date: program, samplers and raster
  // state are as that draw left them.
  struct Settled {
    Program* program = nullptr;  // null: nothing settled
    uint64_t settings = 0, values = 0, disturbances = 0;
    const Surface* target = nullptr;
    const Surface* depth = nullptr;
    bool pointList = false;  // the draw's own primitives were points
  };
  Settled settled;

  // Derived uniform values, and per group the epoch and source versions.
  uint64_t epochs[kGroupCount] = {};
  uint64_t sources[kGroupCount][4] = {};
  int worldViewCount = 0, normalCount = 0;
  // Seven rows per blend matrix: world-view, then the normal matrix.
  float worldViewNormal[4][7][4] = {}, projection[16], world[16];
  // The first three rows of the world-view matrix each normal matrix was
  // made from, once made.
  float normalSource[4][3][4];
  bool normalKnown[4] = {};
  // World-view-projection and the normal matrix for programs that take
  // them so (see projectsInOne); the normal rows once made for the
  // current matrices.
  float projectedWorld[7][4] = {};
  bool projectedNormals = false;
  // The world, view and projection the rows were made for; the first three
  // rows of the world-view matrix the product was last made from in full,
  // and the projection's epoch then, once made.
  uint64_t projectedSources[3] = {};
  float projectedUpper[3][4];
  uint64_t projectedFrom = 0;
  bool projectedKnown = false;
  // Whether the view of version `viewVersion` is the identity.
  uint64_t viewVersion = 0;
  bool viewIsIdentity = false;
  float viewport[4], depthRange[2], halfPixel[2], textureMatrix[8][16];
  float lightDiffuse[8][4], lightSpecular[8][4], lightAmbient[8][4], lightPosition[8][4],
      lightDirection[8][4], lightAttenuation[8][4], lightSpot[8][4];
  float material[4][4], materialPower, globalAmbient[4];
  // The same combined with the material, for programs lit from it alone.
  // litColour: the scene's colour, then each light's diffuse colour.
  float litColour[9][4], litSpecular[8][4], litAmbient[8][4];
  int activeLights = 0, directionalLights = 0;
  float fog[4], fogColor[4] = {}, textureFactor[4] = {}, stageConstant[8][4] = {}, alphaRef,
                pointSize[4], pointScale[4], clipPlane[6][4];
  // The colour values that fogColor, textureFactor and stageConstant hold
  // the conversion of (all 0 to begin with, as the floats are).
  DWORD convertedColours[10] = {};
};

}  // namespace d3d9
