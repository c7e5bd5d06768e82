// The forward transforms of the search: every level's bands summarised as
// they are made, and a candidate's coefficients made again to the levels it
// uses. Each band's weight in the samples' error is measured once per
// wavelet.
#include "quarnel/bounded/decomposition.h"

#include <algorithm>
#include <utility>

#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

namespace {

// The shortest input a level of several may transform.
std::size_t min_level_input(WaveletMethod method, const lumvet::DwtExecutor& executor) {
  switch (method) {
    case WaveletMethod::cdf53:
      return 3;
    case WaveletMethod::cdf97:
      return 4;
    default:
      return executor.filter_length();
  }
}

SynthesisWeights measure_weights(WaveletMethod method) {
  SynthesisWeights w;
  const auto executor = make_executor(method);
  constexpr std::size_t kLength = 8192;  // ten levels deep for every wavelet
  for (unsigned levels = 1; levels <= kMaxLevels; ++levels) {
    const BandLayout layout = band_layout(*executor, kLength, levels);
    std::vector<std::vector<float>> details;
    for (const auto& level : layout.levels) details.emplace_back(level.details_length, 0.0f);
    std::vector<float> approximation(layout.approximation_length(), 0.0f);
    const auto energy = [&](std::vector<float>& band) {
      band[band.size() / 2] = 1.0f;
      lumvet::MultiDwtRef ref;
      for (const auto& d : details) ref.details.emplace_back(d);
      ref.approximation = approximation;
      const auto out = executor->multi_idwt(ref);
      band[band.size() / 2] = 0.0f;
      double e = 0.0;
      if (out) {
        for (const float y : *out) e += static_cast<double>(y) * y;
      }
      return e > 0.0 ? e : 1.0;
    };
    w.approximation[levels - 1] = energy(approximation);
    w.detail[levels - 1] = energy(details.back());
  }
  return w;
}

const SynthesisWeights& synthesis_weights(WaveletMethod method) {
  static const std::array<SynthesisWeights, 4> weights = {
      measure_weights(WaveletMethod::cdf53), measure_weights(WaveletMethod::cdf97),
      measure_weights(WaveletMethod::db4), measure_weights(WaveletMethod::sym4)};
  return weights[static_cast<std::size_t>(method)];
}

// One forward level of `input`, or for an empty one the first level, with
// the normalised signal pulled into it.
std::expected<void, QuarnelError> forward(const Signal& s, const Decomposition& d,
                                          std::span<const float> input,
                                          std::span<float> approximation,
                                          std::span<float> details) {
  NormalisedSignal signal(s, s.mean);
  const auto done = input.empty() ? d.executor->execute_forward_from(signal.source(), d.length,
                                                                     approximation, details)
                                  : d.executor->execute_forward(input, approximation, details);
  if (!done) return std::unexpected(QuarnelError::transform_failed(done.error().message()));
  return {};
}

}  // namespace

Decomposition plan(const Signal& s, WaveletMethod method) {
  Decomposition d;
  d.method = method;
  d.executor = make_executor(method);
  d.weights = &synthesis_weights(method);
  d.length = std::max<std::size_t>(s.samples.size(), d.executor->filter_length());
  d.levels = 1;
  const std::size_t shortest = min_level_input(method, *d.executor);
  std::size_t length = d.executor->dwt_size(d.length).approximation_length;
  while (d.levels < kMaxLevels && length >= shortest) {
    ++d.levels;
    length = d.executor->dwt_size(length).approximation_length;
  }
  return d;
}

std::array<std::size_t, 2> arena_lengths(const Signal& s, const Decomposition& d) {
  const lumvet::DwtSize size = d.executor->dwt_size(d.length);
  // The coarser levels' reconstructions are one sample longer than the first
  // level's approximation at most (a convolution wavelet's); the coefficient
  // bytes are two per coefficient, which more levels only make more of.
  const std::size_t coefficients =
      band_layout(*d.executor, s.samples.size(), static_cast<unsigned>(d.levels))
          .coefficient_count();
  std::array<std::size_t, 2> lengths = {
      std::max(size.approximation_length + 1, (coefficients + 1) / 2), size.details_length};
  std::size_t input = size.approximation_length;
  for (std::size_t k = 1; k < d.levels; ++k) {
    const lumvet::DwtSize next = d.executor->dwt_size(input);
    std::size_t& length = lengths[k % 2];
    length = std::max(length, next.approximation_length + next.details_length);
    input = next.approximation_length;
  }
  return lengths;
}

std::expected<Decomposition, QuarnelError> decompose(const Signal& s, WaveletMethod method,
                                                     Arena& arena) {
  Decomposition d = plan(s, method);
  std::span<const float> input;
  for (std::size_t k = 0; k < d.levels; ++k) {
    const lumvet::DwtSize size = d.executor->dwt_size(k == 0 ? d.length : input.size());
    std::span<float> approximation, details;
    if (k == 0) {
      approximation = std::span<float>(arena.first).first(size.approximation_length);
      details = std::span<float>(arena.second).first(size.details_length);
    } else {
      const std::span<float> bands = k % 2 ? arena.second : arena.first;
      approximation = bands.first(size.approximation_length);
      details = bands.subspan(size.approximation_length, size.details_length);
    }
    QUARNEL_TRY(forward(s, d, input, approximation, details));
    d.details.emplace_back(details);
    d.approximations.emplace_back(approximation);
    input = approximation;
  }
  return d;
}

std::expected<Coefficients, QuarnelError> coefficients(const Signal& s, const Decomposition& d,
                                                       std::size_t levels, Arena& arena) {
  Coefficients c;
  const lumvet::DwtSize size = d.executor->dwt_size(d.length);
  const auto approximation = std::span<float>(arena.first).first(size.approximation_length);
  const auto details = std::span<float>(arena.second).first(size.details_length);
  QUARNEL_TRY(forward(s, d, {}, approximation, details));
  c.bands.details.push_back(details);
  c.bands.approximation = approximation;
  if (levels == 1) return c;
  c.work = arena.first;
  // The approximations between the levels go to alternate ends of the work,
  // where they fit, but for the second level's, made while the first level's
  // fills the work, and the last, which the decodes read while they work
  // there: those get memory of their own.
  Floats held;
  for (std::size_t k = 1; k < levels; ++k) {
    const std::span<const float> input = c.bands.approximation;
    const lumvet::DwtSize size_k = d.executor->dwt_size(input.size());
    const std::size_t length = size_k.approximation_length;
    Floats own;
    std::span<float> next;
    if (k == 1 || k + 1 == levels || input.size() + length > c.work.size()) {
      own = Floats(length);
      next = own;
    } else {
      next = input.data() == c.work.data() ? c.work.last(length) : c.work.first(length);
    }
    Floats next_details(size_k.details_length);
    QUARNEL_TRY(forward(s, d, input, next, next_details));
    c.bands.details.emplace_back(next_details);
    c.coarser.push_back(std::move(next_details));
    c.bands.approximation = next;
    held = std::move(own);  // the approximation before goes
  }
  c.coarser.push_back(std::move(held));
  return c;
}

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel
