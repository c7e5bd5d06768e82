// lumvet: one-level and multi-level discrete wavelet transforms on 32-bit
// floats behind a common executor interface.
//
// Executors are immutable; every operation is const and reentrant. They are
// reached through std::shared_ptr handles to const objects, whose reference
// counts are atomic, so a handle may be copied to and used on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "lumvet/err.h"
#include "lumvet/sample_source.h"

namespace lumvet {

static_assert(sizeof(std::size_t) == 8, "lengths are 64-bit sizes");

// Lengths of one forward level.
struct DwtSize {
  std::size_t approximation_length;
  std::size_t details_length;
  friend bool operator==(const DwtSize&, const DwtSize&) = default;
};

// One decomposition level, owning its data.
struct Dwt {
  std::vector<float> approximation;
  std::vector<float> details;
};

// A multi-level decomposition, finest level first. Entry k + 1 decomposes the
// approximation of entry k; every entry keeps its own approximation.
struct MultiDwt {
  std::vector<Dwt> levels;
};

// Read-only input of idwt.
struct DwtRef {
  std::span<const float> approximation;
  std::span<const float> details;
};

// Read-only input of multi_idwt: detail bands finest first, then the coarsest
// approximation.
struct MultiDwtRef {
  std::vector<std::span<const float>> details;
  std::span<const float> approximation;
};

// A band pulled from a source: `length` samples.
struct BandSource {
  SampleSource source;
  std::size_t length;
};

// Input of multi_idwt_from: detail bands finest first, then the coarsest
// approximation, each pulled as its level needs it.
struct MultiDwtSource {
  std::vector<BandSource> details;
  BandSource approximation;
};

// One forward level.
class DwtForwardExecutor {
 public:
  virtual ~DwtForwardExecutor() = default;

  // Band lengths must equal dwt_size(input.size()). Executors that need
  // scratch allocate it here.
  virtual Status execute_forward(std::span<const float> input, std::span<float> approximation,
                                 std::span<float> details) const = 0;
  // Same, with a caller-provided scratch of at least required_scratch_size().
  virtual Status execute_forward_with_scratch(std::span<const float> input,
                                              std::span<float> approximation,
                                              std::span<float> details,
                                              std::span<float> scratch) const = 0;
  virtual std::size_t required_scratch_size(std::size_t input_length) const = 0;
  virtual DwtSize dwt_size(std::size_t input_length) const = 0;

  // Same as execute_forward over `input_length` samples pulled from
  // `source`. By default the input is gathered into a buffer first; the
  // lifting executors pull it a chunk at a time and hold no copy of it.
  virtual Status execute_forward_from(const SampleSource& source, std::size_t input_length,
                                      std::span<float> approximation,
                                      std::span<float> details) const;
};

// One inverse level.
class DwtInverseExecutor {
 public:
  virtual ~DwtInverseExecutor() = default;

  // output.size() must equal idwt_size(approximation.size(), details.size()).
  // Convolution kernels add into a zero-filled output; lifting kernels
  // overwrite it.
  virtual Status execute_inverse(std::span<const float> approximation,
                                 std::span<const float> details, std::span<float> output) const = 0;
  virtual std::size_t idwt_size(std::size_t approximation_length,
                                std::size_t details_length) const = 0;

