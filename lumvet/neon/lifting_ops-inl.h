// Per-target loops shared by the lifting kernels (CDF 5/3 and CDF 9/7).
//
// Every lifting update is t = fma(a + b, c, t): the pair sum rounded to a
// float, then one fused multiply-add. Vector code therefore runs only on
// targets whose multiply-add is fused in hardware; the others run the same
// formula with std::fma, so every target produces the same bits. Lanes are
// independent, so the vector width never changes a result.
//
// Included once per target through hwy/foreach_target.h.

#if defined(LUMVET_NEON_LIFTING_OPS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LUMVET_NEON_LIFTING_OPS_INL_H_
#undef LUMVET_NEON_LIFTING_OPS_INL_H_
#else
#define LUMVET_NEON_LIFTING_OPS_INL_H_
#endif

#include <cmath>
#include <cstddef>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet::neon::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// dst[i] = fma(a[i] + b[i], c, t[i]) for i < count; dst may be t (in place)
// but neither may overlap a or b.
HWY_INLINE void lift_sum(float* dst, const float* t, const float* a, const float* b,
                         std::size_t count, float c) {
  std::size_t i = 0;
#if HWY_NATIVE_FMA
  const hn::ScalableTag<float> df;
  const std::size_t lanes = hn::Lanes(df);
  const auto vc = hn::Set(df, c);
  for (; i + 2 * lanes <= count; i += 2 * lanes) {
    const auto s0 = hn::Add(hn::LoadU(df, a + i), hn::LoadU(df, b + i));
    const auto s1 = hn::Add(hn::LoadU(df, a + i + lanes), hn::LoadU(df, b + i + lanes));
    const auto r0 = hn::MulAdd(s0, vc, hn::LoadU(df, t + i));
    const auto r1 = hn::MulAdd(s1, vc, hn::LoadU(df, t + i + lanes));
    hn::StoreU(r0, df, dst + i);
    hn::StoreU(r1, df, dst + i + lanes);
  }
  for (; i + lanes <= count; i += lanes) {
    const auto sum = hn::Add(hn::LoadU(df, a + i), hn::LoadU(df, b + i));
    hn::StoreU(hn::MulAdd(sum, vc, hn::LoadU(df, t + i)), df, dst + i);
  }
#endif
  for (; i < count; ++i) dst[i] = std::fma(a[i] + b[i], c, t[i]);
}

// t[i] = fma(a[i] + b[i], c, t[i]) for i < count.
HWY_INLINE void lift_sum(float* t, const float* a, const float* b, std::size_t count, float c) {
  lift_sum(t, t, a, b, count, c);
}

// Split and predict from an interleaved signal x of n samples, for the first
// `pairs` pairs (x[2 * pairs] must exist): s[i] = x[2i] and
// d[i] = fma(x[2i] + x[2i + 2], c, x[2i + 1]).
HWY_INLINE void split_predict(const float* HWY_RESTRICT x, std::size_t n, std::size_t pairs,
                              float* HWY_RESTRICT s, float* HWY_RESTRICT d, float c) {
  (void)n;  // bounds only the vector loop
  std::size_t i = 0;
#if HWY_NATIVE_FMA
  const hn::ScalableTag<float> df;
  const std::size_t lanes = hn::Lanes(df);
  const auto vc = hn::Set(df, c);
  using V = decltype(hn::Zero(df));
  // The second load reads x[2i + 2 ... 2i + 2 lanes + 1].
  for (; i + lanes <= pairs && 2 * (i + lanes) + 2 <= n; i += lanes) {
    V even, odd, next_even, next_odd;
    hn::LoadInterleaved2(df, x + 2 * i, even, odd);
    hn::LoadInterleaved2(df, x + 2 * i + 2, next_even, next_odd);
    hn::StoreU(even, df, s + i);
    hn::StoreU(hn::MulAdd(hn::Add(even, next_even), vc, odd), df, d + i);
  }
#endif
  for (; i < pairs; ++i) {
    s[i] = x[2 * i];
    d[i] = std::fma(x[2 * i] + x[2 * i + 2], c, x[2 * i + 1]);
  }
}

// p[i] *= k for i < n.
HWY_INLINE void scale(float* HWY_RESTRICT p, std::size_t n, float k) {
  std::size_t i = 0;
#if HWY_NATIVE_FMA
  const hn::ScalableTag<float> df;
  const std::size_t lanes = hn::Lanes(df);
  const auto vk = hn::Set(df, k);
  for (; i + lanes <= n; i += lanes) hn::StoreU(hn::Mul(hn::LoadU(df, p + i), vk), df, p + i);
#endif
  for (; i < n; ++i) p[i] *= k;
}

// dst[i] = src[i] * k for i < n.
HWY_INLINE void scaled_copy(float* HWY_RESTRICT dst, const float* HWY_RESTRICT src, std::size_t n,
                            float k) {
  std::size_t i = 0;
#if HWY_NATIVE_FMA
  const hn::ScalableTag<float> df;
  const std::size_t lanes = hn::Lanes(df);
  const auto vk = hn::Set(df, k);
  for (; i + lanes <= n; i += lanes) hn::StoreU(hn::Mul(hn::LoadU(df, src + i), vk), df, dst + i);
#endif
  for (; i < n; ++i) dst[i] = src[i] * k;
}

// Undo a predict and merge in one pass, for the first `pairs` pairs
// (s[pairs] must exist): y[2i] = s[i], y[2i + 1] = fma(s[i] + s[i + 1], c, d[i]).
HWY_INLINE void predict_merge(const float* HWY_RESTRICT s, const float* HWY_RESTRICT d,
                              std::size_t pairs, float c, float* HWY_RESTRICT y) {
  std::size_t i = 0;
#if HWY_NATIVE_FMA
  const hn::ScalableTag<float> df;
  const std::size_t lanes = hn::Lanes(df);
  const auto vc = hn::Set(df, c);
  for (; i + lanes <= pairs; i += lanes) {
    const auto even = hn::LoadU(df, s + i);
    const auto odd = hn::MulAdd(hn::Add(even, hn::LoadU(df, s + i + 1)), vc, hn::LoadU(df, d + i));
    hn::StoreInterleaved2(even, odd, df, y + 2 * i);
  }
#endif
  for (; i < pairs; ++i) {
    y[2 * i] = s[i];
    y[2 * i + 1] = std::fma(s[i] + s[i + 1], c, d[i]);
  }
}

}  // namespace lumvet::neon::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // include guard toggle
