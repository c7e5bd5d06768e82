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

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "hwy/highway.h"
#include "lumvet/sample_source.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet::neon::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// On AVX-512 targets a vector of lanes 1 .. 16 of the concatenation (cur,
// next), i.e. the sequence advanced by one sample, costs one permute.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
#define LUMVET_HAS_LANE_SHIFT 1
HWY_INLINE hn::Vec512<float> shift_in_next(hn::Vec512<float> cur, hn::Vec512<float> next) {
  const __m512i lanes_1_to_16 =
      _mm512_setr_epi32(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
  return hn::Vec512<float>{_mm512_permutex2var_ps(cur.raw, lanes_1_to_16, next.raw)};
}
#else
#define LUMVET_HAS_LANE_SHIFT 0
#endif

// Where a lifting update may fold in a scaling pass over the same samples:
// none, the target scaled by k before the update (the inverse's unscaling), or
// the result scaled by k after it (the forward's final scaling). Each is its
// own rounding, exactly as in a separate pass.
enum class Scaling { None, Before, After };

template <Scaling kScaling>
HWY_INLINE float lift_one(float a, float b, float c, float t, float k) {
  if constexpr (kScaling == Scaling::Before) t *= k;
  float r = std::fma(a + b, c, t);
  if constexpr (kScaling == Scaling::After) r *= k;
  return r;
}

// dst[i] = fma(a[i] + b[i], c, t[i]) for i < count, with the scaling of
// kScaling by k; dst may be t (in place) but neither may overlap a or b.
template <Scaling kScaling = Scaling::None>
HWY_INLINE void lift_sum(float* dst, const float* t, const float* a, const float* b,
                         std::size_t count, float c, float k = 1.0f) {
  std::size_t i = 0;
#if HWY_NATIVE_FMA
  const hn::ScalableTag<float> df;
  const std::size_t lanes = hn::Lanes(df);
  const auto vc = hn::Set(df, c);
  const auto vk = hn::Set(df, k);
  auto one = [&](std::size_t at) {
    auto target = hn::LoadU(df, t + at);
    if constexpr (kScaling == Scaling::Before) target = hn::Mul(target, vk);
    auto r = hn::MulAdd(hn::Add(hn::LoadU(df, a + at), hn::LoadU(df, b + at)), vc, target);
    if constexpr (kScaling == Scaling::After) r = hn::Mul(r, vk);
    return r;
  };
#if LUMVET_HAS_LANE_SHIFT
  // Pair sums of one sequence (b == a + 1): each vector of a is loaded once
  // and its neighbour vector is formed by a lane shift, which relieves the
  // load ports that bound this loop.
  if (b == a + 1 && count >= lanes) {
    auto cur = hn::LoadU(df, a);
    for (; i + 2 * lanes <= count + 1; i += lanes) {
      const auto next = hn::LoadU(df, a + i + lanes);
      auto target = hn::LoadU(df, t + i);
      if constexpr (kScaling == Scaling::Before) target = hn::Mul(target, vk);
      auto r = hn::MulAdd(hn::Add(cur, shift_in_next(cur, next)), vc, target);
      if constexpr (kScaling == Scaling::After) r = hn::Mul(r, vk);
      hn::StoreU(r, df, dst + i);
      cur = next;
    }
  }
#endif
  for (; i + 2 * lanes <= count; i += 2 * lanes) {
    const auto r0 = one(i);
    const auto r1 = one(i + lanes);
    hn::StoreU(r0, df, dst + i);
    hn::StoreU(r1, df, dst + i + lanes);
  }
  for (; i + lanes <= count; i += lanes) hn::StoreU(one(i), df, dst + i);
#endif
  for (; i < count; ++i) dst[i] = lift_one<kScaling>(a[i], b[i], c, t[i], k);
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
#if LUMVET_HAS_LANE_SHIFT
  // The even samples x[2i + 2 ...] are the current even vector advanced by
  // one lane; each pair of input vectors is loaded once.
  if (pairs >= lanes && 4 * lanes <= n) {
    V even, odd;
    hn::LoadInterleaved2(df, x, even, odd);
    for (; i + lanes <= pairs && 2 * (i + 2 * lanes) <= n; i += lanes) {
      V next_even, next_odd;
      hn::LoadInterleaved2(df, x + 2 * (i + lanes), next_even, next_odd);
      hn::StoreU(even, df, s + i);
      hn::StoreU(hn::MulAdd(hn::Add(even, shift_in_next(even, next_even)), vc, odd), df, d + i);
      even = next_even;
      odd = next_odd;
    }
  }
#endif
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

// dst[i] = src[i] * k for i < n. dst may be src itself (scaling in place);
// otherwise the two must not overlap.
HWY_INLINE void scaled_copy(float* dst, const float* src, std::size_t n, float k) {
  std::size_t i = 0;
#if HWY_NATIVE_FMA
  const hn::ScalableTag<float> df;
  const std::size_t lanes = hn::Lanes(df);
  const auto vk = hn::Set(df, k);
  for (; i + lanes <= n; i += lanes) hn::StoreU(hn::Mul(hn::LoadU(df, src + i), vk), df, dst + i);
#endif
  for (; i < n; ++i) dst[i] = src[i] * k;
}

// p[i] *= k for i < n.
HWY_INLINE void scale(float* p, std::size_t n, float k) {
  scaled_copy(p, p, n, k);
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
#if LUMVET_HAS_LANE_SHIFT
  if (pairs >= lanes) {
    auto even = hn::LoadU(df, s);
    for (; i + 2 * lanes <= pairs + 1; i += lanes) {
      const auto next = hn::LoadU(df, s + i + lanes);
      const auto odd =
          hn::MulAdd(hn::Add(even, shift_in_next(even, next)), vc, hn::LoadU(df, d + i));
      hn::StoreInterleaved2(even, odd, df, y + 2 * i);
      even = next;
    }
  }
#endif
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

// ---------------------------------------------------------------------------
// The lifting steps over a sub-range of one level, so that a level can be
// walked in cache-sized chunks: every sample still receives exactly the same
// operations in the same order, only interleaved between the steps.

// Lengths of one level of n samples: na = n - n/2 even-indexed samples become
// the approximation, nd = n/2 odd-indexed ones the details. Interior
// approximation samples s[1 .. updated_end) receive the even update; the
// others up to s[na - 2] keep their value.
struct LevelBands {
  std::size_t n;
  std::size_t na;
  std::size_t nd;
  std::size_t updated_end;
};

// A window onto positions [base, base + capacity) of a longer sequence,
// addressed by positions in the whole sequence, so that the range steps below
// can run on a small chunk-sized work buffer as on a full-length one.
struct Window {
  float* data;
  std::size_t base;
  float* operator+(std::size_t at) const { return data + (at - base); }
  float& operator[](std::size_t at) const { return data[at - base]; }
};

// Pairs i in [i0, i1) of the split and predict: s[i] = x[2i] and, for i < nd,
// d[i] = fma(x[2i] + x[2i + 2], c, x[2i + 1]). For even n the last detail has
// no right neighbour and mirrors x[n] = x[n - 2].
// `xs` holds x[2 i0 .. 2 i0 + available), at least up to x[2 i1] or the end
// of the signal: the vector loops load no further, and a result never depends
// on which loop computed it.
HWY_INLINE void split_predict_range(const float* HWY_RESTRICT xs, std::size_t available,
                                    float* HWY_RESTRICT s, float* HWY_RESTRICT d,
                                    const LevelBands& b, std::size_t i0, std::size_t i1, float c) {
  const bool even = b.na == b.nd;
  const std::size_t full = even ? b.nd - 1 : b.nd;  // pairs whose x[2i + 2] exists
  const std::size_t end = std::min(i1, full);
  if (end > i0) split_predict(xs, available, end - i0, s + i0, d + i0, c);
  if (i1 == b.na && i0 < i1) {
    const std::size_t last = b.na - 1;
    s[last] = xs[2 * last - 2 * i0];
    if (even) d[last] = std::fma(2.0f * xs[b.n - 2 - 2 * i0], c, xs[b.n - 1 - 2 * i0]);
  }
}

// A forward step's input: the whole signal in memory.
struct ArrayInput {
  const float* x;

  // x[2 i0 ...] for pairs [i0, i1) and how many samples it holds.
  const float* pairs(const LevelBands& b, std::size_t i0, std::size_t, std::size_t& available) {
    available = b.n - 2 * i0;
    return x + 2 * i0;
  }
};

// A forward step's input pulled from a SampleSource into a buffer of one
// chunk's pairs. Ranges come in order, each starting where the last ended:
// pairs [i0, i1) read x[2 i0 .. 2 i1], so x[2 i1] is carried over to the next
// range and every sample is pulled exactly once.
template <std::size_t kChunkPairs>
struct PulledInput {
  const SampleSource& source;
  std::size_t next = 0;  // the first sample not yet pulled
  float carried = 0.0f;  // the sample before it
  HWY_ALIGN float buffer[2 * kChunkPairs + 1];

  const float* pairs(const LevelBands& b, std::size_t i0, std::size_t i1, std::size_t& available) {
    const std::size_t from = 2 * i0;
    const std::size_t to = std::min(b.n, 2 * i1 + 1);
    const std::size_t have = next == from + 1 ? 1 : 0;
    if (have) buffer[0] = carried;
    if (to > from + have) source.fill(source.context, from + have, to - from - have, buffer + have);
    carried = buffer[to - from - 1];
    next = to;
    available = to - from;
    return buffer;
  }
};

// An inverse step's bands: both in memory.
struct ArrayBands {
  const float* approximation;
  const float* details;

  // Approximation samples [j0, j1), addressed by their positions.
  const float* approximation_range(std::size_t, std::size_t) const { return approximation; }
  // Detail samples [i0, i1), addressed by their positions, for a step that
  // only reads them.
  const float* details_range(std::size_t, std::size_t) const { return details; }
  // dst[0 .. i1 - i0) = details[i0 .. i1) * k.
  void scaled_details(float* HWY_RESTRICT dst, std::size_t i0, std::size_t i1, float k) const {
    scaled_copy(dst, details + i0, i1 - i0, k);
  }
};

// An inverse step's bands pulled from SampleSources, a chunk at a time: each
// sample once, in order, when the step first reads it.
template <std::size_t kChunkPairs>
struct PulledBands {
  PulledBands(const SampleSource& a, const SampleSource& d) : approximation(a), details(d) {}

  const SampleSource& approximation;
  const SampleSource& details;
  HWY_ALIGN float buffer[kChunkPairs];
  // The details a step only reads: from `kept` up to `pulled`.
  HWY_ALIGN float details_buffer[kChunkPairs + 16];
  std::size_t kept = 0;
  std::size_t pulled = 0;

  Window approximation_range(std::size_t j0, std::size_t j1) {
    approximation.fill(approximation.context, j0, j1 - j0, buffer);
    return Window{buffer, j0};
  }
  // Ranges come in order, each starting at or after the last one's start,
  // and span at most kChunkPairs + 16 samples.
  Window details_range(std::size_t i0, std::size_t i1) {
    std::copy(details_buffer + (i0 - kept), details_buffer + (pulled - kept), details_buffer);
    kept = i0;
    if (i1 > pulled)
      details.fill(details.context, pulled, i1 - pulled, details_buffer + (pulled - kept));
    pulled = std::max(pulled, i1);
    return Window{details_buffer, kept};
  }
  void scaled_details(float* HWY_RESTRICT dst, std::size_t i0, std::size_t i1, float k) {
    details.fill(details.context, i0, i1 - i0, dst);
    scale(dst, i1 - i0, k);  // the same product as scaled_copy's
  }
};

// Even update of s[j], j in [j0, j1): dst[j] = fma(d[j - 1] + d[j], c, src[j])
// for the updated interior, the left border mirroring d[-1] = d[0], the right
// border taking d[na - 2] + d[nd - 1] (for odd n the mirror d[nd] = d[nd - 1]),
// each with the scaling of kScaling by k. Interior samples past updated_end
// keep their value (scaled, or copied when dst != src).
template <Scaling kScaling = Scaling::None, class Dst, class Src, class Det>
HWY_INLINE void update_range(Dst dst, Src src, Det d, const LevelBands& b, std::size_t j0,
                             std::size_t j1, float c, float k = 1.0f) {
  if (j0 >= j1) return;
  if (j0 == 0) {
    dst[0] = lift_one<kScaling>(d[0], d[0], c, src[0], k);
    j0 = 1;
  }
  const std::size_t last = b.na - 1;
  const std::size_t interior_end = std::min(j1, last);
  const std::size_t pairs_end = std::min(interior_end, b.updated_end);
  if (pairs_end > j0) {
    lift_sum<kScaling>(dst + j0, src + j0, d + j0 - 1, d + j0, pairs_end - j0, c, k);
  }
  for (std::size_t j = std::max(j0, pairs_end); j < interior_end; ++j) {
    dst[j] = kScaling == Scaling::None ? src[j] : src[j] * k;
  }
  if (j1 == b.na && j0 <= last) {
    dst[last] = lift_one<kScaling>(d[b.na - 2], d[b.nd - 1], c, src[last], k);
  }
}

// Odd predict of d[i], i in [i0, i1): d[i] = fma(s[i] + s[i + 1], c, d[i]);
// for even n the last detail mirrors s[na] = s[na - 1].
template <class Det, class Src>
HWY_INLINE void predict_range(Det d, Src s, const LevelBands& b, std::size_t i0, std::size_t i1,
                              float c) {
  if (i0 >= i1) return;
  const std::size_t end = std::min(i1, b.na - 1);
  if (end > i0) lift_sum(d + i0, s + i0, s + i0 + 1, end - i0, c);
  if (b.na == b.nd && i1 == b.nd) d[b.nd - 1] = std::fma(2.0f * s[b.nd - 1], c, d[b.nd - 1]);
}

// Pairs i in [i0, i1) of the final inverse step: undo the predict and
// interleave, y[2i] = s[i], y[2i + 1] = fma(s[i] + s[i + 1], c, d[i]); the
// range ending at na also writes the last one or two output samples (the
// mirrored last detail for even n, the lone last approximation for odd n).
template <class Src, class Det, class Out>
HWY_INLINE void predict_merge_range(Src s, Det d, Out y, const LevelBands& b, std::size_t i0,
                                    std::size_t i1, float c) {
  if (i0 >= i1) return;
  const std::size_t full = b.na - 1;  // pairs whose s[i + 1] exists
  const std::size_t end = std::min(i1, full);
  if (end > i0) predict_merge(s + i0, d + i0, end - i0, c, y + 2 * i0);
  if (i1 == b.na) {
    const std::size_t last = b.na - 1;
    y[2 * last] = s[last];
    if (b.na == b.nd) y[2 * last + 1] = std::fma(2.0f * s[last], c, d[last]);
  }
}

// The range of output samples that pairs [i0, i1) of the final inverse step
// write: their own, and for the range ending at na the last one or two.
HWY_INLINE std::size_t merged_end(const LevelBands& b, std::size_t i1) {
  return i1 == b.na ? b.n : 2 * i1;
}

// An inverse step's output: the whole signal in memory.
struct ArrayOutput {
  float* y;

  // Where the pairs from i0 on are written, addressed by their positions.
  float* pairs(std::size_t) const { return y; }
  void written(const LevelBands&, std::size_t, std::size_t) const {}
};

// An inverse step's output pushed to a SampleSink: each range of at most
// kChunkPairs pairs is written into a buffer, then handed over.
template <std::size_t kChunkPairs>
struct PushedOutput {
  explicit PushedOutput(const SampleSink& s) : sink(s) {}

  const SampleSink& sink;
  HWY_ALIGN float buffer[2 * kChunkPairs];

  Window pairs(std::size_t i0) { return Window{buffer, 2 * i0}; }
  void written(const LevelBands& b, std::size_t i0, std::size_t i1) {
    sink.take(sink.context, 2 * i0, merged_end(b, i1) - 2 * i0, buffer);
  }
};

// An inverse level of a lifting kernel, run by level(bands, n, output), its
// chunked loop, with its bands pulled: into `y`, or with a sink pushed
// there, kChunkPairs pairs and the kHeldBack the chunk before held back at a
// time at most. The loops pull each chunk of both bands before they merge the
// pairs up to it, all but those held back: when sample j of either band is
// pulled, output samples from 2j - 2 on are still unwritten, so a source
// may read from the upper half of `y`.
template <std::size_t kChunkPairs, std::size_t kHeldBack, class Level>
HWY_INLINE void inverse_pulled(const Level& level, const SampleSource& approximation,
                               const SampleSource& details, std::size_t n, float* y,
                               const SampleSink* sink) {
  PulledBands<kChunkPairs> bands{approximation, details};
  if (sink) {
    PushedOutput<kChunkPairs + kHeldBack> pushed{*sink};
    level(bands, n, pushed);
  } else {
    ArrayOutput output{y};
    level(bands, n, output);
  }
}

}  // namespace lumvet::neon::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#undef LUMVET_HAS_LANE_SHIFT

#endif  // include guard toggle
