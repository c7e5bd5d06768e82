// The names of the options' values, as every binding spells them: one table
// per enumeration, in the enumeration's order.
#include <array>
#include <optional>
#include <string_view>

#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

constexpr std::array<std::string_view, 4> kMethodNames = {"cdf53", "cdf97", "db4", "sym4"};
constexpr std::array<std::string_view, 3> kCutoffNames = {"low", "medium", "high"};
constexpr std::array<std::string_view, 3> kCoderNames = {"deflate", "arans", "auto"};

static_assert(static_cast<std::size_t>(WaveletMethod::sym4) + 1 == kMethodNames.size());
static_assert(static_cast<std::size_t>(CutoffLevel::high) + 1 == kCutoffNames.size());
static_assert(static_cast<std::size_t>(CoderChoice::auto_) + 1 == kCoderNames.size());

template <typename Value, std::size_t N>
std::string_view name_of(Value value, const std::array<std::string_view, N>& names) {
  const auto index = static_cast<std::size_t>(value);
  return index < N ? names[index] : std::string_view();
}

template <typename Value, std::size_t N>
std::optional<Value> value_of(std::string_view name, const std::array<std::string_view, N>& names) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == name) return static_cast<Value>(i);
  }
  return std::nullopt;
}

}  // namespace

std::string_view method_name(WaveletMethod method) {
  return name_of(method, kMethodNames);
}
std::optional<WaveletMethod> method_from_name(std::string_view name) {
  return value_of<WaveletMethod>(name, kMethodNames);
}
std::string_view cutoff_name(CutoffLevel cutoff) {
  return name_of(cutoff, kCutoffNames);
}
std::optional<CutoffLevel> cutoff_from_name(std::string_view name) {
  return value_of<CutoffLevel>(name, kCutoffNames);
}
std::string_view coder_name(CoderChoice coder) {
  return name_of(coder, kCoderNames);
}
std::optional<CoderChoice> coder_from_name(std::string_view name) {
  return value_of<CoderChoice>(name, kCoderNames);
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
