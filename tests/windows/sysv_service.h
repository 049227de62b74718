// A service in the image's convention, in a file of its own: GCC 12 for mingw stops with
// an internal error when it sits in one file with GoogleTest's checks.
#pragma once

#include "runtime/service_abi.h"

#include <cstdint>

// Six arguments: rdi, rsi, rdx, rcx, r8, r9 in System V, of which Windows passes none in
// the same place. Gives the digits a..f run together, f last.
uint64_t QX_SERVICE_ABI sysv_six_arguments(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t e, uint64_t f);
using SysvSixArguments = uint64_t(QX_SERVICE_ABI*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
