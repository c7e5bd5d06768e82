#include "lumvet/level_driver.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "lumvet/alloc_guard.h"

namespace lumvet {

namespace {

using K = LumvetErrorKind;

bool too_short(LevelDriverRules rules, std::size_t length) {
  return length < rules.minimum;
}

// The result list is grown as levels succeed; reserving more than this many
// entries up front would only turn an absurd level count into an allocation
// failure instead of the length test that stops it.
constexpr std::size_t kMaxReservedLevels = 64;

// One forward level into fresh zero-filled bands.
std::expected<Dwt, LumvetError> one_level(const IncompleteDwtExecutor& step,
                                          std::span<const float> input) {
  std::uint64_t pending = 0;
  return guard_allocation(pending, [&]() -> std::expected<Dwt, LumvetError> {
    const DwtSize size = step.dwt_size(input.size());
    Dwt level;
    pending = byte_size(size.approximation_length);
    level.approximation.assign(size.approximation_length, 0.0f);
    pending = byte_size(size.details_length);
    level.details.assign(size.details_length, 0.0f);
    if (auto status = step.execute_forward(input, level.approximation, level.details); !status) {
      return std::unexpected(status.error());
    }
    return level;
  });
}

}  // namespace

// The default pull: gather the whole input, then one ordinary step.
Status DwtForwardExecutor::execute_forward_from(const SampleSource& source,
                                                std::size_t input_length,
                                                std::span<float> approximation,
                                                std::span<float> details) const {
  std::uint64_t pending = byte_size(input_length);
  return guard_allocation(pending, [&]() -> Status {
    auto input = std::make_unique_for_overwrite<float[]>(input_length);
    if (input_length > 0) source.fill(source.context, 0, input_length, input.get());
    return execute_forward({input.get(), input_length}, approximation, details);
  });
}

// The default pull of the inverse: gather both bands, then the ordinary step
// into a zero-filled output (the convolution steps add into it).
Status DwtInverseExecutor::execute_inverse_from(const SampleSource& approximation,
                                                std::size_t approximation_length,
                                                const SampleSource& details,
                                                std::size_t details_length,
                                                std::span<float> output) const {
  std::uint64_t pending = byte_size(approximation_length);
  return guard_allocation(pending, [&]() -> Status {
    auto a = std::make_unique_for_overwrite<float[]>(approximation_length);
    pending = byte_size(details_length);
    auto d = std::make_unique_for_overwrite<float[]>(details_length);
    if (approximation_length > 0) {
      approximation.fill(approximation.context, 0, approximation_length, a.get());
    }
    if (details_length > 0) details.fill(details.context, 0, details_length, d.get());
    std::fill(output.begin(), output.end(), 0.0f);
    return execute_inverse({a.get(), approximation_length}, {d.get(), details_length}, output);
  });
}

// The default push: the whole output made in a buffer, then handed over.
Status DwtInverseExecutor::execute_inverse_to(const SampleSource& approximation,
                                              std::size_t approximation_length,
                                              const SampleSource& details,
                                              std::size_t details_length,
                                              const SampleSink& output) const {
  const std::size_t length = idwt_size(approximation_length, details_length);
  std::uint64_t pending = byte_size(length);
  return guard_allocation(pending, [&]() -> Status {
    auto buffer = std::make_unique_for_overwrite<float[]>(length);
    if (auto status = execute_inverse_from(approximation, approximation_length, details,
                                           details_length, {buffer.get(), length});
        !status) {
      return status;
    }
    if (length > 0) output.take(output.context, 0, length, buffer.get());
    return {};
  });
}

std::expected<Dwt, LumvetError> drive_dwt(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                                          std::span<const float> input, std::size_t level) {
  const bool lifting = rules.kind == LevelDriverKind::Lifting;
  if (lifting && too_short(rules, input.size())) {
    return lumvet_error(K::BufferTooSmallForLevel);
  }
  if (level <= 1) return one_level(step, input);

  // Each level transforms the approximation of the one before; the earlier
  // levels' bands are released as soon as the next level exists.
  std::expected<Dwt, LumvetError> current = Dwt{};
  for (std::size_t k = 0; k < level; ++k) {
    std::span<const float> source = k == 0 ? input : std::span<const float>(current->approximation);
    if (too_short(rules, source.size())) return lumvet_error(K::BufferTooSmallForLevel);
    auto next = one_level(step, source);
    if (!next) return next;
    current = std::move(next);
  }
  return current;
}

std::expected<MultiDwt, LumvetError> drive_multi_dwt(const IncompleteDwtExecutor& step,
                                                     LevelDriverRules rules,
                                                     std::span<const float> input,
                                                     std::size_t levels) {
  const bool lifting = rules.kind == LevelDriverKind::Lifting;
  if (lifting && too_short(rules, input.size())) {
    return lumvet_error(K::BufferTooSmallForLevel);
  }
  std::uint64_t pending = 0;
  return guard_allocation(pending, [&]() -> std::expected<MultiDwt, LumvetError> {
    MultiDwt result;
    if (levels <= 1) {
      auto level = one_level(step, input);
      if (!level) return std::unexpected(level.error());
      pending = byte_size(1, sizeof(Dwt));
      result.levels.push_back(std::move(*level));
      return result;
    }

    // Each level reads the approximation that the previous level stored in
    // the result, so a level costs exactly its two result bands: no work
    // buffers, no copies. The caller's samples are read in place.
    std::span<const float> current = input;
    const std::size_t reserved = std::min(levels, kMaxReservedLevels);
    pending = byte_size(reserved, sizeof(Dwt));
    result.levels.reserve(reserved);

    for (std::size_t k = 0; k < levels; ++k) {
      if (too_short(rules, current.size())) return lumvet_error(K::BufferTooSmallForLevel);
      auto level = one_level(step, current);
      if (!level) return std::unexpected(level.error());
      pending = byte_size(result.levels.size() + 1, sizeof(Dwt));
      result.levels.push_back(std::move(*level));
      // Moving a vector keeps its storage, so this view survives regrowth.
      current = result.levels.back().approximation;
    }
    return result;
  });
}

std::expected<std::vector<float>, LumvetError> drive_idwt(const IncompleteDwtExecutor& step,
                                                          LevelDriverRules rules,
                                                          const DwtRef& input) {
  const std::size_t a = input.approximation.size();
  const std::size_t d = input.details.size();
  std::size_t output_length = 0;
  if (rules.kind == LevelDriverKind::Convolution) {
    if (a != d) return lumvet_error(K::ApproxDetailsMismatch, a, d);
    output_length = step.idwt_size(a, a);
  } else {
    // The one-level step validates the band lengths against a + d.
    output_length = a + d;
  }
  std::uint64_t pending = byte_size(output_length);
  return guard_allocation(pending, [&]() -> std::expected<std::vector<float>, LumvetError> {
    // Convolution kernels add into the output, so it starts zero-filled.
    std::vector<float> output(output_length, 0.0f);
    if (auto status = step.execute_inverse(input.approximation, input.details, output); !status) {
      return std::unexpected(status.error());
    }
    return output;
  });
}

namespace {

// A band held in memory, offered as a source.
struct SpanSource {
  std::span<const float> band;

