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
  // Each group is looked at only when what it comes from moved.
  const uint64_t disturbed = gl.disturbances;
  const DWORD* rs = s.renderStates;
  uint64_t raster[4] = {s.versions.raster, s.versions.viewport, s.versions.scissor, disturbed};
  if (std::memcmp(raster, rasterVersions.raster, sizeof raster) != 0) {
    std::memcpy(rasterVersions.raster, raster, sizeof raster);
    const D3DVIEWPORT9& vp = s.viewport;
    gl.setViewport(GLint(vp.X), GLint(vp.Y), GLint(vp.Width), GLint(vp.Height));
    gl.setDepthRange(vp.MinZ, vp.MaxZ);
    if (rs[D3DRS_SCISSORTESTENABLE]) {
      gl.enable(kCapScissor, true);
      RECT r = s.scissor;
      r.left = std::max<LONG>(r.left, 0);
      r.top = std::max<LONG>(r.top, 0);
      gl.setScissor(r.left, r.top, std::max<LONG>(r.right - r.left, 0),
                    std::max<LONG>(r.bottom - r.top, 0));
    } else {
      gl.enable(kCapScissor, false);
    }
    // Direct3D's clockwise triangles (as seen on screen) are GL's front faces.
    gl.setFrontFace(GL_CW);
    DWORD cull = rs[D3DRS_CULLMODE];
    bool culling = cull == D3DCULL_CW || cull == D3DCULL_CCW;
    gl.enable(kCapCull, culling);
    if (culling) gl.setCullFace(cull == D3DCULL_CW ? GL_FRONT : GL_BACK);
    gl.setPolygonMode(rs[D3DRS_FILLMODE] == D3DFILL_POINT       ? GL_POINT
                      : rs[D3DRS_FILLMODE] == D3DFILL_WIREFRAME ? GL_LINE
                                                                : GL_FILL);
    DWORD planes = rs[D3DRS_CLIPPLANEENABLE];
    for (int i = 0; i < kClipPlanes; ++i) gl.enable(Cap(kCapClipDistance0 + i), (planes >> i) & 1);
  }

  uint64_t depthStencil[3] = {s.versions.depthStencil, uint64_t(uintptr_t(s.depthStencil)),
                              disturbed};
  if (std::memcmp(depthStencil, rasterVersions.depthStencil, sizeof depthStencil) != 0) {
    std::memcpy(rasterVersions.depthStencil, depthStencil, sizeof depthStencil);
    bool depth = s.depthStencil && rs[D3DRS_ZENABLE] != D3DZB_FALSE;
    gl.enable(kCapDepthTest, depth);
    if (depth) {
      gl.setDepthFunc(compareFunction(rs[D3DRS_ZFUNC]));
      gl.setDepthMask(rs[D3DRS_ZWRITEENABLE] != 0);
    }
    float slope = asFloat(rs[D3DRS_SLOPESCALEDEPTHBIAS]);
    float bias = asFloat(rs[D3DRS_DEPTHBIAS]);
    bool offset = depth && (slope != 0.0f || bias != 0.0f);
    gl.enable(kCapPolygonOffsetFill, offset);
    if (offset) {
      // Direct3D's bias is in depth units; GL's in steps of the depth format.
      int bits =
          s.depthStencil->format == D3DFMT_D16 || s.depthStencil->format == D3DFMT_D16_LOCKABLE
              ? 16
              : 24;
      gl.setPolygonOffset(slope, bias * float((1u << bits) - 1));
    }
    bool hasStencil = s.depthStencil && s.depthStencil->info && s.depthStencil->info->stencil;
    bool stencil = hasStencil && rs[D3DRS_STENCILENABLE];
    gl.enable(kCapStencil, stencil);
    if (stencil) {
      bool twoSided = rs[D3DRS_TWOSIDEDSTENCILMODE] != 0;
      // GL's front faces are Direct3D's clockwise ones.
      for (int face = 0; face < 2; ++face) {
        bool ccw = face == 1 && twoSided;
        gl.setStencilFunc(face,
                          compareFunction(rs[ccw ? D3DRS_CCW_STENCILFUNC : D3DRS_STENCILFUNC]),
                          GLint(rs[D3DRS_STENCILREF] & 0xff), rs[D3DRS_STENCILMASK]);
        gl.setStencilOp(face, stencilOperation(rs[ccw ? D3DRS_CCW_STENCILFAIL : D3DRS_STENCILFAIL]),
                        stencilOperation(rs[ccw ? D3DRS_CCW_STENCILZFAIL : D3DRS_STENCILZFAIL]),
                        stencilOperation(rs[ccw ? D3DRS_CCW_STENCILPASS : D3DRS_STENCILPASS]));
      }
      gl.setStencilWriteMask(rs[D3DRS_STENCILWRITEMASK], rs[D3DRS_STENCILWRITEMASK]);
    }
  }

  uint64_t blending[3] = {s.versions.blend, uint64_t(uintptr_t(s.renderTarget)), disturbed};
  if (std::memcmp(blending, rasterVersions.blend, sizeof blending) != 0) {
    std::memcpy(rasterVersions.blend, blending, sizeof blending);
    bool blend = rs[D3DRS_ALPHABLENDENABLE] != 0;
    gl.enable(kCapBlend, blend);
    if (blend) {
      bool destinationAlpha =
          s.renderTarget && s.renderTarget->info && s.renderTarget->info->hasAlpha;
      GLenum f[4];
      blendFactors(rs[D3DRS_SRCBLEND], rs[D3DRS_DESTBLEND], destinationAlpha, f[0], f[1]);
      GLenum eq[2] = {blendEquation(rs[D3DRS_BLENDOP]), 0};
      if (rs[D3DRS_SEPARATEALPHABLENDENABLE]) {
        blendFactors(rs[D3DRS_SRCBLENDALPHA], rs[D3DRS_DESTBLENDALPHA], destinationAlpha, f[2],
                     f[3]);
        eq[1] = blendEquation(rs[D3DRS_BLENDOPALPHA]);
      } else {
        f[2] = f[0];
        f[3] = f[1];
        eq[1] = eq[0];
      }
      gl.setBlendFunc(f);
      gl.setBlendEquation(eq[0], eq[1]);
      float factor[4];
      colourToFloats(rs[D3DRS_BLENDFACTOR], factor);
      gl.setBlendColor(factor);
    }
    gl.setColorMask(rs[D3DRS_COLORWRITEENABLE] & 0xf);
    gl.enable(kCapDither, rs[D3DRS_DITHERENABLE] != 0);
  }
}

}  // namespace d3d9
