// Every stream the encoder may return, decoded and measured, and the plain
// encoder's beside them: the search for when the estimates miss.
#include "quarnel/bounded/exhaustive_search.h"

#include <string>
#include <utility>

#include "quarnel/arans.h"
#include "quarnel/band_layout.h"
#include "quarnel/bounded/candidate_decode.h"
#include "quarnel/bounded/candidate_estimate.h"
#include "quarnel/bounded/coder_trial.h"
#include "quarnel/compressor.h"
#include "quarnel/decompressor.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/reconstruct.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

namespace {

// A stream of the plain encoder, compress() at `scale` with the low cutoff,
// made a candidate: it truncates where this encoder rounds, and on signals
// whose coefficients land on its grid that is exact where rounding a step a
// hair off is not. Nothing when compress() refuses the scale.
std::expected<std::optional<Built>, QuarnelError> plain_stream(const Signal& s,
                                                               WaveletMethod method,
                                                               std::uint8_t scale,
                                                               unsigned threads) {
  Built b;
  b.method = method;
  const auto executor = make_executor(method);
  const std::size_t n = s.samples.size();
  b.layout =
      band_layout(*executor, n, static_cast<unsigned>(level_count(n, executor->filter_length())));
  const bool rans = b.layout.coefficient_count() <= kMaxPairCount;
  CompressionOptions options;
  options.cutoff = CutoffLevel::low;
  options.coder = rans ? CoderChoice::arans : CoderChoice::deflate;
  options.method = method;
  options.scale = scale;
  const auto stream = compress(s.samples, options, threads);
  if (!stream) {
    if (stream.error().kind() == QuarnelErrorKind::UnsupportedConfiguration) {
      return std::optional<Built>();
    }
    return std::unexpected(stream.error());
  }
  QUARNEL_TRY_ASSIGN(header, read_stream_header(*stream));
  b.header = header;
  const auto payload = std::span(*stream).subspan(kHeaderSize, b.header.payload_length);
  const std::uint64_t keep = 2 * b.layout.coefficient_count();
  if (rans) {
    auto bytes = decode_stream(payload, keep, threads);
    if (!bytes)
      return std::unexpected(
          QuarnelError::decompression_failed(std::string(message(bytes.error()))));
    b.storage = std::move(*bytes);
  } else {
    QUARNEL_TRY_ASSIGN(bytes, inflate_payload(payload, keep));
    b.storage = std::vector<std::uint8_t>(bytes.bytes().begin(), bytes.bytes().end());
  }
  QUARNEL_TRY_ASSIGN(decoded, reconstruct(b.header, *executor, b.layout, b.bytes()));
  b.achieved = measure(s, decoded);
  return std::optional<Built>(std::move(b));
}

}  // namespace

std::expected<Exhausted, QuarnelError> exhaust(const Signal& s, const Target& t,
                                               std::span<const WaveletMethod> methods,
                                               const BoundedOptions& options, unsigned threads,
                                               Arena& arena, bool keep_closest) {
  Exhausted x;
  // Closer in the target's own measure, the other one breaking ties.
  const auto closer = [&](const Achieved& a, const Achieved& b) {
    return t.kind == ErrorTarget::psnr
               ? std::pair(a.rms_error, a.max_error) < std::pair(b.rms_error, b.max_error)
               : std::pair(a.max_error, a.rms_error) < std::pair(b.max_error, b.rms_error);
  };
  // A stream's bytes are written only once it meets the target, or, while
  // none has, when it is the closest yet and that is asked for.
  const auto offer = [&](const Achieved& achieved,
                         const auto& make) -> std::expected<void, QuarnelError> {
    const bool closest = closer(achieved, x.tightest);
    if (closest) x.tightest = achieved;
    const bool met = t.met(achieved);
    if (!met && !(closest && keep_closest && !x.smallest)) return {};
    const Built b = make();
    CoderChoice used = CoderChoice::arans;
    QUARNEL_TRY_ASSIGN(stream, encode(b, options, threads, used));
    Encoded e{std::move(stream), used, b.method, b.header, b.achieved};
    if (!met) {
      x.closest = std::move(e);
    } else if (!x.smallest || e.stream.size() < x.smallest->stream.size()) {
      x.smallest = std::move(e);
    }
    return {};
  };
  for (const WaveletMethod method : methods) {
    QUARNEL_TRY_ASSIGN(d, decompose(s, method, arena));
    for (std::size_t levels = 1; levels <= d.max_levels(); ++levels) {
      const Candidate c = estimate(d, levels, finest_step(d, levels), false);
      QUARNEL_TRY_ASSIGN(made, coefficients(s, d, levels, arena));
      QUARNEL_TRY_ASSIGN(m, measured(s, d, made, c));
      if (!m) continue;
      QUARNEL_TRY(
          offer(m->achieved, [&] { return write(d, made, c, m->quantisation, m->achieved); }));
    }
    for (std::uint8_t scale = kMinScale; scale <= kMaxScale; ++scale) {
      QUARNEL_TRY_ASSIGN(built, plain_stream(s, method, scale, threads));
      if (!built) continue;
      QUARNEL_TRY(offer(built->achieved, [&] { return std::move(*built); }));
    }
  }
  return x;
}

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel
