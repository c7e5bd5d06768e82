#include "quarnel/method.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

std::uint32_t method_tag(WaveletMethod method) {
  switch (method) {
    case WaveletMethod::cdf53:
      return kTagCdf53;
    case WaveletMethod::cdf97:
      return kTagCdf97;
    case WaveletMethod::db4:
      return kTagDb4;
    case WaveletMethod::sym4:
      return kTagSym4;
  }
  return 0;
}

std::optional<WaveletMethod> method_from_tag(std::uint32_t tag) {
  switch (tag) {
    case kTagCdf53:
      return WaveletMethod::cdf53;
    case kTagCdf97:
      return WaveletMethod::cdf97;
    case kTagDb4:
      return WaveletMethod::db4;
    case kTagSym4:
      return WaveletMethod::sym4;
  }
  return std::nullopt;
}

lumvet::DwtExecutorHandle make_executor(WaveletMethod method) {
  switch (method) {
    case WaveletMethod::cdf53:
      return lumvet::Lumvet::make_cdf53_f32();
    case WaveletMethod::cdf97:
      return lumvet::Lumvet::make_cdf97_f32();
    case WaveletMethod::db4:
      return lumvet::Lumvet::make_daubechies_f32(lumvet::DaubechiesFamily::Db4,
                                                 lumvet::BorderMode::Wrap);
    case WaveletMethod::sym4:
      return lumvet::Lumvet::make_symlet_f32(lumvet::SymletFamily::Sym4, lumvet::BorderMode::Wrap);
  }
  return nullptr;
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
