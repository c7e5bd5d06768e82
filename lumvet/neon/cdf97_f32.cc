#include "lumvet/neon/cdf97_f32.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/cdf97_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include "hwy/highway.h"
#include "lumvet/neon/lifting_ops-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet::neon::HWY_NAMESPACE {

// Samples per chunk of the even band: a chunk of input, both bands and the
// inverse's work copies stay in the first-level data cache while all lifting
// steps pass over it.
constexpr std::size_t kChunk = 1024;

// The even update (update steps and their inverses) is defined blockwise: the
// interior s[1 .. ne-2] is walked as three sequences, each cut into blocks of
// 16 at its own origin, E = s[1 .. ne-2], A = d[0 .. no-1] and
// B = d[1 .. no-1]. Whole blocks of E are updated with A and B; the three
// remainders are then walked together as far as the shortest of them reaches.
// When A's or B's remainder starts in a different block than E's (no a
// multiple of 16, or ne == no with no - 1 a multiple of 16: signal lengths
// >= 32 with length mod 32 in {0, 1, 2}) that walk is empty and the last 14 or
// 15 interior samples keep their value. Stored streams depend on exactly this
// rule; the inverse applies the same one, so the pair stays exact.
//
// Since ne is no or no + 1, the remainders can only be walked together when
// all three start in the same block, and then they pair d[j - 1] with d[j]
// like the blocks do. So the rule updates exactly s[1 .. 1 + 16m + r) with the
// ordinary pair, m = (ne - 2) / 16 and r the length of that walk.
LevelBands cdf97_bands(std::size_t n) {
  const std::size_t na = n - n / 2;
  const std::size_t nd = n / 2;
  const std::size_t interior = na - 2;
  const std::size_t walk = std::min({interior % 16, nd % 16, (nd - 1) % 16});
  return {n, na, nd, 1 + interior / 16 * 16 + walk};
}

// Advances a step to `to` (clipped to `length`) from where it stopped.
template <class Step>
HWY_INLINE void advance(std::size_t& done, std::size_t to, std::size_t length, Step step) {
  to = std::min(to, length);
  if (to > done) {
    step(done, to);
    done = to;
  }
}

// Forward: predict 1 (alpha) with the split, update 1 (beta), predict 2
// (gamma), update 2 (delta), then scaling by K and by the details scale. Each
// chunk runs every step as far as its inputs are final: a predict of d[i]
// needs s[i + 1], an update of s[j] needs d[j], and a detail is scaled only
// once the update of s[i + 1] has read it.
template <class Input>
HWY_INLINE void forward_level(Input& x, std::size_t n, float* HWY_RESTRICT s,
                              float* HWY_RESTRICT d) {
  const LevelBands b = cdf97_bands(n);
  std::size_t p1 = 0, u1 = 0, p2 = 0, u2 = 0, scaled_d = 0;
  for (std::size_t hi = std::min(kChunk, b.na);; hi = std::min(hi + kChunk, b.na)) {
    const bool last = hi == b.na;
    advance(p1, hi, b.na, [&](std::size_t i0, std::size_t i1) {
      std::size_t available;
      const float* xs = x.pairs(b, i0, i1, available);
      split_predict_range(xs, available, s, d, b, i0, i1, kCdf97Alpha);
    });
    advance(u1, hi, b.na,
            [&](std::size_t j0, std::size_t j1) { update_range(s, s, d, b, j0, j1, kCdf97Beta); });
    advance(p2, last ? b.nd : hi - 1, b.nd,
            [&](std::size_t i0, std::size_t i1) { predict_range(d, s, b, i0, i1, kCdf97Gamma); });
    advance(u2, last ? b.na : hi - 1, b.na, [&](std::size_t j0, std::size_t j1) {
      update_range<Scaling::After>(s, s, d, b, j0, j1, kCdf97Delta, kCdf97K);
    });
    advance(scaled_d, last ? b.nd : hi - 2, b.nd,
            [&](std::size_t i0, std::size_t i1) { scale(d + i0, i1 - i0, kCdf97InvK); });
    if (last) break;
  }
}

void Cdf97Forward(const float* HWY_RESTRICT x, std::size_t n, float* HWY_RESTRICT s,
                  float* HWY_RESTRICT d) {
  ArrayInput input{x};
  forward_level(input, n, s, d);
}

void Cdf97ForwardFrom(const SampleSource& source, std::size_t n, float* HWY_RESTRICT s,
                      float* HWY_RESTRICT d) {
  PulledInput<kChunk> input{source};
  forward_level(input, n, s, d);
}

