#include "lumvet/level_driver.h"

#include <algorithm>
#include <utility>

#include "lumvet/sample_buffer.h"

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

std::expected<Dwt, LumvetError> drive_dwt(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                                          std::span<const float> input, std::size_t level) {
  const bool lifting = rules.kind == LevelDriverKind::Lifting;
  if (lifting && too_short(rules, input.size())) {
    return lumvet_error(K::BufferTooSmallForLevel);
  }
  if (level <= 1) return one_level(step, input);

  std::uint64_t pending = 0;
  return guard_allocation(pending, [&]() -> std::expected<Dwt, LumvetError> {
    pending = byte_size(input.size());
    std::vector<float> work(input.begin(), input.end());
    Dwt current;
    for (std::size_t k = 0; k < level; ++k) {
      if (too_short(rules, work.size())) return lumvet_error(K::BufferTooSmallForLevel);
      auto next = one_level(step, work);
      if (!next) return next;
      // The new approximation is the next level's input; the previous level's
      // bands are released here, its details are not part of the result.
      pending = byte_size(next->approximation.size());
      work.assign(next->approximation.begin(), next->approximation.end());
      current = std::move(*next);
    }
    return current;
  });
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

    // Two work buffers trade roles every level: the approximation just
    // computed becomes the next input, the old input's storage receives the
    // next approximation.
    pending = byte_size(input.size());
    std::vector<float> current(input.begin(), input.end());
    const std::size_t first_approximation = step.dwt_size(input.size()).approximation_length;
    pending = byte_size(first_approximation);
    std::vector<float> approximation(first_approximation, 0.0f);
    const std::size_t reserved = std::min(levels, kMaxReservedLevels);
    pending = byte_size(reserved, sizeof(Dwt));
    result.levels.reserve(reserved);

    for (std::size_t k = 0; k < levels; ++k) {
      if (too_short(rules, current.size())) return lumvet_error(K::BufferTooSmallForLevel);
      const DwtSize size = step.dwt_size(current.size());
      pending = byte_size(size.approximation_length);
      approximation.resize(size.approximation_length);
      std::fill(approximation.begin(), approximation.end(), 0.0f);
      pending = byte_size(size.details_length);
      std::vector<float> details(size.details_length, 0.0f);
      if (auto status = step.execute_forward(current, approximation, details); !status) {
        return std::unexpected(status.error());
      }
      pending = byte_size(approximation.size());
      Dwt level{std::vector<float>(approximation.begin(), approximation.end()), std::move(details)};
      pending = byte_size(result.levels.size() + 1, sizeof(Dwt));
      result.levels.push_back(std::move(level));
      std::swap(current, approximation);
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

  auto result = drive_idwt(step, rules, DwtRef{input.approximation, input.details[bands - 1]});
  for (std::size_t j = bands - 1; j-- > 0 && result;) {
    std::span<const float> approximation(*result);
    const std::size_t band = input.details[j].size();
    if (rules.kind == LevelDriverKind::Convolution) {
      // A convolution level of odd length reconstructs one sample too many;
      // keep as many samples as the next band's approximation had.
      if (approximation.size() < band) {
        return lumvet_error(K::ApproxDetailsMismatch, approximation.size(), band);
      }
      approximation = approximation.first(band);
    }
    result = drive_idwt(step, rules, DwtRef{approximation, input.details[j]});
  }
  return result;
}

}  // namespace lumvet
