#include "lumvet/neon/cdf53_f32.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/cdf53_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include "hwy/highway.h"
#include "lumvet/neon/lifting_ops-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet::neon::HWY_NAMESPACE {

// Samples per chunk of the even band, small enough for the chunk's input and
// outputs to stay in the first-level data cache between the two steps.
constexpr std::size_t kChunk = 2048;

// Every interior approximation sample takes its update (no skipped stretch).
LevelBands cdf53_bands(std::size_t n) {
  const std::size_t na = n - n / 2;
  return {n, na, n / 2, na - 1};
}

// Forward: predict (-1/2) with the split, then update (1/4), chunk by chunk;
// the update of s[j] waits for d[j].
template <class Input>
HWY_INLINE void forward_level(Input& x, std::size_t n, float* HWY_RESTRICT s,
                              float* HWY_RESTRICT d) {
  const LevelBands b = cdf53_bands(n);
  for (std::size_t lo = 0; lo < b.na; lo += kChunk) {
    const std::size_t hi = std::min(lo + kChunk, b.na);
    std::size_t available;
    const float* xs = x.pairs(b, lo, hi, available);
    split_predict_range(xs, available, s, d, b, lo, hi, kCdf53Predict);
    update_range(s, s, d, b, lo, hi, kCdf53Update);
  }
}

void Cdf53Forward(const float* HWY_RESTRICT x, std::size_t n, float* HWY_RESTRICT s,
                  float* HWY_RESTRICT d) {
  ArrayInput input{x};
  forward_level(input, n, s, d);
}

void Cdf53ForwardFrom(const SampleSource& source, std::size_t n, float* HWY_RESTRICT s,
                      float* HWY_RESTRICT d) {
  PulledInput<kChunk> input{source};
  forward_level(input, n, s, d);
}

// Inverse: undo the update into a work copy of the approximation, then undo
// the predict while interleaving into the output, which for pair i waits for
// s[i + 1]. The work copy is a chunk-sized window sliding along.
template <class Bands, class Output>
HWY_INLINE void inverse_level(Bands& bands, std::size_t n, Output& y) {
  const LevelBands b = cdf53_bands(n);
  HWY_ALIGN float s_buffer[kChunk + 16];
  Window s{s_buffer, 0};
  std::size_t merged = 0;
  for (std::size_t lo = 0; lo < b.na; lo += kChunk) {
    const std::size_t hi = std::min(lo + kChunk, b.na);
    // The update of s[j] reads d[j - 1] and d[j], the merge d from `merged`.
    const auto d = bands.details_range(merged, std::min(hi, b.nd));
    update_range(s, bands.approximation_range(lo, hi), d, b, lo, hi, -kCdf53Update);
    const std::size_t to = hi == b.na ? b.na : hi - 1;
    predict_merge_range(s, d, y.pairs(merged), b, merged, to, -kCdf53Predict);
    y.written(b, merged, to);
    merged = to;
    std::memmove(s_buffer, s + merged, (hi - merged) * sizeof(float));
    s.base = merged;
  }
}

void Cdf53Inverse(const float* HWY_RESTRICT approximation, const float* HWY_RESTRICT details,
                  std::size_t n, float* HWY_RESTRICT y) {
  ArrayBands bands{approximation, details};
  ArrayOutput output{y};
  inverse_level(bands, n, output);
}

// The merge of pair i waits for the update of s[i + 1]: one pair held back.
void Cdf53InversePulled(const SampleSource& approximation, const SampleSource& details,
                        std::size_t n, float* y, const SampleSink* sink) {
  inverse_pulled<kChunk, 1>(
      [](auto& bands, std::size_t m, auto& output) { inverse_level(bands, m, output); },
      approximation, details, n, y, sink);
}

}  // namespace lumvet::neon::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumvet::neon {

HWY_EXPORT(Cdf53Forward);
HWY_EXPORT(Cdf53ForwardFrom);
HWY_EXPORT(Cdf53Inverse);
HWY_EXPORT(Cdf53InversePulled);

void cdf53_forward_f32(const float* input, std::size_t n, float* approximation, float* details) {
  HWY_DYNAMIC_DISPATCH(Cdf53Forward)(input, n, approximation, details);
}

void cdf53_forward_from_f32(const SampleSource& source, std::size_t n, float* approximation,
                            float* details) {
  HWY_DYNAMIC_DISPATCH(Cdf53ForwardFrom)(source, n, approximation, details);
}

void cdf53_inverse_f32(const float* approximation, const float* details, std::size_t n,
                       float* output) {
  HWY_DYNAMIC_DISPATCH(Cdf53Inverse)(approximation, details, n, output);
}

void cdf53_inverse_from_f32(const SampleSource& approximation, const SampleSource& details,
                            std::size_t n, float* output) {
  HWY_DYNAMIC_DISPATCH(Cdf53InversePulled)(approximation, details, n, output, nullptr);
}

void cdf53_inverse_to_f32(const SampleSource& approximation, const SampleSource& details,
                          std::size_t n, const SampleSink& output) {
  HWY_DYNAMIC_DISPATCH(Cdf53InversePulled)(approximation, details, n, nullptr, &output);
}

}  // namespace lumvet::neon
#endif  // HWY_ONCE
