// quarnel from C++: inline functions over the C interface of quarnel_c.h.
//
// This is the header for programs outside the library's build. Every
// standard-library object here (std::expected, std::vector, std::string) is
// made and destroyed in the program's own code, and only C types cross into
// the library, so a program built with any C++23 standard library or mode
// (libstdc++'s debug containers, -D_GLIBCXX_DEBUG, included) works with the
// installed library. quarnel/quarnel.h, the library's own C++ interface,
// hands standard containers across and needs the library's own build
// settings.
//
// It needs C++23 (std::expected) and says so in one error otherwise; from
// C++17, or any C++ or C, include quarnel/quarnel_c.h.
//
// What quarnel_c.h says holds here too: NaN and +-inf and what they become,
// the trailer's checksum (options.trailer = 1), and that every function may
// be called from any number of threads at once.
//
//   const auto stream = quarnel::cpp::compress(samples);  // std::span<const float>
//   if (!stream) std::fprintf(stderr, "%s\n", stream.error().message.c_str());
//   const auto restored = quarnel::cpp::decompress(*stream);  // std::vector<float>
#pragma once

#if __has_include(<version>)
#include <version>
#endif
#if !defined(__cpp_lib_expected)
#error "quarnel/quarnel.hpp needs C++23 (std::expected): build with -std=c++23, or include quarnel/quarnel_c.h, which every C and C++ standard compiles"
#else

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/quarnel_c.h"

namespace quarnel::cpp {

// A failed call: its code (QUARNEL_ERROR_*) and the library's message.
struct Error {
  int code = QUARNEL_OK;
  std::string message;

  // "QUARNEL_ERROR_INVALID_MAGIC", ...
  const char* name() const {
    const char* n = quarnel_error_name(code);
    return n != nullptr ? n : "QUARNEL_ERROR_UNKNOWN";
  }
};

// Memory the library allocated, released with quarnel_free.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  Buffer(T* data, std::size_t size) : data_(data), size_(size) {}

  T* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  T* begin() const { return data(); }
  T* end() const { return data() + size_; }
  operator std::span<const T>() const { return {data(), size_}; }

 private:
  struct Free {
    void operator()(T* p) const { quarnel_free(p); }
  };
  std::unique_ptr<T, Free> data_;
  std::size_t size_ = 0;
};

using Stream = Buffer<std::uint8_t>;

inline quarnel_options default_options() {
  quarnel_options options;
  quarnel_options_init(&options);
  return options;
}

// A target for the error-bounded encoder: QUARNEL_TARGET_MAX_ERROR,
// QUARNEL_TARGET_REL_ERROR or QUARNEL_TARGET_PSNR, and its value.
inline quarnel_target target(int kind, double value) {
  quarnel_target t;
  quarnel_target_init(&t);
  t.kind = static_cast<std::uint8_t>(kind);
  t.value = value;
  return t;
}

namespace detail {

// Runs `call(message, message_size)`: `value()` when it returns QUARNEL_OK,
// else the code and message as an Error.
template <class Call, class Value>
auto run(Call&& call, Value&& value) -> std::expected<decltype(value()), Error> {
  char message[QUARNEL_MESSAGE_SIZE];
  const int code = std::forward<Call>(call)(message, sizeof message);
  if (code != QUARNEL_OK) return std::unexpected(Error{code, message});
  return value();
}

// A stream `compress(&data, &size, message, message_size)` allocates.
template <class Compress>
std::expected<Stream, Error> allocated(Compress&& compress) {
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  return run(
      [&](char* message, std::size_t message_size) {
        return compress(&data, &size, message, message_size);
      },
      [&] { return Stream(data, size); });
}

// The info struct `read` fills from a stream.
template <class Info, class Read>
std::expected<Info, Error> read_info(std::span<const std::uint8_t> stream, Read read) {
  Info info;
  info.struct_size = sizeof info;
  return run(
      [&](char* message, std::size_t message_size) {
        return read(stream.data(), stream.size(), &info, message, message_size);
      },
      [&] { return info; });
}

}  // namespace detail

inline unsigned version_number() {
  return quarnel_version_number();
}
inline const char* version_string() {
  return quarnel_version_string();
}

// The most bytes a stream of `sample_count` samples can take (quarnel_compress_bound).
inline std::size_t compress_bound(std::size_t sample_count,
                                  const quarnel_options& options = default_options()) {
  return quarnel_compress_bound(sample_count, &options);
}

