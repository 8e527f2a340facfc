// Image files (JPEG, PNG, BMP with run-length coded ones, TGA, GIF, PSD,
// HDR, PIC, binary PNM) decoded from memory to 8-bit R, G, B, A texels.
#pragma once

#include <memory>

struct DecodedImageFree {
  void operator()(unsigned char* texels) const;
};
using DecodedImage = std::unique_ptr<unsigned char, DecodedImageFree>;

// The texels of the image in `bytes`, rows top first, with its size and the
// number of channels the file holds (1 to 4); empty when the data is no
// image the decoder takes, is damaged, or has a side over 8192 texels.
DecodedImage decodeImage(const unsigned char* bytes, int size, int* width, int* height,
                         int* channels);
