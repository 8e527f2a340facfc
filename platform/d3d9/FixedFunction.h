// The fixed-function pipeline as GLSL: a key that captures every part of
// the device state that changes the shader's code (normalised, so that
// states that cannot matter do not make new programs), the generated vertex
// and fragment sources, and the cache of linked programs.
#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/d3d9/DeviceState.h"

namespace d3d9 {

// Attribute locations of the vertex formats.
enum Attribute {
  kAttrPosition = 0,
  kAttrWeights = 1,
  kAttrIndices = 2,
  kAttrNormal = 3,
  kAttrPointSize = 4,
  kAttrDiffuse = 5,
  kAttrSpecular = 6,
  kAttrTexCoord0 = 7,  // to 14
};

enum PositionKind : uint8_t { kPositionXYZ, kPositionRHW, kPositionXYZW };
enum TextureKind : uint8_t { kTextureNone, kTexture2D, kTextureCube };
enum ColorSource : uint8_t { kFromMaterial, kFromDiffuse, kFromSpecular };

struct StageCoordKey {
  uint8_t set;        // vertex texture coordinate set, when not generated
  uint8_t generate;   // 0, or the D3DTSS_TCI_* mode >> 16
  uint8_t count;      // components kept by the texture transform, 0: no transform
  uint8_t projected;  // divide by the last kept component
};

struct StageKey {
  uint8_t colorOp, colorArg[3];
  uint8_t alphaOp, alphaArg[3];
  uint8_t resultTemp;  // result goes to TEMP rather than CURRENT
  uint8_t texture;     // TextureKind of the stage's texture, when sampled
};

// Zero-initialised and normalised; compared and hashed as bytes.
struct ProgramKey {
  // Vertex stage
  uint8_t position;
  uint8_t blendMatrices;  // 1 without blending, else weights + 1
  uint8_t vertexWeights;  // weights stored in the vertex
  uint8_t hasNormal, hasDiffuse, hasSpecular, hasPointSize;
  uint8_t texCoordSize[8];  // components of each vertex set, 0 absent
  uint8_t lighting;
  uint8_t directionalLights, pointLights, spotLights;
  uint8_t localViewer, normalizeNormals;
  uint8_t diffuseSource, ambientSource, specularSource, emissiveSource;
  uint8_t vertexFog;  // D3DFOGMODE computed per vertex, 0 none
  uint8_t rangeFog;
  uint8_t pointScale;
  uint8_t clipPlanes;  // mask
  StageCoordKey coord[D3DMAX_TEXTURE_STAGES];
  // One stage is a shader of the caller's: the texture coordinates are
  // vec4 between the stages, both colours pass (and the other stage's
  // part of the key is unused).
  uint8_t shaderCoords;
  // Fragment stage
  uint8_t stageCount;
  StageKey stage[D3DMAX_TEXTURE_STAGES];
  uint8_t specularAdd;
  uint8_t fog;        // 0 none, 1 from the vertex factor, 2 per pixel (table)
  uint8_t tableFog;   // D3DFOGMODE when per pixel
  uint8_t fogFromW;   // per-pixel fog on eye depth rather than z
  uint8_t alphaFunc;  // D3DCMPFUNC, 0 when the alpha test is off
  uint8_t flat;
  uint8_t pointSprite;
  uint8_t points;  // drawing points: the program sets their size

