// Reference-counted resource handles.
//
// A handle carries a pointer to its object and a pointer to a count that all
// handles of that object share. The count lives where the resource was
// registered (a resource store entry, or a count cell that a factory
// allocated); no handle ever frees it. The handle whose release brings the
// count to zero destroys the object through its destruction policy, when it
// owns the object.
#pragma once

#include <cstdint>

// The interface through which the resource store attaches, shares and copies
// handles of any resource type. Virtual operations in this order: destructor,
// assign, attach, clone.
class TQSmartPointerAbstract {
 public:
  virtual ~TQSmartPointerAbstract() {}

  // Shares the object of `other`, which must be a handle of the same
  // instantiation. Answers false, and changes nothing, when it is not.
  virtual bool assign(const TQSmartPointerAbstract& other) = 0;

  // Stores object, count and owning flag and adds one to the count. Meant for
  // empty handles: a reference held before is not dropped. `count` must not
  // be null.
  virtual void attach(void* object, std::int32_t* count, bool owns) = 0;

  // A new heap handle of the same instantiation sharing this one's object;
  // the caller deletes it through the virtual destructor.
  virtual TQSmartPointerAbstract* clone() const = 0;
};

// Destruction policies: what the last owning release does to the object.
// None of them is ever applied to a null object.
template <class T>
struct DXReleaseDestruct {
  static void destroy(T* object) { object->Release(); }
};

template <class T>
struct DeleteDestruct {
  static void destroy(T* object) { delete object; }
};

template <class T>
struct NullDestruct {
  static void destroy(T*) {}
};

// The handle of the resource types: object, count and whether the last
// release destroys the object (the flag travels with every copy).
template <class T, class Destruct>
class TQSmartPointer : public TQSmartPointerAbstract {
 public:
  T* object = nullptr;
  std::int32_t* count = nullptr;
  bool owns = false;

  TQSmartPointer() {}

  TQSmartPointer(const TQSmartPointer& other)
      : object(other.object), count(other.count), owns(other.owns) {
    if (count) ++*count;
  }

  ~TQSmartPointer() override {
    release();
    object = nullptr;
    count = nullptr;
    owns = false;
  }

  bool assign(const TQSmartPointerAbstract& other) override {
    const TQSmartPointer* same = dynamic_cast<const TQSmartPointer*>(&other);
    if (!same) return false;
    *this = *same;
    return true;
  }

  void attach(void* newObject, std::int32_t* newCount, bool newOwns) override {
    object = static_cast<T*>(newObject);
    count = newCount;
    owns = newOwns;
    ++*count;
  }

  TQSmartPointerAbstract* clone() const override { return new TQSmartPointer(*this); }

  // Shares the other handle's object. Handles of one object (or two handles
  // without an object) change nothing, counts included.
  TQSmartPointer& operator=(const TQSmartPointer& other) {
    if (object == other.object) return *this;
    release();
    object = other.object;
    count = other.count;
    owns = other.owns;
    if (count) ++*count;
    return *this;
  }

 private:
  // Drops this handle's reference; fields are left for the caller to replace.
  void release() {
    if (!count) return;
    if (--*count == 0 && owns && object) Destruct::destroy(object);
  }
};

// The handle of a text buffer (new[]-allocated, NUL-terminated). It has no
// owning flag: the last release always frees the text. Its users build it
// empty, let the resource store attach it and destroy it when done; it is
// not copied by value.
template <class T>
class TQSmartPointerTyped : public TQSmartPointerAbstract {
 public:
  T* object = nullptr;
  std::int32_t* count = nullptr;

  TQSmartPointerTyped() {}
  TQSmartPointerTyped(const TQSmartPointerTyped&) = delete;
  TQSmartPointerTyped& operator=(const TQSmartPointerTyped&) = delete;

  ~TQSmartPointerTyped() override {
    release();
    object = nullptr;
    count = nullptr;
  }

  bool assign(const TQSmartPointerAbstract& other) override {
    const TQSmartPointerTyped* same = dynamic_cast<const TQSmartPointerTyped*>(&other);
    if (!same) return false;
    if (object == same->object) return true;
    release();
    object = same->object;
    count = same->count;
    if (count) ++*count;
    return true;
  }

  // The owning flag is ignored: the text is always freed at the last release.
  void attach(void* newObject, std::int32_t* newCount, bool) override {
    object = static_cast<T*>(newObject);
    count = newCount;
    ++*count;
  }

  TQSmartPointerAbstract* clone() const override {
    TQSmartPointerTyped* copy = new TQSmartPointerTyped;
    copy->object = object;
    copy->count = count;
    if (count) ++*count;
    return copy;
  }

 private:
  void release() {
    if (!count) return;
    if (--*count == 0) delete[] object;
  }
};
