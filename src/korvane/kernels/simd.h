// Which vector instruction set the kernels' hot loops run on in this
// process, and the variants of a function compiled for each.  The choice is
// the best the CPU has, or less where the environment variable KORVANE_SIMD
// asks for it ("scalar" or "avx2"), read once.  Every choice gives the same
// doubles; the variable is for testing that.
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

// F compiled three times, each variant with F's whole call tree inlined
// (flatten), so that the elementwise loops in it run in the variant's
// vectors; `chosen` is the variant of simd_level().  A compiler vectorises
// elementwise work only: a sum keeps its order, and with -ffp-contract=off
// nothing is contracted, so for code that calls no libm function inside
// such loops every variant computes the same doubles.
template <auto F>
struct PerIsa;

template <class R, class... A, R (*F)(A...)>
struct PerIsa<F> {
    using Fn = R (*)(A...);

    [[gnu::flatten]] static R portable(A... a) { return F(a...); }
#if defined(__GNUC__) && defined(__x86_64__)
    [[gnu::target("avx2"), gnu::flatten]] static R avx2(A... a) { return F(a...); }
    [[gnu::target("avx512f,avx512dq,avx512vl"), gnu::flatten]] static R avx512(A... a) { return F(a...); }
#endif

    static Fn chosen()
    {
#if defined(__GNUC__) && defined(__x86_64__)
        switch (simd_level()) {
        case Simd::AVX512:
            return avx512;
        case Simd::AVX2:
            return avx2;
        case Simd::SCALAR:
            break;
        }
#endif
        return portable;
    }
};

// F's variant for this process, chosen on the first call.
template <auto F>
typename PerIsa<F>::Fn per_isa()
{
    static const typename PerIsa<F>::Fn f = PerIsa<F>::chosen();
    return f;
}

}  // namespace korvane::kernels

#endif  // KORVANE_KERNELS_SIMD_H
