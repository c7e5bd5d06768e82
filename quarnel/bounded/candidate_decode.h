// Candidates made real: a candidate's header and gain, its samples decoded
// exactly as every decoder will make them, without writing its bytes, and
// what they achieve; then the chosen one's coefficient bytes.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "quarnel/band_layout.h"
#include "quarnel/bounded/bounded.h"
#include "quarnel/bounded/candidate_estimate.h"
#include "quarnel/bounded/decomposition.h"
#include "quarnel/bounded/error_measure.h"
#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/header.h"
#include "quarnel/method.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

// A candidate made a stream's contents: its header, band table and
// coefficient bytes, and what its decode achieves.
struct Built {
  WaveletMethod method{};
  QuarnelHeader header;
  BandLayout layout;
  // The coefficient byte string: its own, or written into the arena.
  std::variant<std::vector<std::uint8_t>, std::span<const std::uint8_t>> storage;
  Achieved achieved;

  std::span<const std::uint8_t> bytes() const {
    return std::visit([](const auto& b) { return std::span<const std::uint8_t>(b); }, storage);
  }
};

// A candidate's header, band table and gain, before any coefficient is
// quantised.
struct Quantisation {
  QuarnelHeader header;
  BandLayout layout;
  double gain = 0.0;  // coefficients to steps
};

// The samples the candidate's stream decodes to, into `take` in order: the
// inverse transform pulls its coefficients through the quantiser and pushes
// its samples, so no bytes are written, no band is held twice and the
// decoded signal is never held whole.
std::expected<void, QuarnelError> decode(const Signal& s, const Decomposition& d,
                                         const Coefficients& coefficients, const Candidate& c,
                                         const Quantisation& q, const DecodedSink& take);

// The candidate's coefficient byte string, in payload order, written into
// the arena's work where it fits (it does for every level count but one,
// whose approximation lies there).
Built write(const Decomposition& d, const Coefficients& coefficients, const Candidate& c,
            Quantisation q, const Achieved& achieved);

// A candidate with its header and what it achieves; nothing when it has no
// header (quantisation()).
struct Measured {
  Quantisation quantisation;
  Achieved achieved;
};

// The RMS error is +inf, not measured, unless `with_rms`. The decode goes to
// `also` too, when there is one.
std::expected<std::optional<Measured>, QuarnelError> measured(
    const Signal& s, const Decomposition& d, const Coefficients& coefficients, const Candidate& c,
    bool with_rms = true, const DecodedSink* also = nullptr);

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel
