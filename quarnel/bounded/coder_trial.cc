// Which coder a candidate's payload goes to, and the header it then carries.
#include "quarnel/bounded/coder_trial.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "quarnel/arans.h"
#include "quarnel/compressor.h"
#include "quarnel/header.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

namespace {

// DEFLATE at its slowest level beats the rANS coder's floor below about 1.2
// bits per coefficient, by up to a fifth on the sparsest payloads, but parses
// only some 3 million coefficients a second: a short payload affords it.
// Longer ones try level 10, three times faster for a few per cent more,
// where the rANS coder spends under 0.75 bit.
struct DeflateTrial {
  double below_bits;  // per coefficient in the rANS coder's stream
  int level;
};
constexpr std::size_t kShortPayload = std::size_t{1} << 18;
constexpr DeflateTrial kShortTrial = {1.25, 12};
constexpr DeflateTrial kLongTrial = {0.75, 10};

}  // namespace

std::expected<std::vector<std::uint8_t>, QuarnelError> encode(const Built& b,
                                                              const BoundedOptions& options,
                                                              unsigned threads, CoderChoice& used) {
  const CoderChoice coder = options.coder;
  const auto finish =
      [&](std::vector<std::uint8_t> stream,
          std::uint8_t coder_byte) -> std::expected<std::vector<std::uint8_t>, QuarnelError> {
    QuarnelHeader h = b.header;
    h.coder = coder_byte;
    QUARNEL_TRY_ASSIGN(length, payload_length_field(stream.size() - kHeaderSize));
    h.payload_length = length;
    h.write_to(std::span<std::uint8_t, kHeaderSize>(stream.data(), kHeaderSize));
    return stream;
  };
  const bool rans_fits = b.layout.coefficient_count() <= kMaxPairCount;
  std::optional<std::vector<std::uint8_t>> rans;
  if (coder != CoderChoice::deflate && rans_fits) {
    std::vector<std::uint8_t> payload = encode_stream(b.bytes(), threads);
    std::vector<std::uint8_t> stream(kHeaderSize);
    stream.insert(stream.end(), payload.begin(), payload.end());
    rans = std::move(stream);
  }
  if (coder == CoderChoice::arans && !rans_fits) {
    return std::unexpected(QuarnelError::unsupported_configuration(
        "Can't code more than " + std::to_string(kMaxPairCount) +
        " coefficients with the rANS coder, but data needs " +
        std::to_string(b.layout.coefficient_count()) + "; use the deflate coder"));
  }
  // DEFLATE wins only where long runs of zeros leave the rANS coder paying
  // its floor of a few hundredths of a bit per decision: try it there, at a
  // level that parses for the smallest output, since the smallest stream is
  // what a coder left to the encoder asks for.
  const std::size_t coefficients = b.layout.coefficient_count();
  const DeflateTrial trial = coefficients <= kShortPayload ? kShortTrial : kLongTrial;
  const bool sparse = rans && static_cast<double>(rans->size()) * 8.0 <
                                  trial.below_bits * static_cast<double>(coefficients);
  if (coder == CoderChoice::deflate || !rans || (coder == CoderChoice::auto_ && sparse)) {
    const int level = coder == CoderChoice::auto_ ? std::max(options.deflate_level, trial.level)
                                                  : options.deflate_level;
    std::vector<std::uint8_t> stream(kHeaderSize);
    QUARNEL_TRY(deflate_append(b.bytes(), stream, level));
    if (!rans || stream.size() < rans->size()) {
      used = CoderChoice::deflate;
      return finish(std::move(stream), kCoderDeflate);
    }
  }
  used = CoderChoice::arans;
  return finish(std::move(*rans), kCoderArans);
}

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel
