#include "scriptapi/Binding.h"

#include <deque>

int* newCountCell() {
  // Never destroyed: handles still alive at exit may touch their cells.
  static std::deque<int>& cells = *new std::deque<int>;
  cells.push_back(0);
  return &cells.back();
}
