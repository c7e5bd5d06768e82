// The arena: a padded copy of a whole signal in a scratch buffer, so the
// generic convolution loops read contiguous memory with no border tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <expected>
#include <mutex>
#include <span>
#include <string>
#include <variant>

#include "lumvet/lumvet.h"

namespace lumvet::filter_padding {

// A caller handed the arena writer inconsistent geometry. This is a bug of
// the caller, not a property of the signal, so it is kept apart from
// LumvetError; the library's own callers never produce it.
struct InternalConfigurationError {
  std::string message() const {
    return "This is an internal configuration error. Please, report it.";
  }
  friend bool operator==(const InternalConfigurationError&,
                         const InternalConfigurationError&) = default;
};

// Outcome of an arena write: success, a library error, or an internal error.
using ArenaError = std::variant<LumvetError, InternalConfigurationError>;
using ArenaStatus = std::expected<void, ArenaError>;

// Writes arena = [left pad | signal | right pad]: arena[left_pad + i] =
// signal[i], and the pads hold the border samples of positions -left_pad .. -1
// and n .. n + right_pad - 1 under `mode`, copied bit for bit. Requires
// arena.size() == left_pad + n + right_pad (otherwise nothing is written and
// InternalConfigurationError is returned) and n >= 1.
ArenaStatus write_arena_1d_impl(std::span<const float> signal, std::span<float> arena,
                                std::size_t left_pad, std::size_t right_pad, BorderMode mode);

using ArenaWriter1d = ArenaStatus (*)(std::span<const float>, std::span<float>, std::size_t,
                                      std::size_t, BorderMode);

// Write-once slot holding the arena writer: the first use installs it under a
// once-guard, so concurrent first uses are safe; later reads take no lock.
class ArenaDispatchSlot {
 public:
  constexpr ArenaDispatchSlot() = default;
  ArenaDispatchSlot(const ArenaDispatchSlot&) = delete;
  ArenaDispatchSlot& operator=(const ArenaDispatchSlot&) = delete;

  ArenaWriter1d get_or_init(ArenaWriter1d (*choose)()) {
    ArenaWriter1d writer = writer_.load(std::memory_order_acquire);
    if (writer != nullptr) return writer;
    std::call_once(once_, [&] { writer_.store(choose(), std::memory_order_release); });
    return writer_.load(std::memory_order_acquire);
  }

 private:
  std::once_flag once_;
  std::atomic<ArenaWriter1d> writer_{nullptr};
};

// The process-wide slot; constant-initialised, so it is usable before main.
inline constinit ArenaDispatchSlot MAKE_ARENA_1D_DISPATCH;

// Yields the arena writer for a sample type.
template <class T>
struct MakeArenaFactoryProvider;

template <>
struct MakeArenaFactoryProvider<float> {
  static ArenaWriter1d make_arena_writer_1d_executor() {
    // write_arena_1d_impl is the only implementation there is to choose.
    return MAKE_ARENA_1D_DISPATCH.get_or_init(
        []() -> ArenaWriter1d { return &write_arena_1d_impl; });
  }
};

}  // namespace lumvet::filter_padding
