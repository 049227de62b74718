#include "tests/unit/linkage/shared/shared_routine.h"

extern "C" uint32_t SecondUser() { return SharedUnitId() + 2; }
extern "C" void EntryRoutine() {}
