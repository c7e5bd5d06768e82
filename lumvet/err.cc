#include "lumvet/err.h"

namespace lumvet {

namespace {
std::string dec(std::uint64_t v) {
  return std::to_string(v);
}
}  // namespace

std::string LumvetError::message() const {
  switch (kind) {
    case LumvetErrorKind::CannotAllocate:
      return "Cannot allocate " + dec(first) + " bytes to vector";
    case LumvetErrorKind::HalfLengthMismatch:
      return "Approximation and details expected to be half of original signal length but it was " +
             dec(first);
    case LumvetErrorKind::ApproxDetailsMismatch:
      return "Approx and details must match, but they don't " + dec(first) + "x" + dec(second);
    case LumvetErrorKind::NotDivisible:
      return "Input must be divisible by " + dec(first);
    case LumvetErrorKind::Overflow:
      return "Overflow is happened";
    case LumvetErrorKind::OutputSizeMismatch:
      return "Output size should be " + dec(first) + ", but it was " + dec(second);
    case LumvetErrorKind::InputTooShort:
      return "Input size " + dec(first) + " can't be less than " + dec(second);
    case LumvetErrorKind::InputOutputSizeMismatch:
      return "Input size " + dec(first) + " does not match output size " + dec(second);
    case LumvetErrorKind::ZeroOrOddWavelet:
      return "Zero or odd sized wavelet";
    case LumvetErrorKind::FilterCenterTooLarge:
      return "Filter center " + dec(first) + " was larger than filter size " + dec(second);
    case LumvetErrorKind::BufferTooSmallForLevel:
      return "Buffer was too small for provided level";
    case LumvetErrorKind::ApproximationSizeMismatch:
      return "Approximate size " + dec(first) + " does not match required size " + dec(second);
    case LumvetErrorKind::DetailsSizeMismatch:
      return "Details size " + dec(first) + " does not match required size " + dec(second);
    case LumvetErrorKind::ZeroSizedInput:
      return "Zero sized input is not supported";
    case LumvetErrorKind::InputSizeMismatch:
      return "Input size expected to be " + dec(first) + " but it was " + dec(second);
    case LumvetErrorKind::ScratchSizeMismatch:
      return "Scratch size expected to be " + dec(first) + " but it was " + dec(second);
  }
  return "Unknown error";
}

}  // namespace lumvet
