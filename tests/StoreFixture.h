// A scratch folder that becomes the working directory for one test, and a
// data handler whose objects count their destruction.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "core/TQDataHandler.h"
#include "core/TQSmartPointer.h"

class ScratchFolder : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/engine-store-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
  }
  void TearDown() override {
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(folder);
  }

  static void write(const std::string& name, const std::string& bytes) {
    FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr) << name;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  static std::string read(const std::string& name) {
    std::string bytes;
    FILE* file = std::fopen(name.c_str(), "rb");
    if (!file) return "<missing>";
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
    std::fclose(file);
    return bytes;
  }

  std::filesystem::path folder, previous;
};

// The object a TrackedHandler makes: a copy of the bytes.
struct Resource {
  Resource(std::string bytes, int* destroyed) : bytes(std::move(bytes)), destroyed(destroyed) {}
  ~Resource() { ++*destroyed; }
  std::string bytes;
  int* destroyed;
};
using ResourceHandle = TQSmartPointer<Resource, DeleteDestruct<Resource>>;

class TrackedHandler : public TQDataHandler {
 public:
  bool loadFromMemory(const char* data, std::int32_t size, void** object,
                      std::string& error) override {
    ++loads;
    *object = new Resource(std::string(data, std::size_t(size)), &destroyed);
    if (refuseLoad) error = "refused by handler";
    return !refuseLoad;
  }
  bool saveToMemory(void* object, std::int32_t, char** buffer, std::uint32_t* length,
                    std::string& error) override {
    if (refuseSave) {
      error = "handler text";
      return false;
    }
    const std::string& bytes = static_cast<Resource*>(object)->bytes;
    *buffer = new char[bytes.size()];
    bytes.copy(*buffer, bytes.size());
    *length = std::uint32_t(bytes.size());
    return true;
  }

  int loads = 0;
  int destroyed = 0;
  bool refuseLoad = false;
  bool refuseSave = false;
};

// A handler whose objects cannot be saved back (meshes, textures, music).
class UnsavableHandler : public TrackedHandler {
 public:
  bool saveToMemory(void* object, std::int32_t size, char** buffer, std::uint32_t* length,
                    std::string& error) override {
    return saveNothingToMemory(object, size, buffer, length, error);
  }
};