  static void fill(void* context, std::size_t from, std::size_t count, float* out) {
    const auto& self = *static_cast<const SpanSource*>(context);
    std::copy_n(self.band.data() + from, count, out);
  }
};

}  // namespace

std::expected<std::vector<float>, LumvetError> drive_multi_idwt(const IncompleteDwtExecutor& step,
                                                                LevelDriverRules rules,
                                                                const MultiDwtRef& input) {
  std::uint64_t pending = byte_size(input.details.size() + 1, sizeof(SpanSource));
  return guard_allocation(pending, [&]() -> std::expected<std::vector<float>, LumvetError> {
    std::vector<SpanSource> spans;
    spans.reserve(input.details.size() + 1);  // the sources point into it
    MultiDwtSource source;
    pending = byte_size(input.details.size(), sizeof(BandSource));
    source.details.reserve(input.details.size());
    for (const auto band : input.details) {
      spans.push_back({band});
      source.details.push_back({{&SpanSource::fill, &spans.back()}, band.size()});
    }
    spans.push_back({input.approximation});
    source.approximation = {{&SpanSource::fill, &spans.back()}, input.approximation.size()};
    return drive_multi_idwt_from(step, rules, source);
  });
}

// A lifting reconstruction has the exact length a + d summed over the
// levels; a convolution level reconstructs idwt_size(d, d), of which the next
// level keeps as many samples as its details band has. The length of the
// levels from details band `first` on.
std::size_t reconstruction_length(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                                  const MultiDwtSource& input, std::size_t first) {
  if (input.details.size() <= first) return 0;
  if (rules.kind != LevelDriverKind::Lifting) {
    return step.idwt_size(input.details[first].length, input.details[first].length);
  }
  std::size_t length = input.approximation.length;
  for (std::size_t j = first; j < input.details.size(); ++j) length += input.details[j].length;
  return length;
}

std::size_t drive_multi_idwt_length(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                                    const MultiDwtSource& input) {
  return reconstruction_length(step, rules, input, 0);
}

std::expected<std::vector<float>, LumvetError> drive_multi_idwt_from(
    const IncompleteDwtExecutor& step, LevelDriverRules rules, const MultiDwtSource& input) {
  if (input.details.empty() || input.approximation.length == 0) {
    return lumvet_error(K::ZeroSizedInput);
  }
  const std::size_t result_length = drive_multi_idwt_length(step, rules, input);
  std::uint64_t pending = byte_size(result_length);
  return guard_allocation(pending, [&]() -> std::expected<std::vector<float>, LumvetError> {
    std::vector<float> result(result_length);
    if (auto status = drive_multi_idwt_into(step, rules, input, result); !status) {
      return std::unexpected(status.error());
    }
    return result;
  });
}

namespace {

// The levels of a reconstruction, coarsest first, inside `whole`: all of
// them, or with `finest` all but the finest, whose output goes there.
Status reconstruct_levels(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                          const MultiDwtSource& input, std::span<float> whole,
                          const SampleSink* finest) {
  const std::size_t bands = input.details.size();
  const bool lifting = rules.kind == LevelDriverKind::Lifting;
  std::uint64_t pending = 0;
  return guard_allocation(pending, [&]() -> Status {
    std::unique_ptr<float[]> held;  // the last coarse reconstruction
    SpanSource previous{};          // the approximation pulled by the next level
    BandSource approximation = input.approximation;
    for (std::size_t j = bands; j-- > 0;) {
      const BandSource& details = input.details[j];
      if (!lifting) {
        // Equal band lengths; a reconstruction shorter than the next band
        // cannot feed it.
        if (j + 1 < bands && previous.band.size() < details.length) {
          return lumvet_error(K::ApproxDetailsMismatch, previous.band.size(), details.length);
        }
        if (j + 1 < bands) approximation.length = details.length;
        if (approximation.length != details.length) {
          return lumvet_error(K::ApproxDetailsMismatch, approximation.length, details.length);
        }
      }
      if (j == 0 && finest) {
        return step.execute_inverse_to(approximation.source, approximation.length, details.source,
                                       details.length, *finest);
      }
      const std::size_t length = lifting ? approximation.length + details.length
                                         : step.idwt_size(details.length, details.length);
      // Every level works inside `whole`: the last level written there fills
      // it, the one before it the upper part (which the last reads before
      // writing there), and coarser levels alternate between the lower half
      // and the middle, so no level writes where its input lies. Only a
      // level that would not fit gets a buffer of its own.
      const std::size_t place = finest ? j - 1 : j;
      std::span<float> output;
      if (place == 0) {
        output = whole;
      } else if (place == 1) {
        if (length <= whole.size()) output = whole.last(length);
      } else if (place % 2 == 0) {
        if (length <= whole.size() / 2) output = whole.first(length);
      } else if (length <= whole.size() - whole.size() / 2) {
        output = whole.subspan(whole.size() / 2, length);
      }
      const auto overlaps = [](std::span<const float> a, std::span<const float> b) {
        return a.data() < b.data() + b.size() && b.data() < a.data() + a.size();
      };
      std::unique_ptr<float[]> fresh;
      if (place > 0 && (output.empty() || overlaps(output, previous.band))) {
        pending = byte_size(length);
        fresh = std::make_unique_for_overwrite<float[]>(length);
        output = {fresh.get(), length};
      }
      if (auto status = step.execute_inverse_from(approximation.source, approximation.length,
                                                  details.source, details.length, output);
          !status) {
        return status;
      }
      held = std::move(fresh);  // the approximation just read goes with the old one
      previous.band = output;
      approximation = {{&SpanSource::fill, &previous}, output.size()};
    }
    return {};
  });
}

}  // namespace

Status drive_multi_idwt_into(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                             const MultiDwtSource& input, std::span<float> result) {
  if (input.details.empty() || input.approximation.length == 0) {
    return lumvet_error(K::ZeroSizedInput);
  }
  const std::size_t result_length = drive_multi_idwt_length(step, rules, input);
  if (result.size() != result_length) {
    return lumvet_error(K::OutputSizeMismatch, result_length, result.size());
  }
  return reconstruct_levels(step, rules, input, result, nullptr);
}

std::size_t drive_multi_idwt_work_length(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                                         const MultiDwtSource& input) {
  return reconstruction_length(step, rules, input, 1);
}

Status drive_multi_idwt_to(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                           const MultiDwtSource& input, std::span<float> work,
                           const SampleSink& output) {
  if (input.details.empty() || input.approximation.length == 0) {
    return lumvet_error(K::ZeroSizedInput);
  }
  const std::size_t work_length = drive_multi_idwt_work_length(step, rules, input);
  if (work.size() < work_length) {
    return lumvet_error(K::OutputSizeMismatch, work_length, work.size());
  }
  return reconstruct_levels(step, rules, input, work.first(work_length), &output);
}

}  // namespace lumvet
