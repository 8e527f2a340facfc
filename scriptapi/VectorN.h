// The script type vectorN: an array of floats that either owns its elements
// or aliases a buffer that host code lends to a script callback.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/d3d9/D3D9Types.h"

namespace AngelScript {
class asIScriptEngine;
}
class RegistrationSum;

// The buffer a host lends to a script callback. It is shared by every copy
// of the host's vectorN, so that once the host takes the buffer back, copies
// that a script kept see an empty storage instead of freed memory.
struct VectorNAlias {
  float* data;
  size_t length;
};

class VectorN {
 public:
  // No elements, no alias.
  VectorN() = default;
  // n elements of 0.0; none for a negative n or one above 2^26 (logged).
  explicit VectorN(int n);
  // Host side: a value that aliases buffer[0..length). Every copy made from
  // it reads and writes the buffer. When this value is destroyed, the alias
  // is revoked for all copies (also when a script has assigned the value
  // itself over meanwhile), so the host destroys it before freeing the
  // buffer.
  VectorN(float* buffer, size_t length);
  ~VectorN();

  // Copies the source's elements and shares its alias. The right to revoke
  // a lent buffer stays with the host-made value.
  VectorN& operator=(const VectorN& source);
  VectorN(const VectorN& source) { *this = source; }

  // The floats that the accessors read and write: the alias while one is
  // set (empty once it has been revoked), the elements otherwise.
  float* storage() const;
  size_t length() const;

  // Host access to the owned elements (ignored by the accessors while an
  // alias is set).
  std::vector<float>& elements() { return elements_; }
  bool hasAlias() const { return alias_ != nullptr; }

  // The script methods. An access that would touch a float outside the
  // storage (an index, count or length out of range, or a revoked alias)
  // changes nothing, reads 0.0 and is logged.
  void set(int i, float value);
  void set3(int i, float x, float y, float z);
  void set4(int i, float x, float y, float z, float w);
  float get(int i) const;
  void setVector3(int i, const D3DVECTOR& v);
  // Out of range, out becomes (0, 0, 0).
  void getVector3(int i, D3DVECTOR& out) const;
  // Copies storage[src..src+n) to storage[dst..dst+n); the ranges may overlap.
  void copyN(int src, int dst, int n);

 private:
  // The count floats from first on, when they all lie within the storage;
  // null otherwise, after logging the refused access.
  float* span(const char* method, long long first, long long count) const;

  std::vector<float> elements_;
  std::shared_ptr<VectorNAlias> alias_;
  // Set only on the host-made value: the buffer it lent, revoked when the
  // value goes. Assignment leaves it alone: copies made before a script
  // assigns over the host's value still reach the buffer until the host
  // takes it back.
  std::shared_ptr<VectorNAlias> lent_;
};

// Registers the type vectorN (already declared as an object type) into the
// engine.
void registerVectorN(AngelScript::asIScriptEngine* engine, RegistrationSum& r);
