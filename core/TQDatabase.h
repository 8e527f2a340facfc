// The named-resource store: loads resources by name, converts their bytes
// through a data handler, caches the result under the name and shares it
// through reference-counted handles. TQDatabaseFilesystem reads loose files,
// TQDatabasePackedFile the entries of one package file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/PackageFile.h"
#include "core/TQDataHandler.h"
#include "core/TQSmartPointer.h"

// The flag of TQDatabase::load that asks for a private object.
constexpr std::uint32_t kLoadUniqueInstance = 2;

// One cached resource. Handles point at `count`, so an entry never moves
// while it exists (it lives in a map node) and must outlive every handle of
// its resource.
struct DatabaseEntry {
  DatabaseEntry() {}
  DatabaseEntry(const DatabaseEntry&) = delete;
  DatabaseEntry& operator=(const DatabaseEntry&) = delete;
  // Drops the store's own reference; the last one destroys the object.
  ~DatabaseEntry() { delete holder; }

  TQSmartPointerAbstract* holder = nullptr;  // the store's own handle; null for a unique instance
  void* object = nullptr;                    // what the data handler made (possibly null)
  std::int32_t size = 0;                     // bytes read for it
  std::int32_t count = 0;                    // the count every handle of it shares
};

// Virtual operations in this order: destructor, writeFile, exists, load,
// saveData, collectUnused.
class TQDatabase {
 public:
  virtual ~TQDatabase() {}

  // Writes `length` bytes (-1: up to the first NUL) to a loose file.
  virtual bool writeFile(const std::string& name, const char* data, std::int32_t length,
                         std::string& error) = 0;

  // Whether the cache holds an entry under exactly this key.
  virtual bool exists(const std::string& name) = 0;

  // Loads `name` through `handler` into the empty `handle`, whose type matches
  // the handler's object. A cached name is shared without running the
  // handler (whatever the flags); otherwise the bytes are read and converted
  // and the result is cached, also when the handler refuses it. With
  // kLoadUniqueInstance in `flags` a name not yet cached becomes a private
  // object under a generated key. Answers true on a cache hit, the handler's
  // answer after a read, and false with an error text when the bytes cannot
  // be had.
  virtual bool load(const std::string& name, TQDataHandler& handler, TQSmartPointerAbstract& handle,
                    std::uint32_t flags, std::string& error) = 0;

  // Serialises the cached object of `name` through `handler` into a loose
  // file of that name.
  virtual bool saveData(const std::string& name, TQDataHandler& handler, std::string& error) = 0;

  // Erases the entries that nothing outside the store holds.
  virtual bool collectUnused() = 0;
};

// Resources from loose files, named relative to the working directory.
class TQDatabaseFilesystem : public TQDatabase {
 public:
  TQDatabaseFilesystem() {}
  ~TQDatabaseFilesystem() override {}

  bool writeFile(const std::string& name, const char* data, std::int32_t length,
                 std::string& error) override;
  bool exists(const std::string& name) override;
  bool load(const std::string& name, TQDataHandler& handler, TQSmartPointerAbstract& handle,
            std::uint32_t flags, std::string& error) override;
  bool saveData(const std::string& name, TQDataHandler& handler, std::string& error) override;
  bool collectUnused() override;

  std::map<std::string, DatabaseEntry> entries;

  // Counter of the generated keys "%s_%d" of unique-instance loads, shared by
  // every loose-file store of the process.
  static int uniqueCounter;
};

// Resources from the entries of one package file.
class TQDatabasePackedFile : public TQDatabase {
 public:
  TQDatabasePackedFile() {}
  ~TQDatabasePackedFile() override {}

  // Accepts `name` as the package to read when it is a package file;
  // otherwise leaves the store without one (every load then fails).
  bool open(const std::string& name);

  bool writeFile(const std::string& name, const char* data, std::int32_t length,
                 std::string& error) override;
  bool exists(const std::string& name) override;
  bool load(const std::string& name, TQDataHandler& handler, TQSmartPointerAbstract& handle,
            std::uint32_t flags, std::string& error) override;
  bool saveData(const std::string& name, TQDataHandler& handler, std::string& error) override;
  bool collectUnused() override;

  std::map<std::string, DatabaseEntry> entries;
  std::string packageName;
  // The package as the loads read it, opened by the first load after open
  // and kept while the store lives (a package changed on disk meanwhile is
  // reread).
  std::unique_ptr<PackageReader> reader;

  // Counter of the generated keys of unique-instance loads, shared by every
  // packed store of the process.
  static int uniqueCounter;
};

// The store in use for the whole run, set by the entry routine.
extern TQDatabase* gDatabase;
