// Vector steps of NeonWavelet2TapsF32, compiled once per Highway target.
#include "lumvet/neon/wavelet2taps.h"

#define LUMVET_FIXED_TAPS_EXECUTOR NeonWavelet2TapsF32
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/wavelet2taps.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "lumvet/neon/wavelet_fixed_taps-inl.h"
