// Frame hierarchies from X files, with skin information and the animation
// controller of the file's first animation set.
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/d3dx/Counted.h"
#include "platform/d3dx/D3DXSkin.h"
#include "platform/d3dx/MeshInternal.h"
#include "platform/d3dx/XFile.h"

namespace {

bool typeIs(const xfile::Object& o, const char* type) {
  return strcasecmp(o.type.c_str(), type) == 0;
}

// --- animation ---------------------------------------------------------------

template <typename T>
struct Key {
  double time;
  T value;
};

struct Track {
  D3DXFRAME* frame;
  D3DXMATRIX rest;  // the frame's matrix from the file
  // `rest` taken apart (see splitRest), for the kinds of key a track lacks.
  D3DXVECTOR3 restScale;
  D3DXMATRIX restRotation;
  std::vector<Key<D3DXQUATERNION>> rotation;
  std::vector<Key<D3DXVECTOR3>> scale, position;
  std::vector<Key<D3DXMATRIX>> matrix;
};

// Takes the frame's matrix apart into a scale along its rows and the
// rotation left when that scale is divided out; a mirroring matrix gives a
// negative x scale, so that the rotation stays a rotation. A row of length
// zero keeps the axis it stands on.
void splitRest(Track& track) {
  const D3DXMATRIX& m = track.rest;
  D3DXMatrixIdentity(&track.restRotation);
  float s[3];
  for (int r = 0; r < 3; ++r)
    s[r] = std::sqrt(m.m[r][0] * m.m[r][0] + m.m[r][1] * m.m[r][1] + m.m[r][2] * m.m[r][2]);
  const float det = m._11 * (m._22 * m._33 - m._23 * m._32) -
                    m._12 * (m._21 * m._33 - m._23 * m._31) +
                    m._13 * (m._21 * m._32 - m._22 * m._31);
  if (det < 0) s[0] = -s[0];
  for (int r = 0; r < 3; ++r) {
    if (!(std::fabs(s[r]) > 1e-12f) || !std::isfinite(s[r])) continue;
    for (int c = 0; c < 3; ++c) track.restRotation.m[r][c] = m.m[r][c] / s[r];
  }
  track.restScale = D3DXVECTOR3(s[0], s[1], s[2]);
}

// The two keys around `t` and how far between them it lies; the first or
// last key alone outside their range.
template <typename T>
void around(const std::vector<Key<T>>& keys, double t, const T*& a, const T*& b, float& s) {
  std::size_t i = 0;
  while (i + 1 < keys.size() && keys[i + 1].time <= t) ++i;
  a = b = &keys[i].value;
  s = 0;
  if (i + 1 < keys.size() && t > keys[i].time) {
    b = &keys[i + 1].value;
    s = float((t - keys[i].time) / (keys[i + 1].time - keys[i].time));
  }
}

// A vector track at `t`: its keys around `t`, blended linearly.
D3DXVECTOR3 vectorAt(const std::vector<Key<D3DXVECTOR3>>& keys, double t) {
  const D3DXVECTOR3 *a, *b;
  float s;
  around(keys, t, a, b, s);
  D3DXVECTOR3 v;
  D3DXVec3Lerp(&v, a, b, s);
  return v;
}

class AnimationController final : public d3dx_com::Counted<ID3DXAnimationController> {
 public:
  AnimationController(std::vector<Track> tracks, double ticksPerSecond)
      : tracks_(std::move(tracks)), ticksPerSecond_(ticksPerSecond) {
    for (const Track& track : tracks_) {
      auto last = [&](const auto& keys) {
        if (!keys.empty()) period_ = std::max(period_, keys.back().time);
      };
      last(track.rotation);
      last(track.scale);
      last(track.position);
      last(track.matrix);
    }
  }

