#include "platform/d3dx/EffectStates.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace d3dx_fx {

namespace {

// Fields of lights and materials, as StateInfo::id.
enum LightField {
  kLightType,
  kLightDiffuse,
  kLightSpecular,
  kLightAmbient,
  kLightPosition,
  kLightDirection,
  kLightRange,
  kLightFalloff,
  kLightAttenuation0,
  kLightAttenuation1,
  kLightAttenuation2,
  kLightTheta,
  kLightPhi
};
enum MaterialField {
  kMaterialDiffuse,
  kMaterialAmbient,
  kMaterialSpecular,
  kMaterialEmissive,
  kMaterialPower
};
// Transforms: the index selects the world matrix or texture stage.
enum TransformKind { kWorld, kView, kProjection, kTexture };

using T = StateTarget;
using V = Values;

const StateInfo kStates[] = {
    {"ZEnable", T::Render, D3DRS_ZENABLE, V::ZBuffer},
    {"FillMode", T::Render, D3DRS_FILLMODE, V::Fill},
    {"ShadeMode", T::Render, D3DRS_SHADEMODE, V::Shade},
    {"ZWriteEnable", T::Render, D3DRS_ZWRITEENABLE, V::Bool},
    {"AlphaTestEnable", T::Render, D3DRS_ALPHATESTENABLE, V::Bool},
    {"LastPixel", T::Render, D3DRS_LASTPIXEL, V::Bool},
    {"SrcBlend", T::Render, D3DRS_SRCBLEND, V::Blend},
    {"DestBlend", T::Render, D3DRS_DESTBLEND, V::Blend},
    {"CullMode", T::Render, D3DRS_CULLMODE, V::Cull},
    {"ZFunc", T::Render, D3DRS_ZFUNC, V::Cmp},
    {"AlphaRef", T::Render, D3DRS_ALPHAREF, V::Number},
    {"AlphaFunc", T::Render, D3DRS_ALPHAFUNC, V::Cmp},
    {"DitherEnable", T::Render, D3DRS_DITHERENABLE, V::Bool},
    {"AlphaBlendEnable", T::Render, D3DRS_ALPHABLENDENABLE, V::Bool},
    {"FogEnable", T::Render, D3DRS_FOGENABLE, V::Bool},
    {"SpecularEnable", T::Render, D3DRS_SPECULARENABLE, V::Bool},
    {"FogColor", T::Render, D3DRS_FOGCOLOR, V::Color},
    {"FogTableMode", T::Render, D3DRS_FOGTABLEMODE, V::Fog},
    {"FogStart", T::Render, D3DRS_FOGSTART, V::Float},
    {"FogEnd", T::Render, D3DRS_FOGEND, V::Float},
    {"FogDensity", T::Render, D3DRS_FOGDENSITY, V::Float},
    {"RangeFogEnable", T::Render, D3DRS_RANGEFOGENABLE, V::Bool},
    {"StencilEnable", T::Render, D3DRS_STENCILENABLE, V::Bool},
    {"StencilFail", T::Render, D3DRS_STENCILFAIL, V::StencilOp},
    {"StencilZFail", T::Render, D3DRS_STENCILZFAIL, V::StencilOp},
    {"StencilPass", T::Render, D3DRS_STENCILPASS, V::StencilOp},
    {"StencilFunc", T::Render, D3DRS_STENCILFUNC, V::Cmp},
    {"StencilRef", T::Render, D3DRS_STENCILREF, V::Number},
    {"StencilMask", T::Render, D3DRS_STENCILMASK, V::Number},
    {"StencilWriteMask", T::Render, D3DRS_STENCILWRITEMASK, V::Number},
    {"TextureFactor", T::Render, D3DRS_TEXTUREFACTOR, V::Color},
    {"Wrap0", T::Render, D3DRS_WRAP0, V::Wrap},
    {"Wrap1", T::Render, D3DRS_WRAP1, V::Wrap},
    {"Wrap2", T::Render, D3DRS_WRAP2, V::Wrap},
    {"Wrap3", T::Render, D3DRS_WRAP3, V::Wrap},
    {"Wrap4", T::Render, D3DRS_WRAP4, V::Wrap},
    {"Wrap5", T::Render, D3DRS_WRAP5, V::Wrap},
    {"Wrap6", T::Render, D3DRS_WRAP6, V::Wrap},
    {"Wrap7", T::Render, D3DRS_WRAP7, V::Wrap},
    {"Wrap8", T::Render, D3DRS_WRAP8, V::Wrap},
    {"Wrap9", T::Render, D3DRS_WRAP9, V::Wrap},
    {"Wrap10", T::Render, D3DRS_WRAP10, V::Wrap},
    {"Wrap11", T::Render, D3DRS_WRAP11, V::Wrap},
    {"Wrap12", T::Render, D3DRS_WRAP12, V::Wrap},
    {"Wrap13", T::Render, D3DRS_WRAP13, V::Wrap},
    {"Wrap14", T::Render, D3DRS_WRAP14, V::Wrap},
    {"Wrap15", T::Render, D3DRS_WRAP15, V::Wrap},
    {"Clipping", T::Render, D3DRS_CLIPPING, V::Bool},
    {"Lighting", T::Render, D3DRS_LIGHTING, V::Bool},
    {"Ambient", T::Render, D3DRS_AMBIENT, V::Color},
    {"FogVertexMode", T::Render, D3DRS_FOGVERTEXMODE, V::Fog},
    {"ColorVertex", T::Render, D3DRS_COLORVERTEX, V::Bool},
    {"LocalViewer", T::Render, D3DRS_LOCALVIEWER, V::Bool},
    {"NormalizeNormals", T::Render, D3DRS_NORMALIZENORMALS, V::Bool},
    {"DiffuseMaterialSource", T::Render, D3DRS_DIFFUSEMATERIALSOURCE, V::MaterialSource},
    {"SpecularMaterialSource", T::Render, D3DRS_SPECULARMATERIALSOURCE, V::MaterialSource},
    {"AmbientMaterialSource", T::Render, D3DRS_AMBIENTMATERIALSOURCE, V::MaterialSource},
    {"EmissiveMaterialSource", T::Render, D3DRS_EMISSIVEMATERIALSOURCE, V::MaterialSource},
    {"VertexBlend", T::Render, D3DRS_VERTEXBLEND, V::VertexBlend},
    {"ClipPlaneEnable", T::Render, D3DRS_CLIPPLANEENABLE, V::Number},
    {"PointSize", T::Render, D3DRS_POINTSIZE, V::Float},
    {"PointSize_Min", T::Render, D3DRS_POINTSIZE_MIN, V::Float},
    {"PointSpriteEnable", T::Render, D3DRS_POINTSPRITEENABLE, V::Bool},
    {"PointScaleEnable", T::Render, D3DRS_POINTSCALEENABLE, V::Bool},
    {"PointScale_A", T::Render, D3DRS_POINTSCALE_A, V::Float},
    {"PointScale_B", T::Render, D3DRS_POINTSCALE_B, V::Float},
    {"PointScale_C", T::Render, D3DRS_POINTSCALE_C, V::Float},
    {"MultiSampleAntialias", T::Render, D3DRS_MULTISAMPLEANTIALIAS, V::Bool},
    {"MultiSampleMask", T::Render, D3DRS_MULTISAMPLEMASK, V::Number},
    {"PatchEdgeStyle", T::Render, D3DRS_PATCHEDGESTYLE, V::Number},
    {"PointSize_Max", T::Render, D3DRS_POINTSIZE_MAX, V::Float},
    {"IndexedVertexBlendEnable", T::Render, D3DRS_INDEXEDVERTEXBLENDENABLE, V::Bool},
    {"ColorWriteEnable", T::Render, D3DRS_COLORWRITEENABLE, V::WriteMask},
    {"TweenFactor", T::Render, D3DRS_TWEENFACTOR, V::Float},
    {"BlendOp", T::Render, D3DRS_BLENDOP, V::BlendOp},
    {"PositionDegree", T::Render, D3DRS_POSITIONDEGREE, V::Number},
    {"NormalDegree", T::Render, D3DRS_NORMALDEGREE, V::Number},
    {"ScissorTestEnable", T::Render, D3DRS_SCISSORTESTENABLE, V::Bool},
    {"SlopeScaleDepthBias", T::Render, D3DRS_SLOPESCALEDEPTHBIAS, V::Float},
    {"AntialiasedLineEnable", T::Render, D3DRS_ANTIALIASEDLINEENABLE, V::Bool},
    {"MinTessellationLevel", T::Render, D3DRS_MINTESSELLATIONLEVEL, V::Float},
    {"MaxTessellationLevel", T::Render, D3DRS_MAXTESSELLATIONLEVEL, V::Float},
    {"AdaptiveTess_X", T::Render, D3DRS_ADAPTIVETESS_X, V::Float},
    {"AdaptiveTess_Y", T::Render, D3DRS_ADAPTIVETESS_Y, V::Float},
    {"AdaptiveTess_Z", T::Render, D3DRS_ADAPTIVETESS_Z, V::Float},
    {"AdaptiveTess_W", T::Render, D3DRS_ADAPTIVETESS_W, V::Float},
    {"EnableAdaptiveTessellation", T::Render, D3DRS_ENABLEADAPTIVETESSELLATION, V::Bool},
    {"TwoSidedStencilMode", T::Render, D3DRS_TWOSIDEDSTENCILMODE, V::Bool},
    {"CCW_StencilFail", T::Render, D3DRS_CCW_STENCILFAIL, V::StencilOp},
    {"CCW_StencilZFail", T::Render, D3DRS_CCW_STENCILZFAIL, V::StencilOp},
    {"CCW_StencilPass", T::Render, D3DRS_CCW_STENCILPASS, V::StencilOp},
    {"CCW_StencilFunc", T::Render, D3DRS_CCW_STENCILFUNC, V::Cmp},
    {"ColorWriteEnable1", T::Render, D3DRS_COLORWRITEENABLE1, V::WriteMask},
    {"ColorWriteEnable2", T::Render, D3DRS_COLORWRITEENABLE2, V::WriteMask},
    {"ColorWriteEnable3", T::Render, D3DRS_COLORWRITEENABLE3, V::WriteMask},
    {"BlendFactor", T::Render, D3DRS_BLENDFACTOR, V::Color},
    {"SRGBWriteEnable", T::Render, D3DRS_SRGBWRITEENABLE, V::Bool},
    {"DepthBias", T::Render, D3DRS_DEPTHBIAS, V::Float},
    {"SeparateAlphaBlendEnable", T::Render, D3DRS_SEPARATEALPHABLENDENABLE, V::Bool},
    {"SrcBlendAlpha", T::Render, D3DRS_SRCBLENDALPHA, V::Blend},
    {"DestBlendAlpha", T::Render, D3DRS_DESTBLENDALPHA, V::Blend},
    {"BlendOpAlpha", T::Render, D3DRS_BLENDOPALPHA, V::BlendOp},
    // Texture stages
    {"ColorOp", T::Stage, D3DTSS_COLOROP, V::TexOp},
    {"ColorArg0", T::Stage, D3DTSS_COLORARG0, V::TexArg},
    {"ColorArg1", T::Stage, D3DTSS_COLORARG1, V::TexArg},
    {"ColorArg2", T::Stage, D3DTSS_COLORARG2, V::TexArg},
    {"AlphaOp", T::Stage, D3DTSS_ALPHAOP, V::TexOp},
    {"AlphaArg0", T::Stage, D3DTSS_ALPHAARG0, V::TexArg},
    {"AlphaArg1", T::Stage, D3DTSS_ALPHAARG1, V::TexArg},
    {"AlphaArg2", T::Stage, D3DTSS_ALPHAARG2, V::TexArg},
    {"ResultArg", T::Stage, D3DTSS_RESULTARG, V::TexArg},
    {"BumpEnvMat00", T::Stage, D3DTSS_BUMPENVMAT00, V::Float},
    {"BumpEnvMat01", T::Stage, D3DTSS_BUMPENVMAT01, V::Float},
    {"BumpEnvMat10", T::Stage, D3DTSS_BUMPENVMAT10, V::Float},
    {"BumpEnvMat11", T::Stage, D3DTSS_BUMPENVMAT11, V::Float},
    {"BumpEnvLScale", T::Stage, D3DTSS_BUMPENVLSCALE, V::Float},
    {"BumpEnvLOffset", T::Stage, D3DTSS_BUMPENVLOFFSET, V::Float},
    {"TexCoordIndex", T::Stage, D3DTSS_TEXCOORDINDEX, V::TexCoordIndex},
    {"TextureTransformFlags", T::Stage, D3DTSS_TEXTURETRANSFORMFLAGS, V::TransformFlags},
    // The vertex format the pass's draws read ("FVF = XYZ | Normal | Tex1").
    {"FVF", T::Fvf, 0, V::Fvf},
    {"Constant", T::Stage, D3DTSS_CONSTANT, V::Color},
    // Transforms
    {"WorldTransform", T::Transform, kWorld, V::Matrix},
    {"ViewTransform", T::Transform, kView, V::Matrix},
    {"ProjectionTransform", T::Transform, kProjection, V::Matrix},
    {"TextureTransform", T::Transform, kTexture, V::Matrix},
    // Lights and the material
    {"LightEnable", T::LightEnable, 0, V::Bool},
    {"LightType", T::Light, kLightType, V::LightType},
    {"LightDiffuse", T::Light, kLightDiffuse, V::Vector},
    {"LightSpecular", T::Light, kLightSpecular, V::Vector},
    {"LightAmbient", T::Light, kLightAmbient, V::Vector},
    {"LightPosition", T::Light, kLightPosition, V::Vector},
    {"LightDirection", T::Light, kLightDirection, V::Vector},
    {"LightRange", T::Light, kLightRange, V::Float},
    {"LightFalloff", T::Light, kLightFalloff, V::Float},
    {"LightAttenuation0", T::Light, kLightAttenuation0, V::Float},
    {"LightAttenuation1", T::Light, kLightAttenuation1, V::Float},
    {"LightAttenuation2", T::Light, kLightAttenuation2, V::Float},
    {"LightTheta", T::Light, kLightTheta, V::Float},
    {"LightPhi", T::Light, kLightPhi, V::Float},
    {"MaterialDiffuse", T::Material, kMaterialDiffuse, V::Vector},
    {"MaterialAmbient", T::Material, kMaterialAmbient, V::Vector},
    {"MaterialSpecular", T::Material, kMaterialSpecular, V::Vector},
    {"MaterialEmissive", T::Material, kMaterialEmissive, V::Vector},
    {"MaterialPower", T::Material, kMaterialPower, V::Float},
};

const StateInfo kSamplerStates[] = {
    {"AddressU", T::Sampler, D3DSAMP_ADDRESSU, V::Address},
    {"AddressV", T::Sampler, D3DSAMP_ADDRESSV, V::Address},
    {"AddressW", T::Sampler, D3DSAMP_ADDRESSW, V::Address},
    {"BorderColor", T::Sampler, D3DSAMP_BORDERCOLOR, V::Color},
    {"MagFilter", T::Sampler, D3DSAMP_MAGFILTER, V::Filter},
    {"MinFilter", T::Sampler, D3DSAMP_MINFILTER, V::Filter},
    {"MipFilter", T::Sampler, D3DSAMP_MIPFILTER, V::Filter},
    {"MipMapLodBias", T::Sampler, D3DSAMP_MIPMAPLODBIAS, V::Float},
    {"MaxMipLevel", T::Sampler, D3DSAMP_MAXMIPLEVEL, V::Number},
    {"MaxAnisotropy", T::Sampler, D3DSAMP_MAXANISOTROPY, V::Number},
    {"SRGBTexture", T::Sampler, D3DSAMP_SRGBTEXTURE, V::Bool},
    {"ElementIndex", T::Sampler, D3DSAMP_ELEMENTINDEX, V::Number},
};

struct ValueName {
  Values values;
  const char* name;
  DWORD value;
};

const ValueName kValueNames[] = {
    {V::Bool, "true", 1},
    {V::Bool, "false", 0},
    {V::Blend, "Zero", D3DBLEND_ZERO},
    {V::Blend, "One", D3DBLEND_ONE},
    {V::Blend, "SrcColor", D3DBLEND_SRCCOLOR},
    {V::Blend, "InvSrcColor", D3DBLEND_INVSRCCOLOR},
    {V::Blend, "SrcAlpha", D3DBLEND_SRCALPHA},
    {V::Blend, "InvSrcAlpha", D3DBLEND_INVSRCALPHA},
    {V::Blend, "DestAlpha", D3DBLEND_DESTALPHA},
    {V::Blend, "InvDestAlpha", D3DBLEND_INVDESTALPHA},
    {V::Blend, "DestColor", D3DBLEND_DESTCOLOR},
    {V::Blend, "InvDestColor", D3DBLEND_INVDESTCOLOR},
    {V::Blend, "SrcAlphaSat", D3DBLEND_SRCALPHASAT},
    {V::Blend, "BothSrcAlpha", 12},
    {V::Blend, "BothInvSrcAlpha", 13},
    {V::Blend, "BlendFactor", D3DBLEND_BLENDFACTOR},
    {V::Blend, "InvBlendFactor", D3DBLEND_INVBLENDFACTOR},
    {V::BlendOp, "Add", D3DBLENDOP_ADD},
    {V::BlendOp, "Subtract", D3DBLENDOP_SUBTRACT},
    {V::BlendOp, "RevSubtract", D3DBLENDOP_REVSUBTRACT},
    {V::BlendOp, "Min", D3DBLENDOP_MIN},
    {V::BlendOp, "Max", D3DBLENDOP_MAX},
    {V::Cmp, "Never", D3DCMP_NEVER},
    {V::Cmp, "Less", D3DCMP_LESS},
    {V::Cmp, "Equal", D3DCMP_EQUAL},
    {V::Cmp, "LessEqual", D3DCMP_LESSEQUAL},
    {V::Cmp, "Greater", D3DCMP_GREATER},
    {V::Cmp, "NotEqual", D3DCMP_NOTEQUAL},
    {V::Cmp, "GreaterEqual", D3DCMP_GREATEREQUAL},
    {V::Cmp, "Always", D3DCMP_ALWAYS},
    {V::Cull, "None", D3DCULL_NONE},
    {V::Cull, "CW", D3DCULL_CW},
    {V::Cull, "CCW", D3DCULL_CCW},
    {V::Fill, "Point", D3DFILL_POINT},
    {V::Fill, "Wireframe", D3DFILL_WIREFRAME},
    {V::Fill, "Solid", D3DFILL_SOLID},
    {V::Shade, "Flat", D3DSHADE_FLAT},
    {V::Shade, "Gouraud", D3DSHADE_GOURAUD},
    {V::Shade, "Phong", D3DSHADE_PHONG},
    {V::StencilOp, "Keep", D3DSTENCILOP_KEEP},
    {V::StencilOp, "Zero", D3DSTENCILOP_ZERO},
    {V::StencilOp, "Replace", D3DSTENCILOP_REPLACE},
    {V::StencilOp, "IncrSat", D3DSTENCILOP_INCRSAT},
    {V::StencilOp, "DecrSat", D3DSTENCILOP_DECRSAT},
    {V::StencilOp, "Invert", D3DSTENCILOP_INVERT},
    {V::StencilOp, "Incr", D3DSTENCILOP_INCR},
    {V::StencilOp, "Decr", D3DSTENCILOP_DECR},
    {V::Filter, "None", D3DTEXF_NONE},
    {V::Filter, "Point", D3DTEXF_POINT},
    {V::Filter, "Linear", D3DTEXF_LINEAR},
    {V::Filter, "Anisotropic", D3DTEXF_ANISOTROPIC},
    {V::Filter, "PyramidalQuad", 6},
    {V::Filter, "GaussianQuad", 7},
    {V::Address, "Wrap", D3DTADDRESS_WRAP},
    {V::Address, "Mirror", D3DTADDRESS_MIRROR},
    {V::Address, "Clamp", D3DTADDRESS_CLAMP},
    {V::Address, "Border", D3DTADDRESS_BORDER},
    {V::Address, "MirrorOnce", D3DTADDRESS_MIRRORONCE},
    {V::WriteMask, "Red", D3DCOLORWRITEENABLE_RED},
    {V::WriteMask, "Green", D3DCOLORWRITEENABLE_GREEN},
    {V::WriteMask, "Blue", D3DCOLORWRITEENABLE_BLUE},
    {V::WriteMask, "Alpha", D3DCOLORWRITEENABLE_ALPHA},
    {V::WriteMask, "All", 0xf},
    {V::WriteMask, "None", 0},
    {V::TexOp, "Disable", D3DTOP_DISABLE},
    {V::TexOp, "SelectArg1", D3DTOP_SELECTARG1},
    {V::TexOp, "SelectArg2", D3DTOP_SELECTARG2},
    {V::TexOp, "Modulate", D3DTOP_MODULATE},
    {V::TexOp, "Modulate2x", D3DTOP_MODULATE2X},
    {V::TexOp, "Modulate4x", D3DTOP_MODULATE4X},
    {V::TexOp, "Add", D3DTOP_ADD},
    {V::TexOp, "AddSigned", D3DTOP_ADDSIGNED},
    {V::TexOp, "AddSigned2x", D3DTOP_ADDSIGNED2X},
    {V::TexOp, "Subtract", D3DTOP_SUBTRACT},
    {V::TexOp, "AddSmooth", D3DTOP_ADDSMOOTH},
    {V::TexOp, "BlendDiffuseAlpha", D3DTOP_BLENDDIFFUSEALPHA},
    {V::TexOp, "BlendTextureAlpha", D3DTOP_BLENDTEXTUREALPHA},
    {V::TexOp, "BlendFactorAlpha", D3DTOP_BLENDFACTORALPHA},
    {V::TexOp, "BlendTextureAlphaPM", D3DTOP_BLENDTEXTUREALPHAPM},
    {V::TexOp, "BlendCurrentAlpha", D3DTOP_BLENDCURRENTALPHA},
    {V::TexOp, "PreModulate", D3DTOP_PREMODULATE},
    {V::TexOp, "ModulateAlpha_AddColor", D3DTOP_MODULATEALPHA_ADDCOLOR},
    {V::TexOp, "ModulateColor_AddAlpha", D3DTOP_MODULATECOLOR_ADDALPHA},
    {V::TexOp, "ModulateInvAlpha_AddColor", D3DTOP_MODULATEINVALPHA_ADDCOLOR},
    {V::TexOp, "ModulateInvColor_AddAlpha", D3DTOP_MODULATEINVCOLOR_ADDALPHA},
    {V::TexOp, "BumpEnvMap", D3DTOP_BUMPENVMAP},
    {V::TexOp, "BumpEnvMapLuminance", D3DTOP_BUMPENVMAPLUMINANCE},
    {V::TexOp, "DotProduct3", D3DTOP_DOTPRODUCT3},
    {V::TexOp, "MultiplyAdd", D3DTOP_MULTIPLYADD},
    {V::TexOp, "Lerp", D3DTOP_LERP},
    {V::TexArg, "Diffuse", D3DTA_DIFFUSE},
    {V::TexArg, "Current", D3DTA_CURRENT},
    {V::TexArg, "Texture", D3DTA_TEXTURE},
    {V::TexArg, "TFactor", D3DTA_TFACTOR},
    {V::TexArg, "Specular", D3DTA_SPECULAR},
    {V::TexArg, "Temp", D3DTA_TEMP},
    {V::TexArg, "Constant", D3DTA_CONSTANT},
    {V::TexArg, "Complement", D3DTA_COMPLEMENT},
    {V::TexArg, "AlphaReplicate", D3DTA_ALPHAREPLICATE},
    {V::TexCoordIndex, "PassThru", D3DTSS_TCI_PASSTHRU},
    {V::TexCoordIndex, "CameraSpaceNormal", D3DTSS_TCI_CAMERASPACENORMAL},
    {V::TexCoordIndex, "CameraSpacePosition", D3DTSS_TCI_CAMERASPACEPOSITION},
    {V::TexCoordIndex, "CameraSpaceReflectionVector", D3DTSS_TCI_CAMERASPACEREFLECTIONVECTOR},
    {V::TexCoordIndex, "SphereMap", D3DTSS_TCI_SPHEREMAP},
    {V::TransformFlags, "Disable", D3DTTFF_DISABLE},
    {V::TransformFlags, "Count1", D3DTTFF_COUNT1},
    {V::TransformFlags, "Count2", D3DTTFF_COUNT2},
    {V::TransformFlags, "Count3", D3DTTFF_COUNT3},
    {V::TransformFlags, "Count4", D3DTTFF_COUNT4},
    {V::TransformFlags, "Projected", D3DTTFF_PROJECTED},
    {V::Fvf, "XYZ", D3DFVF_XYZ},
    {V::Fvf, "XYZRHW", D3DFVF_XYZRHW},
    {V::Fvf, "XYZW", D3DFVF_XYZW},
    {V::Fvf, "XYZB1", D3DFVF_XYZB1},
    {V::Fvf, "XYZB2", D3DFVF_XYZB2},
    {V::Fvf, "XYZB3", D3DFVF_XYZB3},
    {V::Fvf, "XYZB4", D3DFVF_XYZB4},
    {V::Fvf, "XYZB5", D3DFVF_XYZB5},
    {V::Fvf, "Normal", D3DFVF_NORMAL},
    {V::Fvf, "PSize", D3DFVF_PSIZE},
    {V::Fvf, "Diffuse", D3DFVF_DIFFUSE},
    {V::Fvf, "Specular", D3DFVF_SPECULAR},
    {V::Fvf, "Tex0", D3DFVF_TEX0},
    {V::Fvf, "Tex1", D3DFVF_TEX1},
    {V::Fvf, "Tex2", D3DFVF_TEX2},
    {V::Fvf, "Tex3", D3DFVF_TEX3},
    {V::Fvf, "Tex4", D3DFVF_TEX4},
    {V::Fvf, "Tex5", D3DFVF_TEX5},
    {V::Fvf, "Tex6", D3DFVF_TEX6},
    {V::Fvf, "Tex7", D3DFVF_TEX7},
    {V::Fvf, "Tex8", D3DFVF_TEX8},
    {V::Fvf, "LastBeta_UByte4", D3DFVF_LASTBETA_UBYTE4},
    {V::Fvf, "LastBeta_D3DColor", D3DFVF_LASTBETA_D3DCOLOR},
    {V::MaterialSource, "Material", D3DMCS_MATERIAL},
    {V::MaterialSource, "Color1", D3DMCS_COLOR1},
    {V::MaterialSource, "Color2", D3DMCS_COLOR2},
    {V::Fog, "None", D3DFOG_NONE},
    {V::Fog, "Exp", D3DFOG_EXP},
    {V::Fog, "Exp2", D3DFOG_EXP2},
    {V::Fog, "Linear", D3DFOG_LINEAR},
    {V::VertexBlend, "Disable", D3DVBF_DISABLE},
    {V::VertexBlend, "1Weights", D3DVBF_1WEIGHTS},
    {V::VertexBlend, "2Weights", D3DVBF_2WEIGHTS},
    {V::VertexBlend, "3Weights", D3DVBF_3WEIGHTS},
    {V::VertexBlend, "Tweening", D3DVBF_TWEENING},
    {V::VertexBlend, "0Weights", D3DVBF_0WEIGHTS},
    {V::ZBuffer, "UseW", D3DZB_USEW},
    {V::Wrap, "U", D3DWRAP_U},
    {V::Wrap, "V", D3DWRAP_V},
    {V::Wrap, "W", D3DWRAP_W},
    {V::Wrap, "Coord0", 1},
    {V::Wrap, "Coord1", 2},
    {V::Wrap, "Coord2", 4},
    {V::Wrap, "Coord3", 8},
    {V::LightType, "Point", D3DLIGHT_POINT},
    {V::LightType, "Spot", D3DLIGHT_SPOT},
    {V::LightType, "Directional", D3DLIGHT_DIRECTIONAL},
};

// Letters and digits alone, lower case: "CCW_StencilFunc" and
// "CcwStencilFunc" are the same state.
std::string squeezed(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != '_') out += char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

const StateInfo* find(const StateInfo* begin, const StateInfo* end, const std::string& name) {
  const std::string key = squeezed(name);
  for (const StateInfo* s = begin; s != end; ++s)
    if (squeezed(s->name) == key) return s;
  return nullptr;
}

bool isNumber(const std::string& t) {
  return !t.empty() && (std::isdigit(static_cast<unsigned char>(t[0])) || t[0] == '.' ||
                        t[0] == '-' || t[0] == '+');
}

// One name of the kind: as listed, or with a "D3DXXX_" prefix.
bool valueName(const std::string& word, Values kind, DWORD& value) {
  std::string w = squeezed(word);
  for (int pass = 0; pass < 2; ++pass) {
    for (const ValueName& v : kValueNames)
      if ((v.values == kind || (v.values == V::Bool && kind != V::Float && kind != V::Color)) &&
          squeezed(v.name) == w) {
        value = v.value;
        return true;
      }
    // "D3DBLEND_SRCALPHA", "D3DTOP_MODULATE", "D3DCOLORWRITEENABLE_RED".
    size_t underscore = word.find('_');
    if (pass == 1 || underscore == std::string::npos || squeezed(word.substr(0, 3)) != "d3d")
      return false;
    w = squeezed(word.substr(underscore + 1));
  }
  return false;
}

bool number(const std::string& text, Values kind, DWORD& value) {
  char* end = nullptr;
  if (kind == V::Float) {
    float f = std::strtof(text.c_str(), &end);
    std::memcpy(&value, &f, sizeof value);
  } else if (text.find_first_of(".eE") != std::string::npos && text.compare(0, 2, "0x") != 0) {
    value = DWORD(std::lround(std::strtod(text.c_str(), &end)));
  } else {
    value = DWORD(std::strtoll(text.c_str(), &end, 0));
  }
  return end && end != text.c_str() &&
         (*end == 0 || *end == 'f' || *end == 'F' || *end == 'h' || *end == 'H');
}

// A state's whole number from a float (a parameter's value, or what an
// expression came to): truncated, and held within the range a DWORD is
// written from, negative numbers as their two's complement (-1 sets every
// bit); NaN is 0. Converting a float beyond that range directly would be
// undefined.
DWORD wholeNumber(float f) {
  if (std::isnan(f)) return 0;
  return DWORD(int64_t(std::clamp(double(f), -2147483648.0, 4294967295.0)));
}

DWORD colourOf(const std::vector<float>& f) {
  auto c = [&](size_t i, float fallback) {
    float v = i < f.size() ? f[i] : fallback;
    return DWORD(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f));
  };
  return (c(3, 1.0f) << 24) | (c(0, 0.0f) << 16) | (c(1, 0.0f) << 8) | c(2, 0.0f);
}

