// Multi-level (Mallat) drivers over a one-level transform: dwt, multi_dwt, idwt
// and multi_idwt. One implementation serves the convolution wrapper
// CompletedDwtExecutor and the two lifting executors; they differ only in the
// rules below.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "lumvet/err.h"
#include "lumvet/lumvet.h"

namespace lumvet {

enum class LevelDriverKind {
  // Convolution kernels: a single level relies on the kernel's own length
  // check, several levels test every level's input; idwt requires equal band
  // lengths and multi_idwt trims each reconstruction to the next band.
  Convolution,
  // Lifting kernels: the input is tested before anything else and every level
  // again; reconstructions already have the exact length.
  Lifting,
};

struct LevelDriverRules {
  LevelDriverKind kind;
  // Shortest input a level accepts; shorter ones fail BufferTooSmallForLevel.
  std::size_t minimum;
};

std::expected<Dwt, LumvetError> drive_dwt(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                                          std::span<const float> input, std::size_t level);

std::expected<MultiDwt, LumvetError> drive_multi_dwt(const IncompleteDwtExecutor& step,
                                                     LevelDriverRules rules,
                                                     std::span<const float> input,
                                                     std::size_t levels);

std::expected<std::vector<float>, LumvetError> drive_idwt(const IncompleteDwtExecutor& step,
                                                          LevelDriverRules rules,
                                                          const DwtRef& input);

std::expected<std::vector<float>, LumvetError> drive_multi_idwt(const IncompleteDwtExecutor& step,
                                                                LevelDriverRules rules,
                                                                const MultiDwtRef& input);
std::expected<std::vector<float>, LumvetError> drive_multi_idwt_from(
    const IncompleteDwtExecutor& step, LevelDriverRules rules, const MultiDwtSource& input);
std::size_t drive_multi_idwt_length(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                                    const MultiDwtSource& input);
Status drive_multi_idwt_into(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                             const MultiDwtSource& input, std::span<float> output);
std::size_t drive_multi_idwt_work_length(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                                         const MultiDwtSource& input);
Status drive_multi_idwt_to(const IncompleteDwtExecutor& step, LevelDriverRules rules,
                           const MultiDwtSource& input, std::span<float> work,
                           const SampleSink& output);

}  // namespace lumvet
