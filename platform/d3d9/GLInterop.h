// For code that draws through the device with GL programs of its own (the
// effect layer): it shares the device's context, targets, vertex formats,
// textures and raster state, and replaces only the fixed-function program.
//
// A program given here reads the vertex attributes by semantic: an input
// named "a_" and the semantic ("a_TANGENT0", "a_TEXCOORD1", see
// VertexFormat.h) receives that element of the vertex format (FVF or
// declaration) wherever GL placed it; inputs named otherwise read the
// locations of FixedFunction.h (position 0, blend weights 1, normal 3,
// point size 4, diffuse 5, specular 6, texture coordinates 7 to 14). Its
// fragment outputs at locations 0 to 3 go to render targets 0 to 3. It
// samples stage i's texture on unit i and sets its own uniforms.
#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <string>
#include <vector>

struct IDirect3DDevice9;
struct IDirect3DBaseTexture9;

namespace d3d9_gl {

// Makes the device's GL context current; false for a device not ours.
bool makeCurrent(IDirect3DDevice9* device);

// Draws from now on use `program` (0: the fixed-function pipeline again).
void setProgram(IDirect3DDevice9* device, GLuint program);

// Draws from now on run a compiled shader of the caller's for one stage and
// the fixed-function pipeline, as the device state makes it, for the other.
// A fragment shader (`vertex` false) reads `in vec4 v_diffuse, v_specular,
// v_tex0` .. `v_tex7`; a vertex shader writes `out vec4 v_diffuse,
// v_specular, v_tex0` .. `v_tex7` and `out float v_fog`. Before each draw
// `prepare` is called with the GL program the two make (one per state
// combination), for the caller's uniforms. 0 ends it.
void setShader(IDirect3DDevice9* device, GLuint shader, bool vertex,
               void (*prepare)(GLuint program, void* context), void* context);
// Deletes the programs made with `shader`; call before deleting it.
void forgetShader(IDirect3DDevice9* device, GLuint shader);

// After GL calls made outside the device: it forgets what it believed GL
// holds and sets everything again at its next call.
void stateTouched(IDirect3DDevice9* device);

// The GL name and target of a texture of ours; 0 for anything else.
GLuint textureName(IDirect3DBaseTexture9* texture, GLenum* target);

// Compiles one stage of GLSL; 0, with GL's message in `log`, when refused.
GLuint compileShader(GLenum type, const std::string& source, std::string& log);
// Links two compiled stages into a program and deletes the stages; 0, with
// GL's message in `log`, when refused.
GLuint linkShaders(GLuint vertex, GLuint fragment, std::string& log);

// A program of the caller's drawn over offscreen targets and read back
// (texture shaders): one triangle over the whole target, with blending,
// depth, stencil, scissor and culling off. The device sets its own state
// again at its next call after the pass.
class OffscreenPass {
 public:
  // The device's context must be current (makeCurrent).
  OffscreenPass(IDirect3DDevice9* device, GLuint program);
  ~OffscreenPass();
  OffscreenPass(const OffscreenPass&) = delete;
  OffscreenPass& operator=(const OffscreenPass&) = delete;

  // True when the device's clip origin puts a target's row 0 at the top.
  bool upperLeftOrigin() const { return origin == GL_UPPER_LEFT; }
  // Draws into a `width` x `height` target and reads it back into `pixels`
  // (rows as GL holds them, each pixel an ARGB value).
  void draw(int width, int height, std::vector<uint32_t>& pixels);

 private:
  IDirect3DDevice9* device;
  GLint origin = GL_LOWER_LEFT;
  GLuint framebuffer = 0, target = 0, vertexArray = 0;
};

}  // namespace d3d9_gl
