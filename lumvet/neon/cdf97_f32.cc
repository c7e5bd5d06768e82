#include "lumvet/neon/cdf97_f32.h"

#include <algorithm>
#include <cmath>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/cdf97_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include "hwy/highway.h"
#include "lumvet/neon/lifting_ops-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet::neon::HWY_NAMESPACE {

// The even-sample update of both update steps and of their inverses: s (ne
// samples) receives c times the sum of its two detail neighbours.
//
// The interior s[1 .. ne-2] is walked as three sequences, each cut into
// blocks of 16 at its own origin: E = s[1 .. ne-2], A = d[0 .. no-1] and
// B = d[1 .. no-1]. Whole blocks of E are updated with A and B; the three
// remainders are then walked together, as far as the shortest of them. When
// A's or B's remainder starts in a different block than E's (no a multiple of
// 16, or ne == no with no - 1 a multiple of 16: signal lengths >= 32 with
// length mod 32 in {0, 1, 2}) that walk is empty and the last 14 or 15
// interior samples keep their value. Stored streams depend on exactly this
// rule; the inverse applies the same routine, so the pair stays exact.
HWY_INLINE void dwt97_forward_update_even(float* s, std::size_t ne, const float* d, std::size_t no,
                                          float c) {
  // Left border mirrors d[-1] = d[0].
  s[0] = std::fma(2.0f * d[0], c, s[0]);
  const std::size_t interior = ne - 2;
  const std::size_t blocked = interior / 16 * 16;
  lift_sum(s + 1, d, d + 1, blocked, c);
  const std::size_t tail_a = no / 16 * 16;
  const std::size_t tail_b = (no - 1) / 16 * 16;
  const std::size_t walk = std::min({interior % 16, no % 16, (no - 1) % 16});
  lift_sum(s + 1 + blocked, d + tail_a, d + 1 + tail_b, walk, c);
  // Right border: the ordinary pair for even lengths (ne == no); for odd
  // lengths both terms are d[no - 1], the mirror d[no] = d[no - 1].
  s[ne - 1] = std::fma(d[ne - 2] + d[no - 1], c, s[ne - 1]);
}

// d[i] = fma(s[i] + s[i + 1], c, d[i]); for even lengths (ne == no) the last
// detail mirrors s[ne] = s[ne - 1].
HWY_INLINE void predict_odd(float* d, std::size_t no, const float* s, std::size_t ne, float c) {
  lift_sum(d, s, s + 1, std::min(ne - 1, no), c);
  if (ne == no) d[no - 1] = std::fma(2.0f * s[no - 1], c, d[no - 1]);
}

void Cdf97Forward(const float* HWY_RESTRICT x, std::size_t n, float* HWY_RESTRICT s,
                  float* HWY_RESTRICT d) {
  const std::size_t na = n - n / 2;
  const std::size_t nd = n / 2;
  const bool even = n % 2 == 0;
  // Predict 1 and split. For even lengths the last detail has no right
  // neighbour and mirrors x[n] = x[n - 2].
  split_predict(x, n, even ? nd - 1 : nd, s, d, kCdf97Alpha);
  if (even) {
    s[nd - 1] = x[n - 2];
    d[nd - 1] = std::fma(2.0f * x[n - 2], kCdf97Alpha, x[n - 1]);
  } else {
    s[na - 1] = x[n - 1];
  }
  dwt97_forward_update_even(s, na, d, nd, kCdf97Beta);
  predict_odd(d, nd, s, na, kCdf97Gamma);
  dwt97_forward_update_even(s, na, d, nd, kCdf97Delta);
  scale(s, na, kCdf97K);
  scale(d, nd, kCdf97InvK);
}

void Cdf97Inverse(const float* HWY_RESTRICT approximation, const float* HWY_RESTRICT details,
                  std::size_t n, float* HWY_RESTRICT s, float* HWY_RESTRICT d,
                  float* HWY_RESTRICT y) {
  const std::size_t na = n - n / 2;
  const std::size_t nd = n / 2;
  scaled_copy(s, approximation, na, kCdf97InvK);
  scaled_copy(d, details, nd, kCdf97K);
  dwt97_forward_update_even(s, na, d, nd, -kCdf97Delta);
  predict_odd(d, nd, s, na, -kCdf97Gamma);
  dwt97_forward_update_even(s, na, d, nd, -kCdf97Beta);
  // Undo predict 1 while interleaving the two bands.
  predict_merge(s, d, std::min(na - 1, nd), -kCdf97Alpha, y);
  if (na == nd) {
    y[n - 2] = s[nd - 1];
    y[n - 1] = std::fma(2.0f * s[nd - 1], -kCdf97Alpha, d[nd - 1]);
  } else {
    y[n - 1] = s[na - 1];
  }
}

}  // namespace lumvet::neon::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumvet::neon {

HWY_EXPORT(Cdf97Forward);
HWY_EXPORT(Cdf97Inverse);

void cdf97_forward_f32(const float* input, std::size_t n, float* approximation, float* details) {
  HWY_DYNAMIC_DISPATCH(Cdf97Forward)(input, n, approximation, details);
}

void cdf97_inverse_f32(const float* approximation, const float* details, std::size_t n,
                       float* work_a, float* work_d, float* output) {
  HWY_DYNAMIC_DISPATCH(Cdf97Inverse)(approximation, details, n, work_a, work_d, output);
}

}  // namespace lumvet::neon
#endif  // HWY_ONCE
