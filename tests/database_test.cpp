#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/TQDatabase.h"
#include "platform/file/FileSystem.h"
#include "tests/StoreFixture.h"

namespace {

using LooseStore = ScratchFolder;

std::string uniqueKey(const std::string& name, int counter) {
  return name + "_" + std::to_string(counter);
}

int openDescriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST_F(LooseStore, SharedLoadsReadOnceAndShareOneObject) {
  write("a.txt", "alpha");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  ResourceHandle first, second;
  std::string error;
  ASSERT_TRUE(store.load("a.txt", handler, first, 0, error));
  EXPECT_EQ(error, "");
  error = "kept";
  ASSERT_TRUE(store.load("a.txt", handler, second, 0, error));
  EXPECT_EQ(error, "kept");
  EXPECT_EQ(handler.loads, 1);
  EXPECT_EQ(second.object, first.object);
  EXPECT_EQ(first.object->bytes, "alpha");
  // The store's own handle and the two callers'.
  EXPECT_EQ(store.entries.at("a.txt").count, 3);
  EXPECT_EQ(store.entries.at("a.txt").size, 5);
}

TEST_F(LooseStore, SharedObjectsLiveUntilTheStoreGoes) {
  write("a.txt", "alpha");
  TrackedHandler handler;
  {
    TQDatabaseFilesystem store;
    {
      ResourceHandle handle;
      std::string error;
      ASSERT_TRUE(store.load("a.txt", handler, handle, 0, error));
    }
    EXPECT_EQ(handler.destroyed, 0);
    EXPECT_EQ(store.entries.at("a.txt").count, 1);
  }
  EXPECT_EQ(handler.destroyed, 1);
}

TEST_F(LooseStore, UniqueLoadsMakePrivateObjectsUnderCountedKeys) {
  write("a.txt", "alpha");
  write("b.txt", "beta");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  const int start = TQDatabaseFilesystem::uniqueCounter;
  const int packedStart = TQDatabasePackedFile::uniqueCounter;
  std::string error;
  {
    ResourceHandle a1, b, a2;
    ASSERT_TRUE(store.load("a.txt", handler, a1, kLoadUniqueInstance, error));
    ASSERT_TRUE(store.load("b.txt", handler, b, kLoadUniqueInstance, error));
    ASSERT_TRUE(store.load("a.txt", handler, a2, kLoadUniqueInstance, error));
    EXPECT_EQ(handler.loads, 3);
    EXPECT_NE(a1.object, a2.object);
    // One counter for all names of this store kind.
    EXPECT_TRUE(store.exists(uniqueKey("a.txt", start)));
    EXPECT_TRUE(store.exists(uniqueKey("b.txt", start + 1)));
    EXPECT_TRUE(store.exists(uniqueKey("a.txt", start + 2)));
    EXPECT_FALSE(store.exists("a.txt"));
    EXPECT_EQ(store.entries.at(uniqueKey("a.txt", start)).count, 1);
    EXPECT_EQ(store.entries.at(uniqueKey("a.txt", start)).holder, nullptr);
    EXPECT_EQ(TQDatabasePackedFile::uniqueCounter, packedStart);
  }
  // Each went with its last handle; the entries stay with count 0.
  EXPECT_EQ(handler.destroyed, 3);
  EXPECT_EQ(store.entries.at(uniqueKey("a.txt", start)).count, 0);
  EXPECT_EQ(store.entries.size(), 3u);
}

// A show that makes a unique instance at every scene start (or every frame)
// runs for hours: the cache keeps what is shared and what is still held, not
// one entry for every instance that has come and gone.
TEST_F(LooseStore, ReleasedUniqueInstancesDoNotPileUpInTheCache) {
  write("a.txt", "alpha");
  write("b.txt", "beta");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  std::string error;
  {
    ResourceHandle shared;  // released at once: the store's own handle keeps it
    ASSERT_TRUE(store.load("b.txt", handler, shared, 0, error));
  }
  ResourceHandle held;
  ASSERT_TRUE(store.load("a.txt", handler, held, kLoadUniqueInstance, error));
  const int heldKey = TQDatabaseFilesystem::uniqueCounter - 1;
  for (int i = 0; i < 50; ++i) {
    ResourceHandle passing;
    ASSERT_TRUE(store.load("a.txt", handler, passing, kLoadUniqueInstance, error));
    // The shared text, the held instance and this one.
    ASSERT_EQ(store.entries.size(), 3u) << "load " << i;
    EXPECT_EQ(passing.object->bytes, "alpha");
  }
  EXPECT_EQ(handler.destroyed, 50);
  EXPECT_EQ(store.entries.at(uniqueKey("a.txt", heldKey)).count, 1);
  EXPECT_EQ(held.object->bytes, "alpha");
  EXPECT_EQ(store.entries.at("b.txt").count, 1);
  // Shared entries stay whatever their count; the last passing instance
  // goes at the next unique load, of any name.
  write("c.txt", "gamma");
  ResourceHandle sharedA, c;
  ASSERT_TRUE(store.load("a.txt", handler, sharedA, 0, error));
  ASSERT_TRUE(store.load("c.txt", handler, c, kLoadUniqueInstance, error));
  EXPECT_TRUE(store.exists("a.txt"));
  EXPECT_TRUE(store.exists("b.txt"));
  EXPECT_TRUE(store.exists(uniqueKey("a.txt", heldKey)));
  EXPECT_FALSE(store.exists(uniqueKey("a.txt", heldKey + 50)));
  EXPECT_EQ(store.entries.size(), 4u);
}

TEST_F(LooseStore, UniqueLoadOfACachedNameSharesAndSharedLoadAfterUniqueReadsAgain) {
  write("a.txt", "alpha");
  write("b.txt", "beta");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  std::string error;
  ResourceHandle shared, uniqueOfShared, unique, sharedAfter;
  ASSERT_TRUE(store.load("a.txt", handler, shared, 0, error));
  const int counter = TQDatabaseFilesystem::uniqueCounter;
  ASSERT_TRUE(store.load("a.txt", handler, uniqueOfShared, kLoadUniqueInstance, error));
  EXPECT_EQ(uniqueOfShared.object, shared.object);
  EXPECT_EQ(TQDatabaseFilesystem::uniqueCounter, counter);
  EXPECT_EQ(store.entries.size(), 1u);

  ASSERT_TRUE(store.load("b.txt", handler, unique, kLoadUniqueInstance, error));
  ASSERT_TRUE(store.load("b.txt", handler, sharedAfter, 0, error));
  EXPECT_NE(sharedAfter.object, unique.object);
  EXPECT_TRUE(store.exists("b.txt"));
  EXPECT_EQ(handler.loads, 3);
}

struct FailureCase {
  const char* label;
  const char* name;
  const char* message;
};

class LooseStoreFailures : public ScratchFolder, public testing::WithParamInterface<FailureCase> {};

// Nothing is cached, the handle stays empty, no counter moves.
TEST_P(LooseStoreFailures, FailWithTheirMessageAndCacheNothing) {
  write("empty.txt", "");
  std::filesystem::create_directory("folder");
  const FailureCase c = GetParam();
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  const int counter = TQDatabaseFilesystem::uniqueCounter;
  for (std::uint32_t flags : {0u, kLoadUniqueInstance}) {
    ResourceHandle handle;
    std::string error = "old text";
    EXPECT_FALSE(store.load(c.name, handler, handle, flags, error));
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(handle.count, nullptr);
  }
  EXPECT_TRUE(store.entries.empty());
  EXPECT_EQ(handler.loads, 0);
  EXPECT_EQ(TQDatabaseFilesystem::uniqueCounter, counter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LooseStoreFailures,
    testing::Values(
        FailureCase{"EmptyName", "", "TQDatabaseFilesystem - Cannot open empty filename "},
        FailureCase{"Missing", "missing.txt",
                    "TQDatabaseFilesystem - Cannot open filename: missing.txt"},
        FailureCase{"Folder", "folder", "TQDatabaseFilesystem - Cannot open filename: folder"},
        FailureCase{"ZeroBytes", "empty.txt", "TQDatabaseFilesystem - Empty file: empty.txt"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.label); });

// Whether a folder reports a size depends on its file system (tmpfs refuses
// the seek to the end, ext4 reports a huge size): a folder is never a file.
TEST_F(LooseStore, FolderCannotBeOpenedOnAnyFileSystem) {
  std::vector<std::string> folders = {(folder / "here").string()};
  char pattern[] = "/dev/shm/engine-store-XXXXXX";
  if (std::filesystem::is_directory("/dev/shm") && mkdtemp(pattern)) folders.push_back(pattern);
  std::filesystem::create_directory(folders.front());
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  for (const std::string& name : folders) {
    ResourceHandle handle;
    std::string error;
    EXPECT_FALSE(store.load(name, handler, handle, 0, error));
    EXPECT_EQ(error, "TQDatabaseFilesystem - Cannot open filename: " + name);
  }
  EXPECT_TRUE(store.entries.empty());
  for (std::size_t i = 1; i < folders.size(); ++i) std::filesystem::remove(folders[i]);
}

// Reading opens files and folders only, whatever the name leads to; what it
// opens reads as usual (the descriptor blocks again), what it refuses comes
// back at once with its descriptor closed. Other modes open as fopen does.
TEST_F(LooseStore, OpenFileTakesFilesAndFoldersForReading) {
  std::filesystem::create_directories("sub");
  write("a.txt", "alpha");
  write("sub/b.txt", "beta");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  std::filesystem::create_symlink("pipe", "to-pipe");
  std::filesystem::create_symlink("a.txt", "to-file");
  const struct {
    const char* name;
    const char* mode;
    int error;  // 0: opens
    const char* bytes;
  } cases[] = {
      {"a.txt", "rb", 0, "alpha"},
      {"a.txt", "r", 0, "alpha"},
      {"sub\\b.txt", "rb", 0, "beta"},
      {"to-file", "rb", 0, "alpha"},
      {"sub", "rb", 0, ""},
      {"a.txt", "r+b", 0, "alpha"},
      {"new.txt", "wb", 0, ""},
      {"pipe", "rb", EINVAL, nullptr},
      {"to-pipe", "rb", EINVAL, nullptr},
      {"/dev/zero", "rb", EINVAL, nullptr},
      {"/dev/null", "r", EINVAL, nullptr},
      {"missing.txt", "rb", ENOENT, nullptr},
      {"missing\\a.txt", "rb", ENOENT, nullptr},
  };
  const int before = openDescriptors();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " " << c.mode);
    errno = 0;
    FILE* file = openFile(c.name, c.mode);
    if (c.error) {
      EXPECT_EQ(file, nullptr);
      EXPECT_EQ(errno, c.error);
      if (file) std::fclose(file);
      continue;
    }
    ASSERT_NE(file, nullptr) << std::strerror(errno);
    EXPECT_EQ(fcntl(fileno(file), F_GETFL) & O_NONBLOCK, 0);
    std::string bytes;
    char chunk[64];
    std::size_t got;
    if (c.mode[0] == 'r')
      while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
    EXPECT_EQ(bytes, c.bytes);
    std::fclose(file);
  }
  EXPECT_TRUE(std::filesystem::is_regular_file("new.txt"));
  EXPECT_EQ(openDescriptors(), before);
}

// A name that turns from a file into a pipe while it is being opened: the
// kind is that of what was opened, so a read either gets the file or is
// refused, and never waits for the pipe's writer. The pipe gets a writer
// now and then, which would hand a waiting open the pipe as a stream.
TEST_F(LooseStore, OpenFileNeverHandsOutAPipeSwappedInUnderTheName) {
  write("a.txt", "alpha");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  std::filesystem::create_symlink("a.txt", "name");
  std::atomic<bool> done{false};
  std::thread swapper([&done] {
    for (bool pipe = true; !done.load(); pipe = !pipe) {
      std::filesystem::remove("next");
      std::filesystem::create_symlink(pipe ? "pipe" : "a.txt", "next");
      std::filesystem::rename("next", "name");
      const int writer = open("pipe", O_RDWR | O_NONBLOCK);
      if (writer >= 0) close(writer);
    }
  });
  int pipes = 0, wrongErrors = 0;
  for (int i = 0; i < 4000; ++i) {
    errno = 0;
    if (FILE* file = openFile("name", "rb")) {
      struct stat st;
      if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) ++pipes;
      std::fclose(file);
    } else if (errno != EINVAL) {
      ++wrongErrors;
    }
  }
  done = true;
  swapper.join();
  EXPECT_EQ(pipes, 0);
  EXPECT_EQ(wrongErrors, 0);
}

