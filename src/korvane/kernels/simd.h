// Which vector instruction set the kernels' hot loops run on in this
// process: the best the CPU has, or less where the environment variable
// KORVANE_SIMD asks for it ("scalar" or "avx2"), read once.  Every choice
// gives the same doubles; the variable is for testing that.
#ifndef KORVANE_KERNELS_SIMD_H
#define KORVANE_KERNELS_SIMD_H

namespace korvane::kernels {

enum class Simd {
    SCALAR,  // the portable code
    AVX2,
    AVX512,  // AVX-512 F, DQ and VL
};

Simd simd_level();

// "scalar", "avx2" or "avx512".
const char *simd_name(Simd level);

}  // namespace korvane::kernels

#endif  // KORVANE_KERNELS_SIMD_H
