#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/TQSmartPointer.h"

namespace {

// An object that counts its destructions.
struct Tracked {
  explicit Tracked(int* destroyed) : destroyed(destroyed) {}
  ~Tracked() { ++*destroyed; }
  int* destroyed;
};

// An interface object in the manner of a COM object: Release is counted.
struct Releasable {
  int releases = 0;
  void Release() { ++releases; }
};

using TrackedHandle = TQSmartPointer<Tracked, DeleteDestruct<Tracked>>;
using ReleaseHandle = TQSmartPointer<Releasable, DXReleaseDestruct<Releasable>>;
using NullHandle = TQSmartPointer<int, NullDestruct<int>>;

// A handle attached the way a factory does: to a count cell the caller keeps.
template <class Handle, class T>
void attachTo(Handle& handle, T* object, std::int32_t* cell, bool owns = true) {
  handle.attach(object, cell, owns);
}

TEST(Handles, AssigningToTheSameObjectChangesNoCount) {
  int destroyed = 0;
  std::int32_t cell = 0;
  TrackedHandle a;
  attachTo(a, new Tracked(&destroyed), &cell);
  TrackedHandle b(a);
  ASSERT_EQ(cell, 2);
  a = a;  // self
  EXPECT_EQ(cell, 2);
  a = b;  // another handle of the same object
  b.assign(a);
  EXPECT_EQ(cell, 2);
  EXPECT_EQ(destroyed, 0);
}

TEST(Handles, AssigningEmptyToTheOnlyHandleDestroysAndEmptiesIt) {
  int destroyed = 0;
  std::int32_t cell = 0;
  {
    TrackedHandle a;
    attachTo(a, new Tracked(&destroyed), &cell);
    a = TrackedHandle();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(cell, 0);
    EXPECT_EQ(a.object, nullptr);
    EXPECT_EQ(a.count, nullptr);
    EXPECT_FALSE(a.owns);
  }
  EXPECT_EQ(destroyed, 1);  // its destructor does nothing more
}

TEST(Handles, AssigningAnotherObjectDestroysTheOldOneOnceAndSharesTheNew) {
  int destroyedX = 0, destroyedY = 0;
  std::int32_t cellX = 0, cellY = 0;
  auto b = std::make_unique<TrackedHandle>();
  attachTo(*b, new Tracked(&destroyedY), &cellY);
  {
    TrackedHandle a;
    attachTo(a, new Tracked(&destroyedX), &cellX);
    a = *b;
    EXPECT_EQ(destroyedX, 1);
    EXPECT_EQ(cellY, 2);
    EXPECT_EQ(a.object, b->object);
  }
  EXPECT_EQ(cellY, 1);
  EXPECT_EQ(destroyedY, 0);
  // Now the other way round: the assigned handle is the last one.
  auto a = std::make_unique<TrackedHandle>();
  *a = *b;
  b.reset();
  EXPECT_EQ(destroyedY, 0);
  a.reset();
  EXPECT_EQ(destroyedY, 1);
  EXPECT_EQ(destroyedX, 1);
}

TEST(Handles, HandlesWithoutObjectsButWithDifferentCountsDoNotChange) {
  std::int32_t cellA = 0, cellB = 0;
  ReleaseHandle a, b;
  attachTo<ReleaseHandle, Releasable>(a, nullptr, &cellA);
  attachTo<ReleaseHandle, Releasable>(b, nullptr, &cellB);
  a = b;
  EXPECT_EQ(a.count, &cellA);
  EXPECT_EQ(cellA, 1);
  EXPECT_EQ(cellB, 1);
}

TEST(Handles, LastReleaseAppliesThePolicyOnlyToAnOwnedObject) {
  Releasable device;
  std::int32_t cell = 0;
  {
    ReleaseHandle owned;
    attachTo(owned, &device, &cell);
    ReleaseHandle copy(owned);
    EXPECT_TRUE(copy.owns);
  }
  EXPECT_EQ(device.releases, 1);
  EXPECT_EQ(cell, 0);

  {  // not owning: the count reaches zero, nothing is released
    ReleaseHandle borrowed;
    attachTo(borrowed, &device, &cell, false);
    ReleaseHandle copy(borrowed);
    EXPECT_FALSE(copy.owns);
  }
  EXPECT_EQ(device.releases, 1);
  EXPECT_EQ(cell, 0);

  {  // a failed creation: counted and owning, but no object to release
    ReleaseHandle failed;
    attachTo<ReleaseHandle, Releasable>(failed, nullptr, &cell);
  }
  EXPECT_EQ(cell, 0);

  int value = 7;
  {  // NullDestruct never destroys
    NullHandle shared;
    attachTo(shared, &value, &cell);
  }
  EXPECT_EQ(value, 7);
}

TEST(Handles, CopiesAndClonesOfEmptyHandlesStayEmpty) {
  TrackedHandle empty;
  TrackedHandle copy(empty);
  EXPECT_EQ(copy.object, nullptr);
  EXPECT_EQ(copy.count, nullptr);
  EXPECT_FALSE(copy.owns);
  std::unique_ptr<TQSmartPointerAbstract> clone(empty.clone());
  auto* typed = dynamic_cast<TrackedHandle*>(clone.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->object, nullptr);
  EXPECT_EQ(typed->count, nullptr);
}

TEST(Handles, CloneSharesObjectCountAndOwnership) {
  int destroyed = 0;
  std::int32_t cell = 0;
  TrackedHandle a;
  attachTo(a, new Tracked(&destroyed), &cell, true);
  std::unique_ptr<TQSmartPointerAbstract> clone(a.clone());
  auto* typed = dynamic_cast<TrackedHandle*>(clone.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->object, a.object);
  EXPECT_EQ(typed->count, &cell);
  EXPECT_TRUE(typed->owns);
  EXPECT_EQ(cell, 2);
  a = TrackedHandle();
  EXPECT_EQ(destroyed, 0);
  clone.reset();  // deleted through the abstract interface
  EXPECT_EQ(destroyed, 1);
}

TEST(Handles, AssignThroughTheInterfaceRefusesAnotherInstantiation) {
  int destroyed = 0, value = 1;
  std::int32_t cellA = 0, cellB = 0;
  TrackedHandle a;
  attachTo(a, new Tracked(&destroyed), &cellA);
  NullHandle other;
  attachTo(other, &value, &cellB);
  TQSmartPointerAbstract& asAbstract = a;
  EXPECT_FALSE(asAbstract.assign(other));
  EXPECT_EQ(a.count, &cellA);
  EXPECT_EQ(cellA, 1);
  EXPECT_EQ(cellB, 1);
  EXPECT_EQ(destroyed, 0);

  TQSmartPointerTyped<char> text;
  EXPECT_FALSE(text.assign(a));
  EXPECT_EQ(text.count, nullptr);
}

TEST(Handles, TextHandleAlwaysFreesItsTextAtTheLastRelease) {
  std::int32_t cell = 0;
  char* text = new char[6];
  std::strcpy(text, "hello");
  auto first = std::make_unique<TQSmartPointerTyped<char>>();
  first->attach(text, &cell, false);  // the owning flag is ignored
  std::unique_ptr<TQSmartPointerAbstract> clone(first->clone());
  EXPECT_EQ(cell, 2);
  TQSmartPointerTyped<char> third;
  EXPECT_TRUE(third.assign(*clone));
  EXPECT_EQ(cell, 3);
  EXPECT_STREQ(third.object, "hello");
  first.reset();
  clone.reset();
  EXPECT_EQ(cell, 1);
  // `third` frees the text when it goes; the sanitizer build reports a leak
  // otherwise.
}

}  // namespace
