// The named-resource store. (A minimal first version: the stores exist and
// a package can be named; loading comes with the resource store.)
#pragma once

#include <string>

class TQDatabase {
 public:
  virtual ~TQDatabase() {}
};

class TQDatabaseFilesystem : public TQDatabase {};

class TQDatabasePackedFile : public TQDatabase {
 public:
  bool open(const std::string& name) {
    packageName = name;
    return true;
  }
  std::string packageName;
};

extern TQDatabase* gDatabase;
