// The vector instruction set of the process (simd.h).
#include "simd.h"

#include <cstdlib>
#include <cstring>

namespace korvane::kernels {

namespace {

Simd best_of_cpu()
{
    Simd best = Simd::SCALAR;
#if defined(__GNUC__) && defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        best = Simd::AVX2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")
        && __builtin_cpu_supports("avx512vl"))
        best = Simd::AVX512;
#endif
    return best;
}

Simd chosen()
{
    const Simd best = best_of_cpu();
    const char *asked = std::getenv("KORVANE_SIMD");
    if (asked && std::strcmp(asked, "scalar") == 0)
        return Simd::SCALAR;
    if (asked && std::strcmp(asked, "avx2") == 0 && best == Simd::AVX512)
        return Simd::AVX2;
    return best;
}

}  // namespace

Simd simd_level()
{
    static const Simd level = chosen();
    return level;
}

const char *simd_name(Simd level)
{
    switch (level) {
    case Simd::AVX2:
        return "avx2";
    case Simd::AVX512:
        return "avx512";
    case Simd::SCALAR:
        break;
    }
    return "scalar";
}

}  // namespace korvane::kernels