  bool operator==(const ProgramKey& other) const;
};

struct ProgramKeyHash {
  size_t operator()(const ProgramKey& key) const;
};

struct VertexInput;

// Derives the key from the state for vertices read as `input` says.
// `textureKinds` names what is bound on each stage.
ProgramKey makeProgramKey(const DeviceState& state, const VertexInput& input,
                          const TextureKind textureKinds[D3DMAX_TEXTURE_STAGES], bool points);

// The key of the vertex stage alone, for drawing with a pixel shader of
// the caller's: texture coordinate i is what stage i's coordinate index
// and transform make of the vertex, whatever the stages' operations.
ProgramKey makeShaderVertexKey(const DeviceState& state, const VertexInput& input, bool points);

// The key of the fragment stage alone, for drawing with a vertex shader of
// the caller's that writes v_diffuse, v_specular, v_fog and v_tex0..7
// (vec4).
ProgramKey makeShaderFragmentKey(const DeviceState& state, const VertexInput& input,
                                 const TextureKind textureKinds[D3DMAX_TEXTURE_STAGES],
                                 bool points);

// Whether the vertex normal, and so the normal matrix, takes part (in
// lighting or generated texture coordinates).
bool usesNormals(const ProgramKey& key);

// Lit with every colour from the material (none from the vertices): the
// program then receives the colours that do not vary per vertex combined.
bool litFromMaterial(const ProgramKey& key);

// Whether the vertex stage needs the position in eye space for nothing but
// the projection (no point or spot light, local viewer, vertex fog, generated
// coordinate or point scale reads it, and one matrix, no blending): the
// program then receives world-view and projection as one matrix.
bool projectsInOne(const ProgramKey& key);

std::string vertexShaderSource(const ProgramKey& key);
std::string fragmentShaderSource(const ProgramKey& key);

// Uniform locations of one program (-1 when the program lacks it).
struct ProgramUniforms {
  GLint worldView, projection, world, viewport, depthRange;
  GLint materialDiffuse, materialAmbient, materialSpecular, materialEmissive, materialPower;
  GLint globalAmbient;
  // Programs lit from the material alone (see litFromMaterial).
  GLint litColour, litSpecular, litAmbient;
  GLint lightDiffuse, lightSpecular, lightAmbient, lightPosition, lightDirection, lightAttenuation,
      lightSpot;
  GLint fog, fogColor, textureFactor, stageConstant, textureMatrix, alphaRef, pointSize, pointScale,
      clipPlane;
};

// Groups of uniforms uploaded together when their source state changed.
enum UniformGroup {
  kGroupWorldView,   // world-view and normal matrices
  kGroupViewport,    // viewport, depth range, half-pixel offset
  kGroupProjection,  // with the half-pixel offset folded in
  kGroupTexture,     // texture matrices
  kGroupClip,        // clip planes and the world matrix they need
  kGroupLights,      // the lights' positions, directions and colours
  kGroupMaterial,    // the material and ambient, alone and combined with the lights
  kGroupStates,      // fog, texture factor, constants, alpha reference, points
  kGroupProjected,   // world-view-projection with the normal matrix (projectsInOne)
  kGroupCount,
};

struct Program {
  GLuint name = 0;
  ProgramUniforms uniforms;
  int blendMatrices = 1;
  int lights = 0;
  bool lit = false;      // computes lighting
  bool normals = false;  // reads the normal matrices (see usesNormals)
  // Its first four rows of u_worldViewNormal are world-view-projection
  // (see projectsInOne).
  bool projected = false;
  // For each group, the epoch of the values last uploaded.
  uint64_t stamps[kGroupCount] = {};
};

class ProgramCache {
 public:
  ~ProgramCache();
  // The program for `key`, compiled on first use; null when GL refused it
  // (the reason goes to the log once).
  Program* get(const ProgramKey& key);
  size_t size() const { return programs.size(); }
  // Deletes every program (they are made again as needed).
  void clear();

  // A compiled shader of the caller's linked with the fixed-function
  // stage of `key` for the other stage (a makeShaderVertexKey key for a
  // fragment shader, a makeShaderFragmentKey key for a vertex shader);
  // null when GL refused.
  Program* getWithShader(const ProgramKey& key, GLuint shader, bool shaderIsVertex);
  // Deletes the programs made with `shader` (before the caller deletes it).
  void forgetShader(GLuint shader);

 private:
  // A program's entry with its uniforms located.
  static std::unique_ptr<Program> made(const ProgramKey& key, GLuint program);

  std::unordered_map<ProgramKey, std::unique_ptr<Program>, ProgramKeyHash> programs;
  std::unordered_map<GLuint,
                     std::unordered_map<ProgramKey, std::unique_ptr<Program>, ProgramKeyHash>>
      withShader;
};

}  // namespace d3d9
