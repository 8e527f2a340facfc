// For code that draws through the device with GL programs of its own (the
// effect layer): it shares the device's context, targets, vertex formats,
// textures and raster state, and replaces only the fixed-function program.
//
// A program given here reads the vertex attributes at the locations of
// FixedFunction.h (position 0, blend weights 1, normal 3, point size 4,
// diffuse 5, specular 6, texture coordinates 7 to 14), samples stage i's
// texture on unit i, and sets its own uniforms.
#pragma once

#include <GL/gl.h>

#include <string>

struct IDirect3DDevice9;
struct IDirect3DBaseTexture9;

namespace d3d9_gl {

// Makes the device's GL context current; false for a device not ours.
bool makeCurrent(IDirect3DDevice9* device);

// Draws from now on use `program` (0: the fixed-function pipeline again).
void setProgram(IDirect3DDevice9* device, GLuint program);

// Draws from now on run the fixed-function vertex stage (transforms,
// lighting, texture coordinates as the device state makes them) into
// `fragment`, a compiled fragment shader of the caller's that reads
// `in vec4 v_diffuse, v_specular, v_tex0` .. `v_tex7`. Before each draw
// `prepare` is called with the GL program the two make (one per state
// combination), for the caller's uniforms. 0 ends it.
void setFragmentShader(IDirect3DDevice9* device, GLuint fragment, void (*prepare)(GLuint program, void* context),
                       void* context);
// Deletes the programs made with `fragment`; call before deleting it.
void forgetFragmentShader(IDirect3DDevice9* device, GLuint fragment);

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

}  // namespace d3d9_gl
