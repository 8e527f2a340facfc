#include "core/TQDataHandler.h"

#include <cstddef>
#include <cstring>

bool saveNothingToMemory(void*, std::int32_t, char**, std::uint32_t*, std::string&) { return true; }

bool TQDataHandler_Text::loadFromMemory(const char* data, std::int32_t size, void** object,
                                        std::string&) {
  // Room to spare for a text that its user may extend: 64 KiB for small
  // texts, twice the size for large ones.
  const std::size_t length = size > 0 ? std::size_t(size) : 0;
  const std::size_t capacity = length < 65536 ? 65536 : 2 * length;
  char* text = new char[capacity];
  if (length) std::memcpy(text, data, length);
  text[length] = '\0';
  *object = text;
  return true;
}

bool TQDataHandler_Text::saveToMemory(void* object, std::int32_t, char** buffer,
                                      std::uint32_t* length, std::string&) {
  const char* text = static_cast<const char*>(object);
  const std::size_t textLength = text ? std::strlen(text) : 0;
  char* bytes = new char[textLength ? textLength : 1];
  if (textLength) std::memcpy(bytes, text, textLength);
  *buffer = bytes;
  *length = std::uint32_t(textLength);
  return true;
}