  // Same as execute_inverse with the bands pulled from sources; the output's
  // previous contents do not matter. By default both bands are gathered into
  // buffers and the output is zero-filled before the ordinary step, so the
  // sources may read from the output. The CDF 9/7 executor pulls the bands a
  // chunk at a time and holds no copy: there sample j of either band is
  // pulled before output sample 2j - 2 or any later one is written, so the
  // sources may read from the output's upper half.
  virtual Status execute_inverse_from(const SampleSource& approximation,
                                      std::size_t approximation_length, const SampleSource& details,
                                      std::size_t details_length, std::span<float> output) const;
  // Same as execute_inverse_from with the idwt_size() output samples pushed
  // to `output` in order. By default they are made whole in a buffer first;
  // the CDF 9/7 executor pushes them a chunk at a time and holds no copy.
  virtual Status execute_inverse_to(const SampleSource& approximation,
                                    std::size_t approximation_length, const SampleSource& details,
                                    std::size_t details_length, const SampleSink& output) const;
};

// A one-level transform: forward, inverse and the analysis filter length.
class IncompleteDwtExecutor : public DwtForwardExecutor, public DwtInverseExecutor {
 public:
  virtual std::size_t filter_length() const = 0;
};

// A one-level transform with its multi-level driver.
class DwtExecutor : public IncompleteDwtExecutor {
 public:
  virtual std::expected<Dwt, LumvetError> dwt(std::span<const float> input,
                                              std::size_t level) const = 0;
  virtual std::expected<MultiDwt, LumvetError> multi_dwt(std::span<const float> input,
                                                         std::size_t levels) const = 0;
  virtual std::expected<std::vector<float>, LumvetError> idwt(const DwtRef& input) const = 0;
  virtual std::expected<std::vector<float>, LumvetError> multi_idwt(
      const MultiDwtRef& input) const = 0;
  // multi_idwt with the bands pulled level by level: no level's bands are
  // ever copied whole by the driver, and the level before the finest is
  // rebuilt inside the result's upper half, so beyond the result only the
  // coarser levels' reconstructions are held.
  virtual std::expected<std::vector<float>, LumvetError> multi_idwt_from(
      const MultiDwtSource& input) const = 0;
  // The length multi_idwt_from's result has for `input`.
  virtual std::size_t multi_idwt_length(const MultiDwtSource& input) const = 0;
  // multi_idwt_from into the caller's memory, which must hold exactly
  // multi_idwt_length(input) samples; fails with OutputSizeMismatch
  // otherwise.
  virtual Status multi_idwt_from_into(const MultiDwtSource& input,
                                      std::span<float> output) const = 0;
  // multi_idwt_from with the finest level's output pushed to `output`
  // (execute_inverse_to) rather than held: the coarser levels are rebuilt
  // in the first multi_idwt_work_length(input) samples of `work`, and a
  // shorter `work` fails with OutputSizeMismatch.
  virtual Status multi_idwt_from_to(const MultiDwtSource& input, std::span<float> work,
                                    const SampleSink& output) const = 0;
  // The reconstruction length of the levels coarser than the finest, 0 for
  // one level.
  virtual std::size_t multi_idwt_work_length(const MultiDwtSource& input) const = 0;
};

using DwtExecutorHandle = std::shared_ptr<const DwtExecutor>;
using IncompleteDwtExecutorHandle = std::shared_ptr<const IncompleteDwtExecutor>;

// Border extension of the convolution transforms.
enum class BorderMode : std::uint32_t {
  Clamp = 0,
  Wrap = 1,
  Reflect = 2,
  Reflect101 = 3,
  Zeros = 4,
};

// Daubechies (extremal-phase) scaling filters; member k has 2(k + 1) taps.
enum class DaubechiesFamily : std::uint32_t {
  Db1,
  Db2,
  Db3,
  Db4,
  Db5,
  Db6,
  Db7,
  Db8,
  Db9,
  Db10,
  Db11,
  Db12,
  Db13,
  Db14,
  Db15,
  Db16,
  Db17,
  Db18,
  Db19,
  Db20,
  Db21,
  Db22,
  Db23,
  Db24,
};

// Symlet (least-asymmetric) scaling filters; member k has 2(k + 2) taps.
enum class SymletFamily : std::uint32_t {
  Sym2,
  Sym3,
  Sym4,
  Sym5,
  Sym6,
  Sym7,
  Sym8,
  Sym9,
  Sym10,
  Sym11,
  Sym12,
  Sym13,
  Sym14,
  Sym15,
  Sym16,
  Sym17,
  Sym18,
  Sym19,
  Sym20,
};

// The factory: the only way the codec obtains a transform.
namespace Lumvet {
DwtExecutorHandle make_cdf53_f32();
DwtExecutorHandle make_cdf97_f32();
DwtExecutorHandle make_daubechies_f32(DaubechiesFamily family, BorderMode border);
DwtExecutorHandle make_symlet_f32(SymletFamily family, BorderMode border);
}  // namespace Lumvet

struct DwtFactory {
  static IncompleteDwtExecutorHandle wavelet_n_taps(BorderMode border, std::span<const float> taps);
};

}  // namespace lumvet
