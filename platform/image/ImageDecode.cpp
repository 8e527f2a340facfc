// The decoder is stb_image, compiled into this file rather than taken from
// the shared library: the library's build stops the process when one of the
// decoder's internal checks fails, and some damaged JPEG Huffman codes fail
// one. Here a failed check only marks the image as damaged, and the image
// is refused. (Where that check sits, the decoder has already tested the
// code against its table, so carrying on to the refusal touches nothing
// outside the image's buffers.) Its memory comes zeroed: a damaged file that
// uses a Huffman table it never defined decodes the same way every time,
// not from what the memory held before.
#include "platform/image/ImageDecode.h"

#include <cstdlib>

namespace {
thread_local bool gCheckFailed = false;
}  // namespace

#define STBI_ASSERT(x) ((x) ? (void)0 : (void)(gCheckFailed = true))
// No texture the device takes has a side over 8192 texels, and decoding a
// larger image only to refuse it can take gigabytes for a header of a few
// bytes: the decoder refuses such images from their header.
#define STBI_MAX_DIMENSIONS 8192
#define STBI_MALLOC(size) std::calloc(1, size)
#define STBI_REALLOC(block, size) std::realloc(block, size)
#define STBI_FREE(block) std::free(block)
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wtype-limits"
#include <stb_image.h>
#pragma GCC diagnostic pop

void DecodedImageFree::operator()(unsigned char* texels) const { stbi_image_free(texels); }

DecodedImage decodeImage(const unsigned char* bytes, int size, int* width, int* height,
                         int* channels) {
  gCheckFailed = false;
  // The decoder sizes its buffer for 8-bit samples when it reads a 16-bit
  // binary PNM and then converts past its end: such files are refused.
  if (size >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '6') &&
      stbi_is_16_bit_from_memory(bytes, size))
    return DecodedImage();
  DecodedImage texels(stbi_load_from_memory(bytes, size, width, height, channels, 4));
  if (gCheckFailed) texels.reset();
  return texels;
}