// Inverse: undo update 2 (unscaling the approximation on its way into the
// work copy, after the details were unscaled into theirs), predict 2 and
// update 1, then undo predict 1 while interleaving into the output; chunked
// like the forward step. The work copies are chunk-sized windows that slide
// along, keeping only the samples a later step still reads.
template <class Bands, class Output>
HWY_INLINE void inverse_level(Bands& bands, std::size_t n, Output& y) {
  const LevelBands b = cdf97_bands(n);
  HWY_ALIGN float s_buffer[kChunk + 16];
  HWY_ALIGN float d_buffer[kChunk + 16];
  Window s{s_buffer, 0};
  Window d{d_buffer, 0};
  std::size_t copied_d = 0, u2 = 0, p2 = 0, u1 = 0, merged = 0;
  for (std::size_t hi = std::min(kChunk, b.na);; hi = std::min(hi + kChunk, b.na)) {
    const bool last = hi == b.na;
    advance(copied_d, hi, b.nd,
            [&](std::size_t i0, std::size_t i1) { bands.scaled_details(d + i0, i0, i1, kCdf97K); });
    advance(u2, hi, b.na, [&](std::size_t j0, std::size_t j1) {
      const auto approximation = bands.approximation_range(j0, j1);
      update_range<Scaling::Before>(s, approximation, d, b, j0, j1, -kCdf97Delta, kCdf97InvK);
    });
    advance(p2, last ? b.nd : hi - 1, b.nd,
            [&](std::size_t i0, std::size_t i1) { predict_range(d, s, b, i0, i1, -kCdf97Gamma); });
    advance(u1, last ? b.na : hi - 1, b.na,
            [&](std::size_t j0, std::size_t j1) { update_range(s, s, d, b, j0, j1, -kCdf97Beta); });
    advance(merged, last ? b.na : hi - 2, b.na, [&](std::size_t i0, std::size_t i1) {
      predict_merge_range(s, d, y.pairs(i0), b, i0, i1, -kCdf97Alpha);
      y.written(b, i0, i1);
    });
    if (last) break;
    // Later steps read from d[u2 - 1], s[p2], d[u1 - 1] and s[merged] on.
    const std::size_t keep = std::min({u2 - 1, p2, u1 - 1, merged});
    std::memmove(s_buffer, s + keep, (u2 - keep) * sizeof(float));
    std::memmove(d_buffer, d + keep, (copied_d - keep) * sizeof(float));
    s.base = keep;
    d.base = keep;
  }
}

void Cdf97Inverse(const float* HWY_RESTRICT approximation, const float* HWY_RESTRICT details,
                  std::size_t n, float* HWY_RESTRICT y) {
  ArrayBands bands{approximation, details};
  ArrayOutput output{y};
  inverse_level(bands, n, output);
}

// The last merges of a chunk wait for the updates of the next: two pairs
// held back.
void Cdf97InversePulled(const SampleSource& approximation, const SampleSource& details,
                        std::size_t n, float* y, const SampleSink* sink) {
  inverse_pulled<kChunk, 2>(
      [](auto& bands, std::size_t m, auto& output) { inverse_level(bands, m, output); },
      approximation, details, n, y, sink);
}

}  // namespace lumvet::neon::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumvet::neon {

HWY_EXPORT(Cdf97Forward);
HWY_EXPORT(Cdf97ForwardFrom);
HWY_EXPORT(Cdf97Inverse);
HWY_EXPORT(Cdf97InversePulled);

void cdf97_forward_f32(const float* input, std::size_t n, float* approximation, float* details) {
  HWY_DYNAMIC_DISPATCH(Cdf97Forward)(input, n, approximation, details);
}

void cdf97_forward_from_f32(const SampleSource& source, std::size_t n, float* approximation,
                            float* details) {
  HWY_DYNAMIC_DISPATCH(Cdf97ForwardFrom)(source, n, approximation, details);
}

void cdf97_inverse_f32(const float* approximation, const float* details, std::size_t n,
                       float* output) {
  HWY_DYNAMIC_DISPATCH(Cdf97Inverse)(approximation, details, n, output);
}

void cdf97_inverse_from_f32(const SampleSource& approximation, const SampleSource& details,
                            std::size_t n, float* output) {
  HWY_DYNAMIC_DISPATCH(Cdf97InversePulled)(approximation, details, n, output, nullptr);
}

void cdf97_inverse_to_f32(const SampleSource& approximation, const SampleSource& details,
                          std::size_t n, const SampleSink& output) {
  HWY_DYNAMIC_DISPATCH(Cdf97InversePulled)(approximation, details, n, nullptr, &output);
}

}  // namespace lumvet::neon
#endif  // HWY_ONCE