TEST_F(LooseStore, RefusedLoadIsCachedAndLaterSharedWithoutError) {
  write("bad.bin", "junk");
  TrackedHandler handler;
  handler.refuseLoad = true;
  TQDatabaseFilesystem store;
  ResourceHandle first, second;
  std::string error;
  EXPECT_FALSE(store.load("bad.bin", handler, first, 0, error));
  EXPECT_EQ(error, "refused by handler");
  ASSERT_NE(first.object, nullptr);  // the refused object is attached all the same
  EXPECT_TRUE(store.exists("bad.bin"));
  std::string secondError;
  EXPECT_TRUE(store.load("bad.bin", handler, second, 0, secondError));
  EXPECT_EQ(secondError, "");
  EXPECT_EQ(second.object, first.object);
  EXPECT_EQ(handler.loads, 1);
}

TEST_F(LooseStore, KeysAreTheNamesAsGivenWhateverTheWorkingDirectory) {
  std::filesystem::create_directories("one");
  std::filesystem::create_directories("two");
  write("one/tex.png", "first");
  write("two/tex.png", "second");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  std::string error;
  ResourceHandle fromOne, fromTwo, dotted;
  std::filesystem::current_path(folder / "one");
  ASSERT_TRUE(store.load("tex.png", handler, fromOne, 0, error));
  std::filesystem::current_path(folder / "two");
  ASSERT_TRUE(store.load("tex.png", handler, fromTwo, 0, error));
  EXPECT_EQ(fromTwo.object->bytes, "first");  // the cached one
  ASSERT_TRUE(store.load("./tex.png", handler, dotted, 0, error));
  EXPECT_EQ(dotted.object->bytes, "second");  // another key, read again
  EXPECT_EQ(handler.loads, 2);
}

TEST_F(LooseStore, BackslashNamesReachTheFileSystemAsFolders) {
  std::filesystem::create_directories("data");
  write("data/a.txt", "alpha");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  ResourceHandle handle;
  std::string error;
  ASSERT_TRUE(store.load("data\\a.txt", handler, handle, 0, error)) << error;
  EXPECT_TRUE(store.exists("data\\a.txt"));
  EXPECT_FALSE(store.exists("data/a.txt"));
}

TEST_F(LooseStore, ExistsAnswersForCacheKeysOnly) {
  write("a.txt", "alpha");
  write("never.txt", "never loaded");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  ResourceHandle handle;
  std::string error;
  const int counter = TQDatabaseFilesystem::uniqueCounter;
  ASSERT_TRUE(store.load("a.txt", handler, handle, kLoadUniqueInstance, error));
  EXPECT_TRUE(store.exists(uniqueKey("a.txt", counter)));
  EXPECT_FALSE(store.exists("never.txt"));
}

// A generated key names an entry without a shared object: loads of it fail
// instead of sharing a missing handle.
TEST_F(LooseStore, LoadOfAGeneratedKeyFailsWithAnErrorText) {
  write("a.txt", "alpha");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  ResourceHandle unique, other;
  std::string error;
  const int counter = TQDatabaseFilesystem::uniqueCounter;
  ASSERT_TRUE(store.load("a.txt", handler, unique, kLoadUniqueInstance, error));
  const std::string key = uniqueKey("a.txt", counter);
  EXPECT_FALSE(store.load(key, handler, other, 0, error));
  EXPECT_EQ(error, "TQDatabaseFilesystem - No shared resource under the name: " + key);
  EXPECT_EQ(other.count, nullptr);
  EXPECT_EQ(store.entries.at(key).count, 1);
}

// One name loaded through two handle types: the second load fails instead of
// sharing an object of the wrong type.
TEST_F(LooseStore, CacheHitThroughAnotherHandleTypeFails) {
  write("a.x", "mesh bytes");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  ResourceHandle asResource;
  TQSmartPointer<int, NullDestruct<int>> asOther;
  std::string error;
  ASSERT_TRUE(store.load("a.x", handler, asResource, 0, error));
  EXPECT_FALSE(store.load("a.x", handler, asOther, 0, error));
  EXPECT_EQ(error, "TQDatabaseFilesystem - Resource loaded as another type: a.x");
  EXPECT_EQ(asOther.count, nullptr);
  EXPECT_EQ(store.entries.at("a.x").count, 2);
}

// A file named like the next generated key must not lose its entry.
TEST_F(LooseStore, UniqueKeyAlreadyTakenIsPassedOver) {
  const int counter = TQDatabaseFilesystem::uniqueCounter;
  const std::string taken = uniqueKey("a.txt", counter);
  write(taken, "file literally named like a key");
  write("a.txt", "alpha");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  ResourceHandle literal, unique;
  std::string error;
  ASSERT_TRUE(store.load(taken, handler, literal, 0, error));
  ASSERT_TRUE(store.load("a.txt", handler, unique, kLoadUniqueInstance, error));
  EXPECT_EQ(store.entries.at(taken).count, 2);
  EXPECT_EQ(store.entries.at(uniqueKey("a.txt", counter + 1)).count, 1);
  EXPECT_EQ(unique.object->bytes, "alpha");
}

TEST_F(LooseStore, SaveDataWritesTheSerialisedObject) {
  write("a.txt", "alpha");
  write("mesh.x", "mesh bytes");
  TrackedHandler handler;
  UnsavableHandler unsavable;
  TQDatabaseFilesystem store;
  ResourceHandle text, mesh;
  std::string error;
  ASSERT_TRUE(store.load("a.txt", handler, text, 0, error));
  ASSERT_TRUE(store.load("mesh.x", unsavable, mesh, 0, error));
  write("a.txt", "overwritten");
  EXPECT_TRUE(store.saveData("a.txt", handler, error));
  EXPECT_EQ(read("a.txt"), "alpha");
  EXPECT_TRUE(store.saveData("mesh.x", unsavable, error));
  EXPECT_EQ(read("mesh.x"), "");  // an empty file
}

