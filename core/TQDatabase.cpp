#include "core/TQDatabase.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/PackageFile.h"
#include "platform/file/FileSystem.h"

TQDatabase* gDatabase = nullptr;

int TQDatabaseFilesystem::uniqueCounter = 0;
int TQDatabasePackedFile::uniqueCounter = 0;

namespace {

using Entries = std::map<std::string, DatabaseEntry>;

// The messages that differ between the two store kinds.
struct StoreTexts {
  const char* emptyName;
  const char* notRegistered;
  const char* cannotCreate;
  const char* noSharedObject;
  const char* otherType;
};

const StoreTexts kFilesystemTexts = {
    "TQDatabaseFilesystem - Cannot open empty filename ",
    "TQDatabaseFilesystem::saveData - no such registered filename: ",
    "TQDatabaseFilesystem - Cannot create file: ",
    "TQDatabaseFilesystem - No shared resource under the name: ",
    "TQDatabaseFilesystem - Resource loaded as another type: ",
};

const StoreTexts kPackedTexts = {
    "TQDatabasePackedFile - Cannot open empty filename ",
    "TQDatabasePackedFile::saveData - no such registered filename: ",
    "TQDatabasePackedFile - Cannot create file: ",
    "TQDatabasePackedFile - No shared resource under the name: ",
    "TQDatabasePackedFile - Resource loaded as another type: ",
};

// Gets the bytes of a name: a new[]-allocated buffer and its size, or false
// with the error text set.
using ByteReader = bool (*)(TQDatabase& store, const std::string& name, char** data,
                            std::int32_t* size, std::string& error);

bool readLooseFile(TQDatabase&, const std::string& name, char** data, std::int32_t* size,
                   std::string& error) {
  FILE* file = openFile(name.c_str(), "rb");
  if (!file) {
    error = "TQDatabaseFilesystem - Cannot open filename: " + name;
    return false;
  }
  // A folder opens like a file here; what it then reports as its size
  // depends on the file system (a refused seek, 0, or a huge value). It counts
  // as a file that cannot be opened, as do files beyond 2 GiB.
  struct stat status;
  const bool folder = fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
  const bool seeked = !folder && std::fseek(file, 0, SEEK_END) == 0;
  const long length = seeked ? std::ftell(file) : -1;
  if (length < 0 || length > long(INT32_MAX)) {
    std::fclose(file);
    error = "TQDatabaseFilesystem - Cannot open filename: " + name;
    return false;
  }
  if (length == 0) {
    std::fclose(file);
    error = "TQDatabaseFilesystem - Empty file: " + name;
    return false;
  }
  std::fseek(file, 0, SEEK_SET);
  // Zeroed, so that a file that shrinks while it is read hands the handler
  // zeros rather than stale memory.
  std::unique_ptr<char[]> buffer(new char[std::size_t(length)]());
  const std::size_t got = std::fread(buffer.get(), 1, std::size_t(length), file);
  std::fclose(file);
  if (got == 0) {
    error = "TQDatabaseFilesystem - Cannot open filename: " + name;
    return false;
  }
  *data = buffer.release();
  *size = std::int32_t(length);
  return true;
}

bool readPackedEntry(TQDatabase& store, const std::string& name, char** data, std::int32_t* size,
                     std::string& error) {
  TQDatabasePackedFile& packed = static_cast<TQDatabasePackedFile&>(store);
  const std::string& package = packed.packageName;
  if (!package.empty() && (!packed.reader || packed.reader->fileName() != package))
    packed.reader.reset(new PackageReader(package, true));
  if (package.empty() || !packed.reader->read(name, data, size)) {
    error = "Cannot find packed data: " + name;
    return false;
  }
  return true;
}

// Unique instances whose last handle is gone: nothing points at their count
// any more, and no load can find them again under their generated keys.
// Erased before each new unique instance is made, they do not pile up in a
// show that makes one per scene or per frame.
void eraseReleasedUniques(Entries& entries) {
  for (auto it = entries.begin(); it != entries.end();) {
    const DatabaseEntry& entry = it->second;
    it = !entry.holder && entry.count <= 0 ? entries.erase(it) : std::next(it);
  }
}

bool loadResource(TQDatabase& store, Entries& entries, int& uniqueCounter, const StoreTexts& texts,
                  ByteReader readBytes, const std::string& name, TQDataHandler& handler,
                  TQSmartPointerAbstract& handle, std::uint32_t flags, std::string& error) {
  const auto cached = entries.find(name);
  if (cached != entries.end()) {
    // A generated unique key has no shared object to hand out.
    if (!cached->second.holder) {
      error = texts.noSharedObject + name;
      return false;
    }
    if (!handle.assign(*cached->second.holder)) {
      error = texts.otherType + name;
      return false;
    }
    return true;
  }
  if (name.empty()) {
    error = texts.emptyName;
    return false;
  }

  char* bytes = nullptr;
  std::int32_t size = 0;
  if (!readBytes(store, name, &bytes, &size, error)) return false;
  std::unique_ptr<char[]> keepBytes(bytes);

  void* object = nullptr;
  const bool accepted = handler.loadFromMemory(bytes, size, &object, error);

  const bool unique = (flags & kLoadUniqueInstance) != 0;
  std::string key = name;
  if (unique) {
    eraseReleasedUniques(entries);
    // Never replace an entry whose count other handles may point at: a key
    // already taken (by a file named like a generated key) is passed over.
    do {
      key = name + "_" + std::to_string(uniqueCounter++);
    } while (entries.count(key));
  }

  DatabaseEntry& entry = entries.try_emplace(key).first->second;
  handle.attach(object, &entry.count, true);
  if (!unique) entry.holder = handle.clone();
  entry.size = size;
  entry.object = object;
  return accepted;
}

bool saveResource(Entries& entries, const StoreTexts& texts, const std::string& name,
                  TQDataHandler& handler, std::string& error) {
  const auto found = entries.find(name);
  // A unique instance whose last handle is gone has no object left to save.
  if (found == entries.end() || (!found->second.holder && found->second.count <= 0)) {
    error = texts.notRegistered + name;
    return false;
  }
  char* buffer = nullptr;
  std::uint32_t length = 0;
  const bool saved =
      handler.saveToMemory(found->second.object, found->second.size, &buffer, &length, error);
  std::unique_ptr<char[]> keepBuffer(buffer);
  if (!saved) {
    error = "Error saving object to memory : " + name;
    return false;
  }
  FILE* file = openFile(name.c_str(), "wb");
  if (!file) {
    error = texts.cannotCreate + name;
    return false;
  }
  if (length && buffer) std::fwrite(buffer, 1, length, file);
  std::fclose(file);
  return true;
}

void eraseUnused(Entries& entries) {
  for (auto it = entries.begin(); it != entries.end();) {
    const DatabaseEntry& entry = it->second;
    // Only the store's own handle left, or a unique instance that is gone. A
    // unique instance that a handle still holds keeps its count cell.
    const bool unused = entry.holder ? entry.count <= 1 : entry.count <= 0;
    it = unused ? entries.erase(it) : std::next(it);
  }
}

}  // namespace

