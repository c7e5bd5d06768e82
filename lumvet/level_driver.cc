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

std::expected<std::vector<float>, LumvetError> drive_multi_idwt(const IncompleteDwtExecutor& step,
                                                                LevelDriverRules rules,
                                                                const MultiDwtRef& input) {
  const std::size_t bands = input.details.size();
  if (bands == 0 || input.approximation.empty()) return lumvet_error(K::ZeroSizedInput);

  if (rules.kind == LevelDriverKind::Lifting) {
    // Lifting steps overwrite their whole output and reconstructions have the
    // exact length, so the intermediate levels go to buffers that are not
    // zero-filled first; only the finest level becomes the returned vector.
    std::uint64_t pending = 0;
    return guard_allocation(pending, [&]() -> std::expected<std::vector<float>, LumvetError> {
      std::unique_ptr<float[]> held;
      std::span<const float> approximation = input.approximation;
      for (std::size_t j = bands - 1; j > 0; --j) {
        const std::span<const float> details = input.details[j];
        const std::size_t length = approximation.size() + details.size();
        pending = byte_size(length);
        auto output = std::make_unique_for_overwrite<float[]>(length);
        if (auto status = step.execute_inverse(approximation, details, {output.get(), length});
            !status) {
          return std::unexpected(status.error());
        }
        held = std::move(output);
        approximation = {held.get(), length};
      }
      return drive_idwt(step, rules, DwtRef{approximation, input.details[0]});
    });
  }

  auto result = drive_idwt(step, rules, DwtRef{input.approximation, input.details[bands - 1]});
  for (std::size_t j = bands - 1; j-- > 0 && result;) {
    // A convolution level of odd length reconstructs one sample too many;
    // keep as many samples as the next band's approximation had.
    std::span<const float> approximation(*result);
    const std::size_t band = input.details[j].size();
    if (approximation.size() < band) {
      return lumvet_error(K::ApproxDetailsMismatch, approximation.size(), band);
    }
    result = drive_idwt(step, rules, DwtRef{approximation.first(band), input.details[j]});
  }
  return result;
}

}  // namespace lumvet