D3DCOLORVALUE colourValue(const std::vector<float>& f) {
  auto at = [&](size_t i, float fallback) { return i < f.size() ? f[i] : fallback; };
  return {at(0, 0), at(1, 0), at(2, 0), at(3, 1)};
}

}  // namespace

const StateInfo* findPassState(const std::string& name) {
  if (const StateInfo* s = find(std::begin(kStates), std::end(kStates), name)) return s;
  return findSamplerState(name);
}

const StateInfo* findSamplerState(const std::string& name) {
  return find(std::begin(kSamplerStates), std::end(kSamplerStates), name);
}

bool parseStateValue(const std::vector<std::string>& tokens, Values kind, StateValue& out) {
  out = {};
  if (tokens.empty()) return false;
  // A parameter: "<name>" or "(name)".
  if (tokens.size() == 3 &&
      ((tokens[0] == "<" && tokens[2] == ">") || (tokens[0] == "(" && tokens[2] == ")")) &&
      !isNumber(tokens[1])) {
    DWORD ignored;
    if (tokens[0] == "<" || !valueName(tokens[1], kind, ignored)) {
      out.param = tokens[1];
      return true;
    }
  }
  if (tokens.size() == 6 &&
      ((tokens[0] == "<" && tokens[5] == ">") || (tokens[0] == "(" && tokens[5] == ")")) &&
      tokens[2] == "[" && tokens[4] == "]" && !isNumber(tokens[1]) && isNumber(tokens[3])) {
    out.param = tokens[1];
    out.element = int(std::strtol(tokens[3].c_str(), nullptr, 10));
    return out.element >= 0;
  }
  // A vector: "float4(1, 0, 0, 1)", "{1, 0, 0, 1}", also for a colour.
  std::vector<std::string> t = tokens;
  // "(float4(1, 0, 0, 1))": the constructor in brackets of its own.
  while (t.size() >= 5 && t.front() == "(" && t.back() == ")" && t[1].compare(0, 5, "float") == 0 &&
         t[2] == "(")
    t = std::vector<std::string>(t.begin() + 1, t.end() - 1);
  if (t.size() >= 2 && t[0].compare(0, 5, "float") == 0 && t[1] == "(") t.erase(t.begin());
  if (!t.empty() && (t[0] == "{" || t[0] == "(") &&
      (t.size() > 3 || kind == V::Vector || kind == V::Matrix)) {
    for (size_t i = 1; i + 1 < t.size(); ++i) {
      if (t[i] == ",") continue;
      std::string n = t[i];
      if ((n == "-" || n == "+") && i + 2 < t.size()) n += t[++i];
      char* end = nullptr;
      float f = std::strtof(n.c_str(), &end);
      if (end == n.c_str()) return false;
      out.floats.push_back(f);
    }
    if (kind == V::Color)
      out.value = colourOf(out.floats);
    else if (kind != V::Vector && kind != V::Matrix)
      return false;
    return true;
  }
  if (kind == V::Vector || kind == V::Matrix) {
    // A single number fills a vector (a light's colour as 1).
    DWORD ignored;
    if (tokens.size() != 1 || !number(tokens[0], V::Float, ignored)) return false;
    out.floats.push_back(std::strtof(tokens[0].c_str(), nullptr));
    return kind == V::Vector;
  }
  // Names and numbers, joined with '|', in brackets or not.
  size_t first = 0, last = tokens.size();
  while (last - first >= 3 && tokens[first] == "(" && tokens[last - 1] == ")") {
    ++first;
    --last;
  }
  std::string part;
  DWORD value = 0;
  bool any = false;
  auto takePart = [&]() {
    if (part.empty()) return false;
    DWORD v = 0;
    if (isNumber(part) ? !number(part, kind, v) : !valueName(part, kind, v)) return false;
    value |= v;
    any = true;
    part.clear();
    return true;
  };
  for (size_t i = first; i < last; ++i) {
    if (tokens[i] == "|") {
      if (!takePart()) return false;
    } else {
      part += tokens[i];
    }
  }
  if (!takePart() || !any) return false;
  out.value = value;
  return true;
}

