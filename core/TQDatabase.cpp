#include "core/TQDatabase.h"

TQDatabase* gDatabase = nullptr;