  HRESULT AdvanceTime(double timeDelta, ID3DXAnimationCallbackHandler*) override {
    if (!std::isfinite(timeDelta)) return D3DERR_INVALIDCALL;
    time_ += timeDelta;
    pose();
    return D3D_OK;
  }
  double GetTime() override { return time_; }
  HRESULT ResetTime() override {
    time_ = 0;
    return D3D_OK;
  }

 private:
  ~AnimationController() override = default;

  // The pose at the current time, the set looping over its last key.
  void pose() {
    double t = time_ * ticksPerSecond_;
    if (period_ > 0) {
      t = std::fmod(t, period_);
      if (t < 0) t += period_;
    }
    for (Track& track : tracks_) {
      D3DXMATRIX& out = track.frame->TransformationMatrix;
      if (!track.matrix.empty()) {
        const D3DXMATRIX *a, *b;
        float s;
        around(track.matrix, t, a, b, s);
        out = *a * (1 - s) + *b * s;
        continue;
      }
      // A kind of key the track lacks keeps the frame's own part of it.
      D3DXMATRIX scale, rotation, translation;
      if (!track.scale.empty()) {
        const D3DXVECTOR3 v = vectorAt(track.scale, t);
        D3DXMatrixScaling(&scale, v.x, v.y, v.z);
      } else if (!track.rotation.empty()) {
        D3DXMatrixScaling(&scale, track.restScale.x, track.restScale.y, track.restScale.z);
      } else {
        D3DXMatrixIdentity(&scale);
      }
      if (!track.rotation.empty()) {
        const D3DXQUATERNION *a, *b;
        float s;
        around(track.rotation, t, a, b, s);
        D3DXQUATERNION q;
        D3DXQuaternionSlerp(&q, a, b, s);
        D3DXMatrixRotationQuaternion(&rotation, &q);
      } else if (track.scale.empty()) {
        // Neither animated: the file's own scale and rotation stay as
        // they are, shear included.
        rotation = track.rest;
        rotation._41 = rotation._42 = rotation._43 = 0;
      } else {
        rotation = track.restRotation;
      }
      if (!track.position.empty()) {
        const D3DXVECTOR3 v = vectorAt(track.position, t);
        D3DXMatrixTranslation(&translation, v.x, v.y, v.z);
      } else {
        D3DXMatrixTranslation(&translation, track.rest._41, track.rest._42, track.rest._43);
      }
      out = scale * rotation * translation;
    }
  }

  std::vector<Track> tracks_;
  double ticksPerSecond_;
  double period_ = 0;
  double time_ = 0;
};

// The keys of one AnimationKey object. Key types: 0 rotation (w, x, y, z),
// 1 scale, 2 position, 3 and 4 a whole matrix (exporters differ on the
// number). A rotation key holds the conjugate of the quaternion whose
// row-vector matrix the frame takes: a track's first key, read that way,
// gives back the frame's own matrix, as the files' writers store them.
// A key whose value count does not fit its type, or whose time runs back
// before the key ahead of it, is left out; data that ends early keeps the
// keys read before it. An unknown type adds nothing.
void readKeys(const xfile::Object& key, Track& track) {
  const std::vector<double>& n = key.numbers;
  if (n.size() < 2) return;
  const double type = n[0];
  static const int kWidth[5] = {4, 3, 3, 16, 16};
  if (!(type >= 0 && type <= 4) || type != std::floor(type)) return;
  const int width = kWidth[int(type)];
  const double count = n[1];
  std::size_t i = 2;
  double previous = -1e300;
  for (double k = 0; k < count && n.size() - i >= 2; ++k) {
    const double time = n[i], values = n[i + 1];
    i += 2;
    if (!(values >= 0 && values <= double(n.size() - i)) || values != std::floor(values)) return;
    const std::size_t at = i;
    i += std::size_t(values);
    if (values != width || !std::isfinite(time) || time < previous) continue;
    previous = time;
    float v[16];
    for (int c = 0; c < width; ++c) v[c] = float(n[at + std::size_t(c)]);
    switch (int(type)) {
      case 0:  // stored w, x, y, z, turned the other way
        track.rotation.push_back({time, D3DXQUATERNION(-v[1], -v[2], -v[3], v[0])});
        break;
      case 1:
        track.scale.push_back({time, D3DXVECTOR3(v[0], v[1], v[2])});
        break;
      case 2:
        track.position.push_back({time, D3DXVECTOR3(v[0], v[1], v[2])});
        break;
      default:
        track.matrix.push_back({time, D3DXMATRIX(v)});
        break;
    }
  }
}

// --- hierarchy ---------------------------------------------------------------

class Loader {
 public:
  Loader(const xfile::Document& document, DWORD options, IDirect3DDevice9* device,
         ID3DXAllocateHierarchy* allocator)
      : document_(document), options_(options), device_(device), allocator_(allocator) {}

  // A frame for `object` (a Frame, or a Mesh standing alone) with its
  // containers and children.
  HRESULT frame(const xfile::Object& object, int depth, D3DXFRAME** out) {
    *out = nullptr;
    if (depth > 200) return E_FAIL;
    const bool isFrame = typeIs(object, "Frame");
    D3DXFRAME* made = nullptr;
    HRESULT hr = allocator_->CreateFrame(isFrame ? object.name.c_str() : "", &made);
    if (FAILED(hr)) return hr;
    if (!made) return E_FAIL;
    *out = made;
    made->pMeshContainer = nullptr;
    made->pFrameSibling = made->pFrameFirstChild = nullptr;
    D3DXMatrixIdentity(&made->TransformationMatrix);
    if (!isFrame) return container(object, made);
    made->TransformationMatrix = d3dx_mesh::frameTransform(object);
    D3DXFRAME** nextChild = &made->pFrameFirstChild;
    for (const xfile::Object& child : object.children) {
      if (child.isReference()) {
        // A mesh defined elsewhere, placed in this frame too.
        if (const xfile::Object* mesh = d3dx_mesh::referencedMesh(document_, child))
          hr = container(*mesh, made);
      } else if (typeIs(child, "Mesh")) {
        hr = container(child, made);
      } else if (typeIs(child, "Frame")) {
        hr = frame(child, depth + 1, nextChild);
        if (*nextChild) nextChild = &(*nextChild)->pFrameSibling;
      }
      if (FAILED(hr)) return hr;
    }
    return D3D_OK;
  }

