#include "platform/d3d9/D3D9TestSeams.h"

#include <climits>

#include "platform/d3d9/CallLog.h"
#include "platform/d3d9/Device.h"
#include "platform/d3d9/GLPipeline.h"
#include "platform/d3d9/Surface.h"

namespace d3d9 {

bool gCallLogEnabled = false;
bool gFrameCaptureEnabled = false;
bool gFailDirect3DCreate = false;
int gFailDeviceCreations = 0;
HRESULT gFailDeviceCreationResult = D3DERR_NOTAVAILABLE;
DWORD gFailRenderState = 0;
int gFailStreamWaits = 0;

namespace {
std::vector<std::string> gCallLog;
d3d9_test::Frame gLastFrame;
int gPresentCount = 0;
std::vector<d3d9_test::DeviceCreation> gDeviceCreations;
}  // namespace

void recordDeviceCreation(const d3d9_test::DeviceCreation& creation) {
  gDeviceCreations.push_back(creation);
}

void appendCallLog(std::string line) { gCallLog.push_back(std::move(line)); }

void storePresentedFrame(d3d9_test::Frame frame) {
  // Counted in every run, not only under test: held at its top rather than
  // overflowing in a show that presents for months.
  if (gPresentCount < INT_MAX) ++gPresentCount;
  if (gFrameCaptureEnabled) gLastFrame = std::move(frame);
}

}  // namespace d3d9

namespace d3d9_test {

void setFrameCaptureEnabled(bool enabled) { d3d9::gFrameCaptureEnabled = enabled; }
const Frame& lastPresentedFrame() { return d3d9::gLastFrame; }
int presentCount() { return d3d9::gPresentCount; }

Frame readRenderTarget(IDirect3DDevice9* device) {
  auto* ours = dynamic_cast<d3d9::Device*>(device);
  if (!ours) return {};
  IDirect3DSurface9* target = nullptr;
  if (FAILED(ours->GetRenderTarget(0, &target))) return {};
  Frame frame = readSurface(target);
  target->Release();
  return frame;
}

Frame readSurface(IDirect3DSurface9* surface) {
  auto* ours = dynamic_cast<d3d9::Surface*>(surface);
  if (!ours) return {};
  IDirect3DDevice9* device = nullptr;
  ours->GetDevice(&device);
  Frame frame = static_cast<d3d9::Device*>(device)->gl().read(ours);
  device->Release();
  return frame;
}

long liveResourceCount() { return d3d9::gLiveResources.load(); }

size_t programCount(IDirect3DDevice9* device) {
  auto* ours = dynamic_cast<d3d9::Device*>(device);
  return ours ? ours->gl().drawPipeline().programCount() : 0;
}

void setCallLogEnabled(bool enabled) { d3d9::gCallLogEnabled = enabled; }
const std::vector<std::string>& callLog() { return d3d9::gCallLog; }
void clearCallLog() { d3d9::gCallLog.clear(); }

const std::vector<DeviceCreation>& deviceCreations() { return d3d9::gDeviceCreations; }
void failDirect3DCreate(bool fail) { d3d9::gFailDirect3DCreate = fail; }
void failDeviceCreations(int count, HRESULT why) {
  d3d9::gFailDeviceCreations = count;
  d3d9::gFailDeviceCreationResult = why;
}
void failRenderState(DWORD state) { d3d9::gFailRenderState = state; }
void failStreamWaits(int count) { d3d9::gFailStreamWaits = count; }

void reset() {
  d3d9::gDeviceCreations.clear();
  d3d9::gFailDirect3DCreate = false;
  d3d9::gFailDeviceCreations = 0;
  d3d9::gFailRenderState = 0;
  d3d9::gFailStreamWaits = 0;
  d3d9::gCallLogEnabled = false;
  d3d9::gFrameCaptureEnabled = false;
  d3d9::gCallLog.clear();
  d3d9::gLastFrame = {};
  d3d9::gPresentCount = 0;
}

}  // namespace d3d9_test
