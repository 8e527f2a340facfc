// The device's creation and shutdown, presentation and the frame calls. State setters
// are in DeviceSetters.cpp, resource calls in DeviceResources.cpp, drawing
// in DeviceDraw.cpp.
#include "platform/d3d9/Device.h"

#include <SDL2/SDL.h>

#include <cstring>

#include "platform/d3d9/CallLog.h"
#include "platform/d3d9/IndexBuffer.h"
#include "platform/d3d9/Resource.h"
#include "platform/d3d9/Surface.h"
#include "platform/d3d9/TextureStorage.h"
#include "platform/d3d9/VertexBuffer.h"
#include "platform/d3d9/VertexDeclaration.h"

namespace d3d9 {

namespace {
// The device whose context is current.
Device* gCurrentDevice = nullptr;
}  // namespace

void retainDevice(Device* device) { device->AddRef(); }
void releaseDevice(Device* device) { device->Release(); }

namespace {

bool isBackBufferFormat(D3DFORMAT format) {
  switch (format) {
    case D3DFMT_X8R8G8B8:
    case D3DFMT_A8R8G8B8:
    case D3DFMT_R5G6B5:
    case D3DFMT_X1R5G5B5:
    case D3DFMT_A1R5G5B5:
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation and lifetime

Device::Device(IDirect3D9* direct3d, std::unique_ptr<platform_gl::GLContext> context,
               const D3DPRESENT_PARAMETERS& parameters, DWORD behaviourFlags)
    : direct3d(direct3d),
      context(std::move(context)),
      backend(std::make_unique<GLBackend>()),
      parameters(parameters),
      behaviourFlags(behaviourFlags) {
  direct3d->AddRef();
}

Device* Device::create(IDirect3D9* direct3d, HWND window, DWORD behaviourFlags,
                       const D3DPRESENT_PARAMETERS& requested, std::string& error) {
  D3DPRESENT_PARAMETERS parameters = requested;
  if (!parameters.hDeviceWindow) parameters.hDeviceWindow = window;
  HWND target = parameters.hDeviceWindow;
  // A windowed device without a size takes the window's.
  if (parameters.Windowed && target) {
    if (parameters.BackBufferWidth == 0) parameters.BackBufferWidth = UINT(target->width);
    if (parameters.BackBufferHeight == 0) parameters.BackBufferHeight = UINT(target->height);
  }
  if (parameters.BackBufferFormat == D3DFMT_UNKNOWN && parameters.Windowed)
    parameters.BackBufferFormat = D3DFMT_X8R8G8B8;
  if (parameters.BackBufferWidth == 0 || parameters.BackBufferHeight == 0 ||
      parameters.BackBufferWidth > 16384 || parameters.BackBufferHeight > 16384) {
    error = "the back buffer has no usable size";
    return nullptr;
  }
  if (!isBackBufferFormat(parameters.BackBufferFormat)) {
    error = "the back buffer format is not supported";
    return nullptr;
  }
  if (parameters.EnableAutoDepthStencil) {
    const FormatInfo* depth = formatInfo(parameters.AutoDepthStencilFormat);
    if (!depth || !depth->depth) {
      error = "the depth buffer format is not supported";
      return nullptr;
    }
  }
  if (!(behaviourFlags &
        (D3DCREATE_HARDWARE_VERTEXPROCESSING | D3DCREATE_SOFTWARE_VERTEXPROCESSING |
         D3DCREATE_MIXED_VERTEXPROCESSING))) {
    error = "no vertex processing was chosen";
    return nullptr;
  }

  if (target && target->sdlWindow && !parameters.Windowed) {
    // Full screen is a borderless window over the whole desktop; the back
    // buffer is fitted into it when presented. The window is sized by hand
    // rather than through the window manager's full-screen state, which
    // needs a window manager to take effect.
    SDL_Window* w = target->sdlWindow;
    SDL_DisplayMode desktop;
    int display = SDL_GetWindowDisplayIndex(w);
    if (SDL_GetDesktopDisplayMode(display < 0 ? 0 : display, &desktop) == 0) {
      SDL_SetWindowBordered(w, SDL_FALSE);
      SDL_SetWindowPosition(w, 0, 0);
      SDL_SetWindowSize(w, desktop.w, desktop.h);
      SDL_RaiseWindow(w);
      target->x = target->y = 0;
      target->width = desktop.w;
      target->height = desktop.h;
    }
  }
  std::unique_ptr<platform_gl::GLContext> context =
      platform_gl::GLContext::create(target ? target->sdlWindow : nullptr, error);
  if (!context) return nullptr;

  Device* device = new Device(direct3d, std::move(context), parameters, behaviourFlags);
  if (!device->init(error)) {
    device->Release();
    return nullptr;
  }
  return device;
}

bool Device::init(std::string& error) {
  gCurrentDevice = this;  // the new context was made current
  if (!backend->init(error)) return false;
  const D3DPRESENT_PARAMETERS& p = parameters;
  backBufferSurface = new Surface(this, Surface::Kind::RenderTarget, p.BackBufferWidth,
                                  p.BackBufferHeight, p.BackBufferFormat, D3DPOOL_DEFAULT, true);
  if (!backBufferSurface->valid()) {
    error = "cannot make the back buffer";
    return false;
  }
  if (p.EnableAutoDepthStencil) {
    autoDepthSurface =
        new Surface(this, Surface::Kind::DepthStencil, p.BackBufferWidth, p.BackBufferHeight,
                    p.AutoDepthStencilFormat, D3DPOOL_DEFAULT, true);
    if (!autoDepthSurface->valid()) {
      error = "cannot make the depth buffer";
      return false;
    }
  }
  state.setDefaults(p.BackBufferWidth, p.BackBufferHeight, p.EnableAutoDepthStencil);
  state.renderTarget = backBufferSurface;
  state.depthStencil = autoDepthSurface;
  state.softwareVertexProcessing = (behaviourFlags & D3DCREATE_SOFTWARE_VERTEXPROCESSING) != 0;
  context->setSwapInterval(p.PresentationInterval == D3DPRESENT_INTERVAL_IMMEDIATE ? 0 : 1);
  // Clear everything once so that nothing undefined is ever shown.
  Clear(0, nullptr, D3DCLEAR_TARGET | (autoDepthSurface ? D3DCLEAR_ZBUFFER : 0), 0, 1.0f, 0);
  return true;
}

void Device::releaseBindings() {
  for (int stage = 0; stage < D3DMAX_SAMPLERS; ++stage) {
    if (TextureStorage* storage = state.textureStorages[stage]) storage->counter->unbind();
    state.textures[stage] = nullptr;
    state.textureStorages[stage] = nullptr;
  }
  if (state.stream) state.stream->unbind();
  state.stream = nullptr;
  if (state.indices) state.indices->unbind();
  state.indices = nullptr;
  if (state.renderTarget) state.renderTarget->unbindSurface();
  state.renderTarget = nullptr;
  for (Surface*& target : state.moreTargets) {
    if (target) target->unbindSurface();
    target = nullptr;
  }
  if (state.declaration) state.declaration->unbind();
  state.declaration = nullptr;
  state.input = nullptr;
  if (state.depthStencil) state.depthStencil->unbindSurface();
  state.depthStencil = nullptr;
}

Device::~Device() {
  // Hold ourselves while the bound resources go: they may release us.
  references = 1u << 30;
  activate();
  releaseBindings();
  delete backBufferSurface;
  delete autoDepthSurface;
  backend.reset();
  context.reset();
  gCurrentDevice = nullptr;
  direct3d->Release();
}

ULONG Device::AddRef() { return ++references; }

ULONG Device::Release() {
  ULONG left = --references;
  if (left == 0) delete this;
  return left;
}

void Device::activate() {
  if (gCurrentDevice == this) return;
  context->makeCurrent();
  gCurrentDevice = this;
}

void Device::forgetBuffer(GLuint buffer) {
  activate();
  backend->forgetBuffer(buffer);
}

void Device::forgetSurface(Surface* surface) {
  activate();
  backend->forgetSurface(surface);
}

void Device::forgetTexture(GLuint texture) {
  activate();
  backend->forgetTexture(texture);
}

// ---------------------------------------------------------------------------
// Device and presentation

HRESULT Device::TestCooperativeLevel() { return D3D_OK; }

UINT Device::GetAvailableTextureMem() { return 512u * 1024u * 1024u; }

HRESULT Device::GetDirect3D(IDirect3D9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  *out = direct3d;
  direct3d->AddRef();
  return D3D_OK;
}

HRESULT Device::GetDeviceCaps(D3DCAPS9* caps) {
  if (!caps) return D3DERR_INVALIDCALL;
  std::memset(caps, 0, sizeof *caps);
  caps->DeviceType = D3DDEVTYPE_HAL;
  caps->PresentationIntervals = D3DPRESENT_INTERVAL_IMMEDIATE | D3DPRESENT_INTERVAL_ONE;
  caps->MaxTextureWidth = caps->MaxTextureHeight = 8192;
  caps->MaxTextureRepeat = 8192;
  caps->MaxTextureAspectRatio = 8192;
  caps->MaxAnisotropy = 16;
  caps->MaxVertexW = 1e10f;
  caps->GuardBandLeft = caps->GuardBandTop = -1e8f;
  caps->GuardBandRight = caps->GuardBandBottom = 1e8f;
  caps->MaxTextureBlendStages = D3DMAX_TEXTURE_STAGES;
  caps->MaxSimultaneousTextures = D3DMAX_TEXTURE_STAGES;
  caps->MaxActiveLights = D3DMAX_ACTIVE_LIGHTS;
  caps->MaxUserClipPlanes = kClipPlanes;
  caps->MaxVertexBlendMatrices = D3DMAX_WORLD_MATRICES;
  caps->MaxVertexBlendMatrixIndex = 0;
  caps->MaxPointSize = 256.0f;
  caps->MaxPrimitiveCount = 0xffffff;
  caps->MaxVertexIndex = 0xffffff;
  caps->MaxStreams = 1;
  caps->MaxStreamStride = 255;
  caps->FVFCaps = D3DMAX_TEXTURE_STAGES;  // texture coordinate sets
  caps->NumSimultaneousRTs = D3D_MAX_SIMULTANEOUS_RENDERTARGETS;
  caps->DeclTypes = D3DDTCAPS_UBYTE4 | D3DDTCAPS_UBYTE4N | D3DDTCAPS_SHORT2N | D3DDTCAPS_SHORT4N |
                    D3DDTCAPS_USHORT2N | D3DDTCAPS_USHORT4N | D3DDTCAPS_UDEC3 | D3DDTCAPS_DEC3N |
                    D3DDTCAPS_FLOAT16_2 | D3DDTCAPS_FLOAT16_4;
  caps->MasterAdapterOrdinal = 0;
  caps->NumberOfAdaptersInGroup = 1;
  return D3D_OK;
}

HRESULT Device::GetDisplayMode(UINT swapChain, D3DDISPLAYMODE* mode) {
  if (!mode || swapChain != 0) return D3DERR_INVALIDCALL;
  mode->Width = parameters.BackBufferWidth;
  mode->Height = parameters.BackBufferHeight;
  mode->RefreshRate = 60;
  mode->Format = parameters.BackBufferFormat;
  return D3D_OK;
}

HRESULT Device::Reset(D3DPRESENT_PARAMETERS*) {
  logCall("Reset");
  return D3DERR_INVALIDCALL;
}

HRESULT Device::Present(const RECT*, const RECT*, HWND, const void*) {
  logCall("Present");
  activate();
  int width = 0, height = 0;
  context->drawableSize(width, height);
  if (width > 0 && height > 0) {
    backend->present(backBufferSurface, width, height, !parameters.Windowed);
    context->swap();
  } else if (context->headless()) {
    // Nothing to show, but the frame still ends here: without the bounded
    // queue of a swap chain the caller would run ahead of the GPU and pile
    // up frames (and the memory they hold) without limit.
    context->swap();
  }
  storePresentedFrame(gFrameCaptureEnabled ? backend->read(backBufferSurface) : d3d9_test::Frame{});
  return D3D_OK;
}

HRESULT Device::GetBackBuffer(UINT swapChain, UINT index, D3DBACKBUFFER_TYPE,
                              IDirect3DSurface9** out) {
  if (!out) return D3DERR_INVALIDCALL;
  *out = nullptr;
  if (swapChain != 0 || index != 0) return D3DERR_INVALIDCALL;
  *out = backBufferSurface;
  backBufferSurface->AddRef();
  return D3D_OK;
}

// ---------------------------------------------------------------------------
// Frame

HRESULT Device::BeginScene() {
  logCall("BeginScene");
  if (inScene) return D3DERR_INVALIDCALL;
  inScene = true;
  return D3D_OK;
}

HRESULT Device::EndScene() {
  logCall("EndScene");
  if (!inScene) return D3DERR_INVALIDCALL;
  inScene = false;
  return D3D_OK;
}

HRESULT Device::Clear(DWORD count, const D3DRECT* rects, DWORD flags, D3DCOLOR color, float z,
                      DWORD stencil) {
  logCall("Clear", count, rects, flags, Hex{color}, z, stencil);
  if ((flags & (D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL)) && !state.depthStencil)
    return D3DERR_INVALIDCALL;
  if ((flags & D3DCLEAR_STENCIL) &&
      !(state.depthStencil->info && state.depthStencil->info->stencil))
    return D3DERR_INVALIDCALL;
  if (count > 0 && !rects) return D3DERR_INVALIDCALL;
  if (z < 0.0f || z > 1.0f) return D3DERR_INVALIDCALL;
  activate();
  backend->clear(state, count, rects, flags, color, z, stencil);
  return D3D_OK;
}

}  // namespace d3d9
