#include "lumvet/neon/cdf53_f32.h"

#include <algorithm>
#include <cmath>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/cdf53_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include "hwy/highway.h"
#include "lumvet/neon/lifting_ops-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet::neon::HWY_NAMESPACE {

void Cdf53Forward(const float* HWY_RESTRICT x, std::size_t n, float* HWY_RESTRICT s,
                  float* HWY_RESTRICT d) {
  const std::size_t na = n - n / 2;
  const std::size_t nd = n / 2;
  const bool even = n % 2 == 0;
  // Predict and split; for even lengths the last detail mirrors x[n] = x[n - 2].
  split_predict(x, n, even ? nd - 1 : nd, s, d, kCdf53Predict);
  if (even) {
    s[nd - 1] = x[n - 2];
    d[nd - 1] = std::fma(2.0f * x[n - 2], kCdf53Predict, x[n - 1]);
  } else {
    s[na - 1] = x[n - 1];
  }
  // Update: the left border mirrors d[-1] = d[0]; every interior sample
  // s[1 .. na-2] takes its two neighbours; the right border takes the pair
  // d[na-2], d[nd-1], which for odd lengths is the mirror d[nd] = d[nd-1].
  s[0] = std::fma(2.0f * d[0], kCdf53Update, s[0]);
  lift_sum(s + 1, d, d + 1, na - 2, kCdf53Update);
  s[na - 1] = std::fma(d[na - 2] + d[nd - 1], kCdf53Update, s[na - 1]);
}

void Cdf53Inverse(const float* HWY_RESTRICT approximation, const float* HWY_RESTRICT details,
                  std::size_t n, float* HWY_RESTRICT s, float* HWY_RESTRICT y) {
  const std::size_t na = n - n / 2;
  const std::size_t nd = n / 2;
  const float* d = details;
  // Undo the update into the work copy of the approximation.
  s[0] = std::fma(2.0f * d[0], -kCdf53Update, approximation[0]);
  lift_sum(s + 1, approximation + 1, d, d + 1, std::min(na - 1, nd - 1), -kCdf53Update);
  if (na != nd) s[na - 1] = std::fma(2.0f * d[nd - 1], -kCdf53Update, approximation[na - 1]);
  // Undo the predict while interleaving the two bands; for even lengths the
  // last detail mirrors s[nd] = s[nd - 1].
  predict_merge(s, d, std::min(na - 1, nd), -kCdf53Predict, y);
  if (na == nd) {
    y[n - 2] = s[nd - 1];
    y[n - 1] = std::fma(2.0f * s[nd - 1], -kCdf53Predict, d[nd - 1]);
  } else {
    y[n - 1] = s[na - 1];
  }
}

}  // namespace lumvet::neon::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumvet::neon {

HWY_EXPORT(Cdf53Forward);
HWY_EXPORT(Cdf53Inverse);

void cdf53_forward_f32(const float* input, std::size_t n, float* approximation, float* details) {
  HWY_DYNAMIC_DISPATCH(Cdf53Forward)(input, n, approximation, details);
}

void cdf53_inverse_f32(const float* approximation, const float* details, std::size_t n,
                       float* work_a, float* output) {
  HWY_DYNAMIC_DISPATCH(Cdf53Inverse)(approximation, details, n, work_a, output);
}

}  // namespace lumvet::neon
#endif  // HWY_ONCE