StateValue valueFromFloats(const std::vector<float>& floats, Values kind) {
  StateValue v;
  v.floats = floats;
  float first = floats.empty() ? 0.0f : floats[0];
  if (kind == V::Float)
    std::memcpy(&v.value, &first, sizeof v.value);
  else if (kind == V::Color)
    v.value = floats.size() > 1 ? colourOf(floats) : wholeNumber(first);
  else
    v.value = wholeNumber(first);
  return v;
}

void applyState(IDirect3DDevice9* device, const StateInfo& s, DWORD index, const StateValue& v) {
  switch (s.target) {
    case T::Render:
      device->SetRenderState(D3DRENDERSTATETYPE(s.id), v.value);
      break;
    case T::Sampler:
      device->SetSamplerState(index, D3DSAMPLERSTATETYPE(s.id), v.value);
      break;
    case T::Stage:
      device->SetTextureStageState(index, D3DTEXTURESTAGESTATETYPE(s.id), v.value);
      break;
    case T::Transform: {
      D3DMATRIX m{};
      for (int i = 0; i < 16; ++i)
        m.m[i / 4][i % 4] =
            size_t(i) < v.floats.size() ? v.floats[size_t(i)] : (i % 5 == 0 ? 1.0f : 0.0f);
      D3DTRANSFORMSTATETYPE which = s.id == kWorld  ? D3DTS_WORLDMATRIX(index)
                                    : s.id == kView ? D3DTS_VIEW
                                    : s.id == kProjection
                                        ? D3DTS_PROJECTION
                                        : D3DTRANSFORMSTATETYPE(D3DTS_TEXTURE0 + index);
      device->SetTransform(which, &m);
      break;
    }
    case T::LightEnable:
      device->LightEnable(index, v.value != 0);
      break;
    case T::Light: {
      D3DLIGHT9 l{};
      if (device->GetLight(index, &l) != D3D_OK) {
        l = {};
        l.Type = D3DLIGHT_DIRECTIONAL;
        l.Diffuse = {1, 1, 1, 0};
        l.Direction = {0, 0, 1};
      }
      auto f = [&](size_t i) { return i < v.floats.size() ? v.floats[i] : 0.0f; };
      float scalar;
      std::memcpy(&scalar, &v.value, sizeof scalar);
      switch (s.id) {
        case kLightType:
          l.Type = D3DLIGHTTYPE(v.value);
          break;
        case kLightDiffuse:
          l.Diffuse = colourValue(v.floats);
          break;
        case kLightSpecular:
          l.Specular = colourValue(v.floats);
          break;
        case kLightAmbient:
          l.Ambient = colourValue(v.floats);
          break;
        case kLightPosition:
          l.Position = {f(0), f(1), f(2)};
          break;
        case kLightDirection:
          l.Direction = {f(0), f(1), f(2)};
          break;
        case kLightRange:
          l.Range = scalar;
          break;
        case kLightFalloff:
          l.Falloff = scalar;
          break;
        case kLightAttenuation0:
          l.Attenuation0 = scalar;
          break;
        case kLightAttenuation1:
          l.Attenuation1 = scalar;
          break;
        case kLightAttenuation2:
          l.Attenuation2 = scalar;
          break;
        case kLightTheta:
          l.Theta = scalar;
          break;
        default:
          l.Phi = scalar;
          break;
      }
      device->SetLight(index, &l);
      break;
    }
    case T::Fvf:
      device->SetFVF(v.value);
      break;
    case T::Material: {
      D3DMATERIAL9 m{};
      device->GetMaterial(&m);
      float scalar;
      std::memcpy(&scalar, &v.value, sizeof scalar);
      switch (s.id) {
        case kMaterialDiffuse:
          m.Diffuse = colourValue(v.floats);
          break;
        case kMaterialAmbient:
          m.Ambient = colourValue(v.floats);
          break;
        case kMaterialSpecular:
          m.Specular = colourValue(v.floats);
          break;
        case kMaterialEmissive:
          m.Emissive = colourValue(v.floats);
          break;
        default:
          m.Power = scalar;
          break;
      }
      device->SetMaterial(&m);
      break;
    }
  }
}

