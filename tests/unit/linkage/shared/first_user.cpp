#include "tests/unit/linkage/shared/shared_routine.h"

extern "C" uint32_t FirstUser() { return SharedUnitId() + 1; }
