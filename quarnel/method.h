// Internal: the four wavelet methods: the tag a stream names each by and the
// executor that transforms with it. The executor also knows the method's filter
// length (cdf53 6, cdf97 10, db4 and sym4 8), which decides how far a short
// signal is extended and so the band lengths a stream describes.
#pragma once

#include <cstdint>
#include <optional>

#include "lumvet/lumvet.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// The four ASCII bytes of a method tag read as a little-endian 32-bit value.
inline constexpr std::uint32_t kTagCdf53 = 0x33356663;  // "cf53"
inline constexpr std::uint32_t kTagCdf97 = 0x37396663;  // "cf97"
inline constexpr std::uint32_t kTagDb4 = 0x34306264;    // "db04"
inline constexpr std::uint32_t kTagSym4 = 0x346D7973;   // "sym4"

std::uint32_t method_tag(WaveletMethod method);
// The method a tag names, or nothing for an unknown tag.
std::optional<WaveletMethod> method_from_tag(std::uint32_t tag);

// The executor of a method; the convolution wavelets wrap around the borders.
lumvet::DwtExecutorHandle make_executor(WaveletMethod method);

}  // namespace QUARNEL_ABI
}  // namespace quarnel