 private:
  // Builds the mesh of `object` and hands it to the allocator; the new
  // container goes to the end of the frame's chain.
  HRESULT container(const xfile::Object& object, D3DXFRAME* owner) {
    d3dx_mesh::LoadedMesh loaded;
    std::string error;
    if (!d3dx_mesh::buildMesh(document_, object, loaded, error)) return E_FAIL;
    // A mesh without a triangle (no faces, or only points and lines) makes
    // no container: writers leave such meshes on helper frames, and the
    // rest of the file loads around them.
    if (loaded.data.indices.empty()) return D3D_OK;
    // Containers keep an FVF: allocators of frame hierarchies (the skinned
    // mesh's among them) refuse meshes without one, and one refused
    // container fails the whole load. Their meshes are blended and drawn by
    // the fixed-function pipeline, which reads no tangents.
    d3dx_mesh::dropExtraElements(loaded.data);
    ID3DXMesh* mesh = nullptr;
    HRESULT hr = d3dx_mesh::makeMesh(device_, options_, loaded.data, loaded.attributes, &mesh);
    if (FAILED(hr)) return hr;
    std::unique_ptr<ID3DXMesh, void (*)(ID3DXMesh*)> meshHold(mesh,
                                                              [](ID3DXMesh* m) { m->Release(); });

    ID3DXSkinInfo* skin = nullptr;
    if (!loaded.skin.empty()) {
      hr = D3DXCreateSkinInfoFVF(mesh->GetNumVertices(), mesh->GetFVF(), DWORD(loaded.skin.size()),
                                 &skin);
      if (FAILED(hr)) return hr;
      // The file's vertices map to the mesh's, copies included.
      std::vector<std::vector<DWORD>> meshVerticesOf(loaded.fileVertexOf.size());
      for (DWORD v = 0; v < loaded.fileVertexOf.size(); ++v)
        meshVerticesOf[loaded.fileVertexOf[v]].push_back(v);
      for (DWORD b = 0; b < loaded.skin.size(); ++b) {
        const d3dx_mesh::LoadedSkinWeights& bone = loaded.skin[b];
        skin->SetBoneName(b, bone.bone.c_str());
        skin->SetBoneOffsetMatrix(b, &bone.offset);
        std::vector<DWORD> vertices;
        std::vector<float> weights;
        for (std::size_t i = 0; i < bone.vertices.size(); ++i)
          for (DWORD v : meshVerticesOf[bone.vertices[i]]) {
            vertices.push_back(v);
            weights.push_back(bone.weights[i]);
          }
        skin->SetBoneInfluence(b, DWORD(vertices.size()), vertices.data(), weights.data());
      }
    }
    std::unique_ptr<ID3DXSkinInfo, void (*)(ID3DXSkinInfo*)> skinHold(skin, [](ID3DXSkinInfo* s) {
      if (s) s->Release();
    });

    std::vector<D3DXMATERIAL> materials(loaded.materials.size());
    for (std::size_t i = 0; i < materials.size(); ++i) {
      materials[i].MatD3D = loaded.materials[i].material;
      materials[i].pTextureFilename = loaded.materials[i].texture.empty()
                                          ? nullptr
                                          : const_cast<char*>(loaded.materials[i].texture.c_str());
    }
    std::vector<D3DXEFFECTINSTANCE> effects(materials.size(), D3DXEFFECTINSTANCE{});
    std::vector<DWORD> adjacency(loaded.data.indices.size());
    d3dx_mesh::adjacency(loaded.data, 0.0f, adjacency.data());
    D3DXMESHDATA data{D3DXMESHTYPE_MESH, mesh};
    D3DXMESHCONTAINER* made = nullptr;
    hr = allocator_->CreateMeshContainer(object.name.c_str(), &data,
                                         materials.empty() ? nullptr : materials.data(),
                                         effects.empty() ? nullptr : effects.data(),
                                         DWORD(materials.size()), adjacency.data(), skin, &made);
    if (FAILED(hr)) return hr;
    if (!made) return E_FAIL;
    made->pNextMeshContainer = nullptr;
    D3DXMESHCONTAINER** end = &owner->pMeshContainer;
    while (*end) end = &(*end)->pNextMeshContainer;
    *end = made;
    return D3D_OK;
  }

  const xfile::Document& document_;
  DWORD options_;
  IDirect3DDevice9* device_;
  ID3DXAllocateHierarchy* allocator_;
};

void collectAnimationSets(const std::vector<xfile::Object>& objects,
                          std::vector<const xfile::Object*>& out) {
  for (const xfile::Object& o : objects)
    if (typeIs(o, "AnimationSet")) out.push_back(&o);
}

}  // namespace

