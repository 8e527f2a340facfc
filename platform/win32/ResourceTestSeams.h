// Hooks that let tests change the program's resources: a resource can be
// replaced by other bytes or hidden, as if the program had been built
// without it. Not used by the engine itself.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/Resources.h"

namespace resource_test {

// Empty bytes make a resource of size 0.
void replaceResource(LPCSTR name, LPCSTR type, const std::vector<unsigned char>& bytes);
void hideResource(LPCSTR name, LPCSTR type);
void restoreResources();  // the program's own table again

}  // namespace resource_test
