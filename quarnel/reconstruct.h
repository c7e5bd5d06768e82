// Internal: the one way samples come back from a stream's coefficients:
// dequantise, inverse transform, undo the normalisation. The decompressor runs
// it on the bytes it decodes; the bounded encoder runs it on a candidate's
// coefficients as it quantises them, so the error it measures is the error
// every decoder will give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <vector>

#include "lumvet/lumvet.h"
#include "quarnel/band_layout.h"
#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/header.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// The header's sample_count samples rebuilt from the coefficient byte string
// (signed 16-bit little-endian integers in payload order). `executor` and
// `layout` are the header's method and band table. Fails with
// DecompressionFailed when the bytes hold fewer coefficients than the bands
// need, and with TransformFailed when the inverse transform fails.
std::expected<std::vector<float>, QuarnelError> reconstruct(
    const QuarnelHeader& header, const lumvet::DwtExecutor& executor, const BandLayout& layout,
    std::span<const std::uint8_t> coefficient_bytes);

// The same into memory the caller places: once the bytes have shown they
// hold every band, `place(sample_count)` gives room for exactly that many
// samples. Where the inverse transform's length is the sample count (the
// lifting wavelets from their filter length on, the convolution ones for
// even lengths) the transform works there itself, and nothing of the
// signal's size is allocated; otherwise it reconstructs into a buffer of its
// own, which is copied.
std::expected<void, QuarnelError> reconstruct_into(
    const QuarnelHeader& header, const lumvet::DwtExecutor& executor, const BandLayout& layout,
    std::span<const std::uint8_t> coefficient_bytes,
    const std::function<std::span<float>(std::size_t)>& place);

// The two halves of reconstruct() for the bounded encoder, which measures a
// candidate without writing its bytes: the inverse transform of bands pulled
// from sources that give the dequantised values q * 2^-scale, its samples
// (the normalised samples, as many as the transform makes) pushed to
// `output` in order as they are made, the coarser levels rebuilt in `work`
// (lumvet's multi_idwt_from_to()); and the normalisation undone in place,
// which the encoder runs on each piece beside its error measure. Fails with
// TransformFailed when the inverse transform fails.
std::expected<void, QuarnelError> inverse_transform_to(const lumvet::DwtExecutor& executor,
                                                       const lumvet::MultiDwtSource& bands,
                                                       std::span<float> work,
                                                       const lumvet::SampleSink& output);
void denormalise(std::span<float> samples, float min_value, float max_value, float mean_value);

}  // namespace QUARNEL_ABI
}  // namespace quarnel
