#include "tests/windows/sysv_service.h"

uint64_t QX_SERVICE_ABI sysv_six_arguments(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t e, uint64_t f)
{
    return ((((a * 10 + b) * 10 + c) * 10 + d) * 10 + e) * 10 + f;
}