TEST_F(LooseStore, SaveDataOfTextDropsTheTerminator) {
  write("a.txt", "alpha");
  TQDataHandler_Text handler;
  TQDatabaseFilesystem store;
  TQSmartPointerTyped<char> text;
  std::string error;
  ASSERT_TRUE(store.load("a.txt", handler, text, 0, error));
  std::filesystem::remove("a.txt");
  ASSERT_TRUE(store.saveData("a.txt", handler, error));
  EXPECT_EQ(read("a.txt"), "alpha");
}

TEST_F(LooseStore, SaveDataFailures) {
  write("a.txt", "alpha");
  std::filesystem::create_directory("sub");
  write("sub/b.txt", "beta");
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  ResourceHandle a, b;
  std::string error;
  ASSERT_TRUE(store.load("a.txt", handler, a, 0, error));
  ASSERT_TRUE(store.load("sub/b.txt", handler, b, 0, error));

  EXPECT_FALSE(store.saveData("other.txt", handler, error));
  EXPECT_EQ(error, "TQDatabaseFilesystem::saveData - no such registered filename: other.txt");

  handler.refuseSave = true;
  EXPECT_FALSE(store.saveData("a.txt", handler, error));
  EXPECT_EQ(error, "Error saving object to memory : a.txt");
  handler.refuseSave = false;

  std::filesystem::remove_all("sub");
  EXPECT_FALSE(store.saveData("sub/b.txt", handler, error));
  EXPECT_EQ(error, "TQDatabaseFilesystem - Cannot create file: sub/b.txt");

  // A unique instance whose last handle went has no object left to save.
  write("c.txt", "gamma");
  const std::string key = uniqueKey("c.txt", TQDatabaseFilesystem::uniqueCounter);
  {
    ResourceHandle gone;
    ASSERT_TRUE(store.load("c.txt", handler, gone, kLoadUniqueInstance, error));
  }
  ASSERT_TRUE(store.exists(key));
  EXPECT_FALSE(store.saveData(key, handler, error));
  EXPECT_EQ(error, "TQDatabaseFilesystem::saveData - no such registered filename: " + key);
}

TEST_F(LooseStore, WriteFileWritesBytesOrUpToTheFirstNul) {
  TQDatabaseFilesystem store;
  std::string error;
  EXPECT_TRUE(store.writeFile("full.bin", "ab\0cd", 5, error));
  EXPECT_EQ(read("full.bin"), std::string("ab\0cd", 5));
  EXPECT_TRUE(store.writeFile("text.txt", "ab\0cd", -1, error));
  EXPECT_EQ(read("text.txt"), "ab");
  EXPECT_FALSE(store.writeFile("no/such/folder.txt", "x", 1, error));
  EXPECT_EQ(error, "TQDatabaseFilesystem - Cannot create filename: no/such/folder.txt");

  TQDatabasePackedFile packed;
  EXPECT_TRUE(packed.writeFile("packed.txt", "x", 1, error));
  EXPECT_EQ(read("packed.txt"), "<missing>");
}

TEST_F(LooseStore, CollectUnusedErasesWhatOnlyTheStoreHolds) {
  for (const char* name : {"a.txt", "b.txt", "u.txt", "v.txt"}) write(name, name);
  TrackedHandler handler;
  TQDatabaseFilesystem store;
  std::string error;
  ResourceHandle held, uniqueHeld;
  {
    ResourceHandle dropped, uniqueDropped;
    ASSERT_TRUE(store.load("a.txt", handler, dropped, 0, error));
    ASSERT_TRUE(store.load("u.txt", handler, uniqueDropped, kLoadUniqueInstance, error));
  }
  ASSERT_TRUE(store.load("b.txt", handler, held, 0, error));
  ASSERT_TRUE(store.load("v.txt", handler, uniqueHeld, kLoadUniqueInstance, error));
  EXPECT_EQ(handler.destroyed, 1);  // the dropped unique instance
  EXPECT_TRUE(store.collectUnused());
  EXPECT_EQ(handler.destroyed, 2);  // and now a.txt
  EXPECT_FALSE(store.exists("a.txt"));
  EXPECT_TRUE(store.exists("b.txt"));
  // The held unique instance keeps its entry (its handle points at the count).
  ASSERT_EQ(store.entries.size(), 2u);
  EXPECT_EQ(uniqueHeld.object->bytes, "v.txt");
}

}  // namespace