// The stream of float32 or float64 samples, in memory the library allocated.
inline std::expected<Stream, Error> compress(std::span<const float> samples,
                                             const quarnel_options& options = default_options()) {
  return detail::allocated(
      [&](std::uint8_t** data, std::size_t* size, char* message, std::size_t message_size) {
        return quarnel_compress_alloc(samples.data(), samples.size(), &options, data, size, message,
                                      message_size);
      });
}

inline std::expected<Stream, Error> compress(std::span<const double> samples,
                                             const quarnel_options& options = default_options()) {
  return detail::allocated(
      [&](std::uint8_t** data, std::size_t* size, char* message, std::size_t message_size) {
        return quarnel_compress_f64_alloc(samples.data(), samples.size(), &options, data, size,
                                          message, message_size);
      });
}

// The stream written into `stream`; its length. A buffer of compress_bound()
// bytes always has room.
inline std::expected<std::size_t, Error> compress_into(
    std::span<const float> samples, std::span<std::uint8_t> stream,
    const quarnel_options& options = default_options()) {
  std::size_t size = stream.size();
  return detail::run(
      [&](char* message, std::size_t message_size) {
        return quarnel_compress(samples.data(), samples.size(), &options, stream.data(), &size,
                                message, message_size);
      },
      [&] { return size; });
}

// The error-bounded encoder's stream (of options it takes threads, trailer
// and the fill value).
inline std::expected<Stream, Error> compress_bounded(
    std::span<const float> samples, const quarnel_target& target,
    const quarnel_options& options = default_options()) {
  return detail::allocated(
      [&](std::uint8_t** data, std::size_t* size, char* message, std::size_t message_size) {
        return quarnel_compress_bounded_alloc(samples.data(), samples.size(), &target, &options,
                                              data, size, message, message_size);
      });
}

inline std::expected<Stream, Error> compress_bounded(
    std::span<const double> samples, const quarnel_target& target,
    const quarnel_options& options = default_options()) {
  return detail::allocated(
      [&](std::uint8_t** data, std::size_t* size, char* message, std::size_t message_size) {
        return quarnel_compress_bounded_f64_alloc(samples.data(), samples.size(), &target, &options,
                                                  data, size, message, message_size);
      });
}

// What a stream's header says, checked as decompression checks it.
inline std::expected<quarnel_header_info, Error> read_header(std::span<const std::uint8_t> stream) {
  return detail::read_info<quarnel_header_info>(stream, quarnel_read_header);
}

// What a stream's trailer holds (has_trailer 0 for a bare stream), verified.
inline std::expected<quarnel_trailer_info, Error> read_trailer(
    std::span<const std::uint8_t> stream) {
  return detail::read_info<quarnel_trailer_info>(stream, quarnel_read_trailer);
}

// The samples written into `samples`, which needs room for the header's
// sample count; their number.
inline std::expected<std::size_t, Error> decompress_into(std::span<const std::uint8_t> stream,
                                                         std::span<float> samples,
                                                         unsigned threads = 1) {
  std::size_t count = samples.size();
  return detail::run(
      [&](char* message, std::size_t message_size) {
        return quarnel_decompress(stream.data(), stream.size(), threads, samples.data(), &count,
                                  message, message_size);
      },
      [&] { return count; });
}

// The samples, decoded straight into the vector returned. The vector is
// sized once the stream has vouched for its sample count
// (quarnel_decompressed_length): a damaged count is refused, not allocated.
// `flags`: 0 or QUARNEL_REQUIRE_TRAILER.
inline std::expected<std::vector<float>, Error> decompress(std::span<const std::uint8_t> stream,
                                                           unsigned threads = 1,
                                                           unsigned flags = 0) {
  std::size_t length = 0;
  const auto vouched = detail::run(
      [&](char* message, std::size_t message_size) {
        return quarnel_decompressed_length(stream.data(), stream.size(), &length, message,
                                           message_size);
      },
      [&] { return length; });
  if (!vouched) return std::unexpected(vouched.error());
  std::vector<float> samples(length);
  std::size_t count = samples.size();
  const auto decoded = detail::run(
      [&](char* message, std::size_t message_size) {
        return quarnel_decompress_flags(stream.data(), stream.size(), threads, flags,
                                        samples.data(), &count, message, message_size);
      },
      [&] { return count; });
  if (!decoded) return std::unexpected(decoded.error());
  return samples;
}

}  // namespace quarnel::cpp

#endif
