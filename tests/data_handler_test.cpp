#include <gtest/gtest.h>
#include <malloc.h>

#include <memory>
#include <string>

#include "core/TQDataHandler.h"

namespace {

struct TextCapacityCase {
  std::size_t length;
  std::size_t capacity;
};

class TextLoadCapacity : public testing::TestWithParam<TextCapacityCase> {};

// The buffer is 64 KiB below 64 KiB of text and twice the text above.
TEST_P(TextLoadCapacity, CopiesTheTextAndTerminatesIt) {
  const TextCapacityCase c = GetParam();
  std::string bytes(c.length, 'x');
  for (std::size_t i = 0; i < c.length; ++i) bytes[i] = char('a' + i % 26);
  TQDataHandler_Text handler;
  void* object = nullptr;
  std::string error = "untouched";
  ASSERT_TRUE(handler.loadFromMemory(bytes.data(), std::int32_t(bytes.size()), &object, error));
  std::unique_ptr<char[]> text(static_cast<char*>(object));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(std::string(text.get(), c.length), bytes);
  EXPECT_EQ(text[c.length], '\0');
  // The allocator may round up, never down; the sanitizer's is exact.
  const std::size_t usable = malloc_usable_size(text.get());
  EXPECT_GE(usable, c.capacity);
  EXPECT_LT(usable, c.capacity + 8192);
  text[c.capacity - 1] = 'z';  // the whole buffer is writable
}

INSTANTIATE_TEST_SUITE_P(Sizes, TextLoadCapacity,
                         testing::Values(TextCapacityCase{0, 65536}, TextCapacityCase{10, 65536},
                                         TextCapacityCase{40000, 65536},
                                         TextCapacityCase{65535, 65536},
                                         TextCapacityCase{65536, 131072},
                                         TextCapacityCase{100000, 200000}),
                         [](const testing::TestParamInfo<TextCapacityCase>& info) {
                           return "Text" + std::to_string(info.param.length);
                         });

TEST(TextHandler, EmbeddedNulKeepsTheBytesButEndsTheSavedText) {
  const char bytes[] = {'a', 'b', '\0', 'c', 'd'};
  TQDataHandler_Text handler;
  void* object = nullptr;
  std::string error;
  ASSERT_TRUE(handler.loadFromMemory(bytes, 5, &object, error));
  std::unique_ptr<char[]> text(static_cast<char*>(object));
  EXPECT_EQ(std::string(text.get(), 6), std::string("ab\0cd\0", 6));

  char* saved = nullptr;
  std::uint32_t length = 0;
  ASSERT_TRUE(handler.saveToMemory(text.get(), 5, &saved, &length, error));
  std::unique_ptr<char[]> keep(saved);
  EXPECT_EQ(std::string(saved, length), "ab");
}

TEST(TextHandler, SavingAnEmptyTextGivesAnEmptyBuffer) {
  TQDataHandler_Text handler;
  char empty[] = "";
  char* saved = nullptr;
  std::uint32_t length = 99;
  std::string error;
  EXPECT_TRUE(handler.saveToMemory(empty, 0, &saved, &length, error));
  std::unique_ptr<char[]> keep(saved);
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(error.empty());
}

TEST(DataHandler, EmptySaveSucceedsWithoutOutput) {
  char* buffer = nullptr;
  std::uint32_t length = 0;
  std::string error;
  int object = 0;
  EXPECT_TRUE(saveNothingToMemory(&object, 4, &buffer, &length, error));
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_FALSE(TQDataHandler_Text().query());
}

}  // namespace
