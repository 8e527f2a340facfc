#include "scriptapi/Binding.h"

#include <cstdio>
#include <deque>

#include "core/TQDatabase.h"

void loadOrAbort(const std::string& name, TQDataHandler& handler, TQSmartPointerAbstract& handle,
                 std::uint32_t flags, const char* kind) {
  std::string error;
  if (gDatabase)
    gDatabase->load(name, handler, handle, flags, error);
  else
    error = "no resource store";
  if (error.empty()) return;
  char message[1024];
  std::snprintf(message, sizeof message, "Error loading %s (%s) - Abort", kind, name.c_str());
  fatalError(message);
}

int* newCountCell() {
  // Never destroyed: handles still alive at exit may touch their cells.
  static std::deque<int>& cells = *new std::deque<int>;
  cells.push_back(0);
  return &cells.back();
}
