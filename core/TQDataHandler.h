// Data handlers: converters between the raw bytes of a resource and the
// in-memory object that the rest of the engine uses. The resource store
// reads the bytes and hands them to the handler its caller passed in.
#pragma once

#include <cstdint>
#include <string>

// Virtual operations in this order: loadFromMemory, saveToMemory, query,
// destructor. Byte buffers handed out by saveToMemory are new[]-allocated;
// the caller frees them with delete[].
class TQDataHandler {
 public:
  // Makes an object from `size` bytes at `data` (which the caller keeps and
  // frees) and returns it through `object` (null before the call). On a
  // refusal the handler writes its message into `error` and answers false;
  // whatever it stored through `object` stands.
  virtual bool loadFromMemory(const char* data, std::int32_t size, void** object,
                              std::string& error) = 0;

  // Serialises `object` (loaded with `size` bytes) into a new buffer returned
  // through `buffer` and `length` (null and 0 before the call).
  virtual bool saveToMemory(void* object, std::int32_t size, char** buffer, std::uint32_t* length,
                            std::string& error) = 0;

  virtual bool query() { return false; }

  virtual ~TQDataHandler() {}
};

// The save of handlers whose objects cannot be turned back into bytes
// (meshes, textures, music): succeeds and produces nothing.
bool saveNothingToMemory(void* object, std::int32_t size, char** buffer, std::uint32_t* length,
                         std::string& error);

// Text: the object is a NUL-terminated copy of the bytes, held by a
// TQSmartPointerTyped<char>. Loads never fail.
class TQDataHandler_Text : public TQDataHandler {
 public:
  bool loadFromMemory(const char* data, std::int32_t size, void** object,
                      std::string& error) override;
  bool saveToMemory(void* object, std::int32_t size, char** buffer, std::uint32_t* length,
                    std::string& error) override;
};
