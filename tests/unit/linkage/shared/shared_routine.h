// An inline routine the compiler keeps out of line: each object that uses it carries
// its own copy in a COMDAT group, marks included; the image must hold one.
#pragma once

#include "runtime/linkage.h"

[[gnu::noinline]] inline uint32_t SharedUnitId() { return qx::rt::unit_id<0x16010a36>(); }