// Loose-file store.

bool TQDatabaseFilesystem::writeFile(const std::string& name, const char* data, std::int32_t length,
                                     std::string& error) {
  FILE* file = openFile(name.c_str(), "wb");
  if (!file) {
    error = "TQDatabaseFilesystem - Cannot create filename: " + name;
    return false;
  }
  std::size_t count = 0;
  if (data) count = length == -1 ? std::strlen(data) : length > 0 ? std::size_t(length) : 0;
  if (count) std::fwrite(data, 1, count, file);
  std::fclose(file);
  return true;
}

bool TQDatabaseFilesystem::exists(const std::string& name) { return entries.count(name) != 0; }

bool TQDatabaseFilesystem::load(const std::string& name, TQDataHandler& handler,
                                TQSmartPointerAbstract& handle, std::uint32_t flags,
                                std::string& error) {
  return loadResource(*this, entries, uniqueCounter, kFilesystemTexts, readLooseFile, name, handler,
                      handle, flags, error);
}

bool TQDatabaseFilesystem::saveData(const std::string& name, TQDataHandler& handler,
                                    std::string& error) {
  return saveResource(entries, kFilesystemTexts, name, handler, error);
}

bool TQDatabaseFilesystem::collectUnused() {
  eraseUnused(entries);
  return true;
}

// Packed store.

bool TQDatabasePackedFile::open(const std::string& name) {
  if (!isPackageFile(name)) return false;
  packageName = name;
  return true;
}

bool TQDatabasePackedFile::writeFile(const std::string&, const char*, std::int32_t, std::string&) {
  return true;
}

bool TQDatabasePackedFile::exists(const std::string& name) { return entries.count(name) != 0; }

bool TQDatabasePackedFile::load(const std::string& name, TQDataHandler& handler,
                                TQSmartPointerAbstract& handle, std::uint32_t flags,
                                std::string& error) {
  return loadResource(*this, entries, uniqueCounter, kPackedTexts, readPackedEntry, name, handler,
                      handle, flags, error);
}

bool TQDatabasePackedFile::saveData(const std::string& name, TQDataHandler& handler,
                                    std::string& error) {
  return saveResource(entries, kPackedTexts, name, handler, error);
}

bool TQDatabasePackedFile::collectUnused() {
  eraseUnused(entries);
  return true;
}
