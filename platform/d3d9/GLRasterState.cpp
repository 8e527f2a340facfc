// The raster state: viewport, scissor, depth, stencil, blending, culling,
// fill mode and masks, each compared with what GL holds before it is set.
#include "platform/d3d9/GLPipeline.h"

#include <GL/glext.h>

#include <algorithm>
#include <cstring>

#include "platform/d3d9/GLPipelineInternal.h"
#include "platform/d3d9/Surface.h"

namespace d3d9 {

namespace {

GLenum compareFunction(DWORD func) {
  switch (func) {
    case D3DCMP_NEVER:
      return GL_NEVER;
    case D3DCMP_LESS:
      return GL_LESS;
    case D3DCMP_EQUAL:
      return GL_EQUAL;
    case D3DCMP_LESSEQUAL:
      return GL_LEQUAL;
    case D3DCMP_GREATER:
      return GL_GREATER;
    case D3DCMP_NOTEQUAL:
      return GL_NOTEQUAL;
    case D3DCMP_GREATEREQUAL:
      return GL_GEQUAL;
    default:
      return GL_ALWAYS;
  }
}

GLenum stencilOperation(DWORD op) {
  switch (op) {
    case D3DSTENCILOP_ZERO:
      return GL_ZERO;
    case D3DSTENCILOP_REPLACE:
      return GL_REPLACE;
    case D3DSTENCILOP_INCRSAT:
      return GL_INCR;
    case D3DSTENCILOP_DECRSAT:
      return GL_DECR;
    case D3DSTENCILOP_INVERT:
      return GL_INVERT;
    case D3DSTENCILOP_INCR:
      return GL_INCR_WRAP;
    case D3DSTENCILOP_DECR:
      return GL_DECR_WRAP;
    default:
      return GL_KEEP;
  }
}

// A blend factor; targets without alpha read a destination alpha of one
// (GL would read whatever the unused byte of their storage holds).
GLenum blendFactor(DWORD factor, bool destinationAlpha) {
  switch (factor) {
    case D3DBLEND_ZERO:
      return GL_ZERO;
    case D3DBLEND_ONE:
      return GL_ONE;
    case D3DBLEND_SRCCOLOR:
      return GL_SRC_COLOR;
    case D3DBLEND_INVSRCCOLOR:
      return GL_ONE_MINUS_SRC_COLOR;
    case D3DBLEND_SRCALPHA:
      return GL_SRC_ALPHA;
    case D3DBLEND_INVSRCALPHA:
      return GL_ONE_MINUS_SRC_ALPHA;
    case D3DBLEND_DESTALPHA:
      return destinationAlpha ? GL_DST_ALPHA : GL_ONE;
    case D3DBLEND_INVDESTALPHA:
      return destinationAlpha ? GL_ONE_MINUS_DST_ALPHA : GL_ZERO;
    case D3DBLEND_DESTCOLOR:
      return GL_DST_COLOR;
    case D3DBLEND_INVDESTCOLOR:
      return GL_ONE_MINUS_DST_COLOR;
    case D3DBLEND_SRCALPHASAT:
      // min(As, 1 - Ad) on the colour: zero when the destination alpha is one.
      return destinationAlpha ? GL_SRC_ALPHA_SATURATE : GL_ZERO;
    case D3DBLEND_BLENDFACTOR:
      return GL_CONSTANT_COLOR;
    case D3DBLEND_INVBLENDFACTOR:
      return GL_ONE_MINUS_CONSTANT_COLOR;
    default:
      return GL_ONE;
  }
}

// Source and destination factors, with the two "both" modes, which set the
// destination from the source.
void blendFactors(DWORD source, DWORD destination, bool destinationAlpha, GLenum& s, GLenum& d) {
  if (source == D3DBLEND_BOTHSRCALPHA) {
    s = GL_SRC_ALPHA;
    d = GL_ONE_MINUS_SRC_ALPHA;
  } else if (source == D3DBLEND_BOTHINVSRCALPHA) {
    s = GL_ONE_MINUS_SRC_ALPHA;
    d = GL_SRC_ALPHA;
  } else {
    s = blendFactor(source, destinationAlpha);
    d = blendFactor(destination, destinationAlpha);
  }
}

GLenum blendEquation(DWORD op) {
  switch (op) {
    case D3DBLENDOP_SUBTRACT:
      return GL_FUNC_SUBTRACT;
    case D3DBLENDOP_REVSUBTRACT:
      return GL_FUNC_REVERSE_SUBTRACT;
    case D3DBLENDOP_MIN:
      return GL_MIN;
    case D3DBLENDOP_MAX:
      return GL_MAX;
    default:
      return GL_FUNC_ADD;
  }
}

}  // namespace

void Pipeline::applyRasterState(const DeviceState& s) {
  uint64_t now[5] = {s.versions.renderStates, s.versions.viewport, uint64_t(uintptr_t(s.renderTarget)),
                     uint64_t(uintptr_t(s.depthStencil)), gl.disturbances};
  if (std::memcmp(now, rasterVersions, sizeof now) == 0) return;
  std::memcpy(rasterVersions, now, sizeof now);
  const DWORD* rs = s.renderStates;
  GLStateShadow& sh = gl.shadow;
  const D3DVIEWPORT9& vp = s.viewport;
  GLint box[4] = {GLint(vp.X), GLint(vp.Y), GLint(vp.Width), GLint(vp.Height)};
  if (std::memcmp(box, sh.viewport, sizeof box) != 0) {
    std::memcpy(sh.viewport, box, sizeof box);
    glViewport(box[0], box[1], box[2], box[3]);
  }
  if (sh.depthRange[0] != vp.MinZ || sh.depthRange[1] != vp.MaxZ) {
    sh.depthRange[0] = vp.MinZ;
    sh.depthRange[1] = vp.MaxZ;
    glDepthRange(vp.MinZ, vp.MaxZ);
  }

  if (rs[D3DRS_SCISSORTESTENABLE]) {
    gl.enable(kCapScissor, true);
    RECT r = s.scissor;
    r.left = std::max<LONG>(r.left, 0);
    r.top = std::max<LONG>(r.top, 0);
    gl.setScissor(r.left, r.top, std::max<LONG>(r.right - r.left, 0), std::max<LONG>(r.bottom - r.top, 0));
  } else {
    gl.enable(kCapScissor, false);
  }

  bool depth = s.depthStencil && rs[D3DRS_ZENABLE] != D3DZB_FALSE;
  gl.enable(kCapDepthTest, depth);
  if (depth) {
    GLenum func = compareFunction(rs[D3DRS_ZFUNC]);
    if (sh.depthFunc != func) {
      sh.depthFunc = func;
      glDepthFunc(func);
    }
    gl.setDepthMask(rs[D3DRS_ZWRITEENABLE] != 0);
  }
  float slope = asFloat(rs[D3DRS_SLOPESCALEDEPTHBIAS]);
  float bias = asFloat(rs[D3DRS_DEPTHBIAS]);
  bool offset = depth && (slope != 0.0f || bias != 0.0f);
  gl.enable(kCapPolygonOffsetFill, offset);
  if (offset) {
    // Direct3D's bias is in depth units; GL's in steps of the depth format.
    int bits = s.depthStencil->format == D3DFMT_D16 || s.depthStencil->format == D3DFMT_D16_LOCKABLE ? 16 : 24;
    float units = bias * float((1u << bits) - 1);
    if (sh.polygonOffset[0] != slope || sh.polygonOffset[1] != units) {
      sh.polygonOffset[0] = slope;
      sh.polygonOffset[1] = units;
      glPolygonOffset(slope, units);
    }
  }

  bool hasStencil = s.depthStencil && s.depthStencil->info && s.depthStencil->info->stencil;
  bool stencil = hasStencil && rs[D3DRS_STENCILENABLE];
  gl.enable(kCapStencil, stencil);
  if (stencil) {
    bool twoSided = rs[D3DRS_TWOSIDEDSTENCILMODE] != 0;
    // GL's front faces are Direct3D's clockwise ones.
    for (int face = 0; face < 2; ++face) {
      bool ccw = face == 1 && twoSided;
      GLenum func = compareFunction(rs[ccw ? D3DRS_CCW_STENCILFUNC : D3DRS_STENCILFUNC]);
      GLint ref = GLint(rs[D3DRS_STENCILREF] & 0xff);
      GLuint mask = rs[D3DRS_STENCILMASK];
      GLenum side = face == 0 ? GL_FRONT : GL_BACK;
      if (sh.stencilFunc[face] != func || sh.stencilRef[face] != ref || sh.stencilMask[face] != mask) {
        sh.stencilFunc[face] = func;
        sh.stencilRef[face] = ref;
        sh.stencilMask[face] = mask;
        glStencilFuncSeparate(side, func, ref, mask);
      }
      GLenum ops[3] = {stencilOperation(rs[ccw ? D3DRS_CCW_STENCILFAIL : D3DRS_STENCILFAIL]),
                       stencilOperation(rs[ccw ? D3DRS_CCW_STENCILZFAIL : D3DRS_STENCILZFAIL]),
                       stencilOperation(rs[ccw ? D3DRS_CCW_STENCILPASS : D3DRS_STENCILPASS])};
      if (std::memcmp(ops, sh.stencilOp[face], sizeof ops) != 0) {
        std::memcpy(sh.stencilOp[face], ops, sizeof ops);
        glStencilOpSeparate(side, ops[0], ops[1], ops[2]);
      }
    }
    gl.setStencilWriteMask(rs[D3DRS_STENCILWRITEMASK], rs[D3DRS_STENCILWRITEMASK]);
  }

  bool blend = rs[D3DRS_ALPHABLENDENABLE] != 0;
  gl.enable(kCapBlend, blend);
  if (blend) {
    bool destinationAlpha = s.renderTarget && s.renderTarget->info && s.renderTarget->info->hasAlpha;
    GLenum f[4];
    blendFactors(rs[D3DRS_SRCBLEND], rs[D3DRS_DESTBLEND], destinationAlpha, f[0], f[1]);
    GLenum eq[2] = {blendEquation(rs[D3DRS_BLENDOP]), 0};
    if (rs[D3DRS_SEPARATEALPHABLENDENABLE]) {
      blendFactors(rs[D3DRS_SRCBLENDALPHA], rs[D3DRS_DESTBLENDALPHA], destinationAlpha, f[2], f[3]);
      eq[1] = blendEquation(rs[D3DRS_BLENDOPALPHA]);
    } else {
      f[2] = f[0];
      f[3] = f[1];
      eq[1] = eq[0];
    }
    if (std::memcmp(f, sh.blendFunc, sizeof f) != 0) {
      std::memcpy(sh.blendFunc, f, sizeof f);
      glBlendFuncSeparate(f[0], f[1], f[2], f[3]);
    }
    if (std::memcmp(eq, sh.blendEquation, sizeof eq) != 0) {
      std::memcpy(sh.blendEquation, eq, sizeof eq);
      glBlendEquationSeparate(eq[0], eq[1]);
    }
    float factor[4];
    colourToFloats(rs[D3DRS_BLENDFACTOR], factor);
    if (std::memcmp(factor, sh.blendColor, sizeof factor) != 0) {
      std::memcpy(sh.blendColor, factor, sizeof factor);
      glBlendColor(factor[0], factor[1], factor[2], factor[3]);
    }
  }

  // Direct3D's clockwise triangles (as seen on screen) are GL's front faces.
  if (sh.frontFace != GL_CW) {
    sh.frontFace = GL_CW;
    glFrontFace(GL_CW);
  }
  DWORD cull = rs[D3DRS_CULLMODE];
  gl.enable(kCapCull, cull == D3DCULL_CW || cull == D3DCULL_CCW);
  GLenum face = cull == D3DCULL_CW ? GL_FRONT : GL_BACK;
  if ((cull == D3DCULL_CW || cull == D3DCULL_CCW) && sh.cullFace != face) {
    sh.cullFace = face;
    glCullFace(face);
  }
  GLenum fill = rs[D3DRS_FILLMODE] == D3DFILL_POINT       ? GL_POINT
                : rs[D3DRS_FILLMODE] == D3DFILL_WIREFRAME ? GL_LINE
                                                          : GL_FILL;
  if (sh.polygonMode != fill) {
    sh.polygonMode = fill;
    glPolygonMode(GL_FRONT_AND_BACK, fill);
  }
  gl.setColorMask(rs[D3DRS_COLORWRITEENABLE] & 0xf);
  gl.enable(kCapDither, rs[D3DRS_DITHERENABLE] != 0);
  DWORD planes = rs[D3DRS_CLIPPLANEENABLE];
  for (int i = 0; i < kClipPlanes; ++i) gl.enable(Cap(kCapClipDistance0 + i), (planes >> i) & 1);
}

}  // namespace d3d9