HRESULT D3DXLoadMeshHierarchyFromXInMemory(const void* memory, DWORD size, DWORD options,
                                           IDirect3DDevice9* device,
                                           ID3DXAllocateHierarchy* allocator,
                                           ID3DXLoadUserData* userDataLoader,
                                           D3DXFRAME** frameHierarchy,
                                           ID3DXAnimationController** animController) {
  if (animController) *animController = nullptr;
  if (!frameHierarchy) return D3DERR_INVALIDCALL;
  *frameHierarchy = nullptr;
  if (!memory || size == 0 || !device || !allocator || userDataLoader) return D3DERR_INVALIDCALL;

  xfile::Document document;
  std::string error;
  if (!xfile::parse(memory, size, document, error)) return E_FAIL;

  // Top-level frames and meshes become a chain of sibling frames.
  Loader loader(document, options, device, allocator);
  D3DXFRAME* root = nullptr;
  D3DXFRAME** next = &root;
  const std::vector<const xfile::Object*> placed = d3dx_mesh::meshesPlacedByReference(document);
  for (const xfile::Object& object : document.objects) {
    if (!typeIs(object, "Frame") && !typeIs(object, "Mesh")) continue;
    if (typeIs(object, "Mesh") && std::binary_search(placed.begin(), placed.end(), &object))
      continue;
    const HRESULT hr = loader.frame(object, 0, next);
    if (FAILED(hr)) {
      if (root) D3DXFrameDestroy(root, allocator);
      return hr;
    }
    if (*next) next = &(*next)->pFrameSibling;
  }
  if (!root) return E_FAIL;

  // The first animation set that names frames of the hierarchy.
  std::vector<const xfile::Object*> sets;
  collectAnimationSets(document.objects, sets);
  double ticksPerSecond = 4800;
  for (const xfile::Object& o : document.objects)
    if (typeIs(o, "AnimTicksPerSecond") && !o.numbers.empty() && o.numbers[0] > 0 &&
        std::isfinite(o.numbers[0]))
      ticksPerSecond = o.numbers[0];
  for (const xfile::Object* set : sets) {
    std::vector<Track> tracks;
    for (const xfile::Object& child : set->children) {
      // An animation in the set, or one defined elsewhere that it names.
      const xfile::Object* animation =
          child.isReference() ? xfile::findReferenced(document, child, "Animation") : &child;
      if (!animation || !typeIs(*animation, "Animation")) continue;
      Track track{};
      for (const xfile::Object& part : animation->children) {
        if (part.isReference() && !track.frame) {
          // The animated frame, by name or through the frame object the
          // reference stands for.
          std::string name = part.name;
          if (const xfile::Object* frame = xfile::findReferenced(document, part, "Frame"))
            name = frame->name;
          track.frame = D3DXFrameFind(root, name.c_str());
        } else if (typeIs(part, "AnimationKey")) {
          readKeys(part, track);
        }
      }
      if (track.frame) {
        track.rest = track.frame->TransformationMatrix;
        splitRest(track);
        tracks.push_back(std::move(track));
      }
    }
    if (tracks.empty()) continue;
    if (animController)
      *animController = new AnimationController(std::move(tracks), ticksPerSecond);
    break;
  }
  *frameHierarchy = root;
  return D3D_OK;
}

HRESULT D3DXFrameDestroy(D3DXFRAME* root, ID3DXAllocateHierarchy* allocator) {
  if (!root || !allocator) return D3DERR_INVALIDCALL;
  // Iterative over siblings, recursive over children (bounded by the
  // loader's nesting limit).
  while (root) {
    D3DXFRAME* sibling = root->pFrameSibling;
    if (root->pFrameFirstChild) D3DXFrameDestroy(root->pFrameFirstChild, allocator);
    D3DXMESHCONTAINER* container = root->pMeshContainer;
    while (container) {
      D3DXMESHCONTAINER* after = container->pNextMeshContainer;
      allocator->DestroyMeshContainer(container);
      container = after;
    }
    allocator->DestroyFrame(root);
    root = sibling;
  }
  return D3D_OK;
}

D3DXFRAME* D3DXFrameFind(const D3DXFRAME* root, LPCSTR name) {
  for (const D3DXFRAME* frame = root; frame; frame = frame->pFrameSibling) {
    if (frame->Name && name && std::strcmp(frame->Name, name) == 0)
      return const_cast<D3DXFRAME*>(frame);
    if (!frame->Name && !name) return const_cast<D3DXFRAME*>(frame);
    if (D3DXFRAME* found = D3DXFrameFind(frame->pFrameFirstChild, name)) return found;
  }
  return nullptr;
}
