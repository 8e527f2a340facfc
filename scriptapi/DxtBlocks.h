// Block compression of 32-bit texels into a texture level's own DXT format.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/d3d9/D3D9.h"

// Whether `format` is one of the block formats DXT1 to DXT5.
bool isDxtFormat(D3DFORMAT format);

// Encodes `width` x `height` texels (A8R8G8B8 values, row by row) into the
// blocks of a level of `format`, written at `bits` with `pitch` bytes per
// row of blocks. A level whose sides are not multiples of 4 fills its edge
// blocks by repeating the last column and row, so the texels outside the
// level take no part in the encoding. DXT1 keeps one bit of alpha (texels
// under half alpha become transparent black); DXT2 and DXT3 store four
// bits per texel, DXT4 and DXT5 interpolated alpha. Premultiplied formats
// take the values as given. Answers false for a format that is not DXT.
bool encodeDxtLevel(D3DFORMAT format, unsigned width, unsigned height,
                    const std::vector<uint32_t>& texels, void* bits, int pitch);
