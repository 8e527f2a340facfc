// Resource lookups over the program's resource table.
#include "platform/win32/Resources.h"

#include <strings.h>

#include <string>
#include <vector>

#include "platform/win32/ResourceTestSeams.h"

struct HRSRC__ {
  win32_resources::Entry entry;
};

namespace {

// The program's handle: any non-null value that names this module.
char gModuleTag;

bool sameName(LPCSTR a, LPCSTR b) {
  if (IS_INTRESOURCE(a) || IS_INTRESOURCE(b)) return a == b;
  // Names of resources are compared without regard to case.
  return strcasecmp(a, b) == 0;
}

// Overrides from the tests: replaced or hidden entries, searched first.
struct Override {
  const void* type;
  const void* name;
  bool hidden;
  std::string typeText, nameText;
  std::vector<unsigned char> bytes;
  HRSRC__ handle;
};
std::vector<Override*>& gOverrides = *new std::vector<Override*>;  // never destroyed

LPCSTR keyOf(const void* key, const std::string& text) {
  return IS_INTRESOURCE(key) ? LPCSTR(key) : text.c_str();
}

// The table's entries get handles of their own, made once.
std::vector<HRSRC__>& tableHandles() {
  static std::vector<HRSRC__>& handles = *[] {
    auto* made = new std::vector<HRSRC__>;
    size_t count = 0;
    const win32_resources::Entry* entries = win32_resources::programResources(count);
    for (size_t i = 0; i < count; ++i) made->push_back({entries[i]});
    return made;
  }();
  return handles;
}

}  // namespace

HINSTANCE GetModuleHandleA(LPCSTR moduleName) { return moduleName ? nullptr : &gModuleTag; }

HRSRC FindResourceA(HINSTANCE module, LPCSTR name, LPCSTR type) {
  if (module && module != &gModuleTag) return nullptr;
  if (!name || !type) return nullptr;
  for (Override* o : gOverrides) {
    if (sameName(keyOf(o->type, o->typeText), type) && sameName(keyOf(o->name, o->nameText), name))
      return o->hidden ? nullptr : &o->handle;
  }
  for (HRSRC__& handle : tableHandles())
    if (sameName(handle.entry.type, type) && sameName(handle.entry.name, name)) return &handle;
  return nullptr;
}

HGLOBAL LoadResource(HINSTANCE module, HRSRC resource) {
  // The bytes are part of the program: loading only hands them out.
  if (!resource) return nullptr;
  return HGLOBAL(resource->entry.data);
}

DWORD SizeofResource(HINSTANCE module, HRSRC resource) {
  return resource ? resource->entry.size : 0;
}

LPVOID LockResource(HGLOBAL loaded) { return loaded; }

namespace resource_test {

void replaceResource(LPCSTR name, LPCSTR type, const std::vector<unsigned char>& bytes) {
  auto* o = new Override{
      type,  name, false, IS_INTRESOURCE(type) ? "" : type, IS_INTRESOURCE(name) ? "" : name,
      bytes, {}};
  o->handle.entry = {keyOf(o->type, o->typeText), keyOf(o->name, o->nameText), LANG_ENGLISH_US,
                     o->bytes.empty() ? nullptr : o->bytes.data(), DWORD(o->bytes.size())};
  gOverrides.insert(gOverrides.begin(), o);
}

void hideResource(LPCSTR name, LPCSTR type) {
  auto* o = new Override{
      type, name, true, IS_INTRESOURCE(type) ? "" : type, IS_INTRESOURCE(name) ? "" : name, {}, {}};
  gOverrides.insert(gOverrides.begin(), o);
}

void restoreResources() {
  for (Override* o : gOverrides) delete o;
  gOverrides.clear();
}

}  // namespace resource_test