SavedState saveState(IDirect3DDevice9* device, const StateInfo& s, DWORD index) {
  SavedState saved{&s, index};
  switch (s.target) {
    case T::Render:
      device->GetRenderState(D3DRENDERSTATETYPE(s.id), &saved.value);
      break;
    case T::Sampler:
      device->GetSamplerState(index, D3DSAMPLERSTATETYPE(s.id), &saved.value);
      break;
    case T::Stage:
      device->GetTextureStageState(index, D3DTEXTURESTAGESTATETYPE(s.id), &saved.value);
      break;
    case T::Transform: {
      D3DTRANSFORMSTATETYPE which = s.id == kWorld  ? D3DTS_WORLDMATRIX(index)
                                    : s.id == kView ? D3DTS_VIEW
                                    : s.id == kProjection
                                        ? D3DTS_PROJECTION
                                        : D3DTRANSFORMSTATETYPE(D3DTS_TEXTURE0 + index);
      device->GetTransform(which, &saved.matrix);
      break;
    }
    case T::LightEnable: {
      BOOL on = FALSE;
      saved.had = device->GetLightEnable(index, &on) == D3D_OK;
      saved.value = on ? 1 : 0;
      break;
    }
    case T::Light:
      saved.had = device->GetLight(index, &saved.light) == D3D_OK;
      break;
    case T::Material:
      device->GetMaterial(&saved.material);
      break;
    case T::Fvf:
      device->GetFVF(&saved.value);
      break;
  }
  return saved;
}

void restoreState(IDirect3DDevice9* device, const SavedState& saved) {
  const StateInfo& s = *saved.state;
  switch (s.target) {
    case T::Transform: {
      StateValue v;
      for (int i = 0; i < 16; ++i) v.floats.push_back(saved.matrix.m[i / 4][i % 4]);
      applyState(device, s, saved.index, v);
      break;
    }
    case T::LightEnable:
      if (saved.had)
        device->LightEnable(saved.index, saved.value != 0);
      else
        device->LightEnable(saved.index, FALSE);
      break;
    case T::Light:
      // A light the pass made stays (Direct3D cannot take one away); it is
      // switched off below when its enable was saved.
      if (saved.had) device->SetLight(saved.index, &saved.light);
      break;
    case T::Material:
      device->SetMaterial(&saved.material);
      break;
    default: {
      StateValue v;
      v.value = saved.value;
      applyState(device, s, saved.index, v);
      break;
    }
  }
}

}  // namespace d3dx_fx
