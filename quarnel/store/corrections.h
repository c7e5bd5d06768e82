// Internal: the trailer's corrections, from the encoder that finds them to
// their record (apply_corrections() is public, in trailer.h).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/bounded/finite_range.h"
#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/header.h"
#include "quarnel/quarnel.h"
#include "quarnel/trailer.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// ----------------------------------------------------------------------------
// Finding them

// The corrected coarser stream for a largest-error target, or nothing where
// corrections are not `allowed`, do not apply or cannot place a sample. A
// bound of 0 is met on a grid every sample lies on exactly. Where no stream
// comes as close as the corrections aim, the closest one is corrected.
// `range` is finite_range() of `input`.
using CorrectedStream = std::pair<BoundedResult, Corrections>;
std::expected<std::optional<CorrectedStream>, QuarnelError> with_corrections(
    std::span<const float> input, const BoundedOptions& options, const FiniteRange<float>& range,
    bool allowed, unsigned threads);
std::expected<std::optional<CorrectedStream>, QuarnelError> with_corrections(
    std::span<const double> input, const BoundedOptions& options, const FiniteRange<double>& range,
    bool allowed, unsigned threads);

// Where a largest-error target is refused, the tightest bound the
// corrections meet, in the target's own terms; nothing when none of a few
// is met.
std::expected<std::optional<double>, QuarnelError> tightest_corrected(
    std::span<const float> input, const BoundedOptions& options, const FiniteRange<float>& range,
    unsigned threads);
std::expected<std::optional<double>, QuarnelError> tightest_corrected(
    std::span<const double> input, const BoundedOptions& options, const FiniteRange<double>& range,
    unsigned threads);

// Whether an exact stream, made on the grid every sample lies on, may be
// smaller than one that meets a PSNR of `psnr` by itself.
bool exact_may_win(std::span<const float> input, const FiniteRange<float>& range, double psnr);
bool exact_may_win(std::span<const double> input, const FiniteRange<double>& range, double psnr);

// ----------------------------------------------------------------------------
// Their record

// The layouts of the record's body: gap and zigzagged steps after each
// other in one list, as the first writers stored them; in three parts; in
// three parts after the grid.
enum class CorrectionsLayout { interleaved, split, on_grid };

// The body in the layout the writer makes: split, or on_grid with a grid.
std::expected<std::vector<std::uint8_t>, QuarnelError> corrections_body(const Corrections& c);

// The corrections of a body in `layout`, for a signal of `sample_count`
// samples.
std::expected<Corrections, QuarnelError> read_corrections(std::span<const std::uint8_t> body,
                                                          std::uint64_t sample_count,
                                                          CorrectionsLayout layout);

// The writer's refusal of a list that is not ascending, within
// `sample_count` samples, each moved.
std::expected<void, QuarnelError> check_corrections_list(const Corrections& c,
                                                         std::uint64_t sample_count);

// What the fields may not hold, as a trailer's message names it; empty when
// they hold what they may.
std::string corrections_fault(const Corrections& c);

// Corrections, or a grid, that move samples far from the range `h` stores
// and the trailer's signal range, which no writer makes; empty when they are
// plausible.
std::string implausible_corrections(const Trailer& t, const QuarnelHeader& h);

}  // namespace QUARNEL_ABI
}  // namespace quarnel
