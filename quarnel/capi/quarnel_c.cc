// The C interface of quarnel/quarnel_c.h over the C++ calls of
// quarnel/quarnel.h: arguments checked, errors turned into codes and messages,
// every exception caught before it reaches C.
#include "quarnel/quarnel_c.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "quarnel/quarnel.h"
#include "quarnel/store.h"
#include "quarnel/trailer.h"

namespace {

using quarnel::QuarnelError;
using quarnel::QuarnelErrorKind;

// A codec error's code is its kind's position plus one: both orders are fixed.
// The calls that read a stream class its failures further (stream_failure()).
// QUARNEL_ERROR_STREAM_TRUNCATED (15) is this interface's own: a kind the
// codec appends after StreamDamaged needs a code of its own here.
constexpr int code_of(QuarnelErrorKind kind) {
  return 1 + static_cast<int>(kind);
}
static_assert(QUARNEL_ERROR_INVALID_METHOD == code_of(QuarnelErrorKind::InvalidMethod));
static_assert(QUARNEL_ERROR_INVALID_MAGIC == code_of(QuarnelErrorKind::InvalidMagic));
static_assert(QUARNEL_ERROR_INVALID_FORMAT_TAG == code_of(QuarnelErrorKind::InvalidFormatTag));
static_assert(QUARNEL_ERROR_INVALID_VERSION == code_of(QuarnelErrorKind::InvalidVersion));
static_assert(QUARNEL_ERROR_TRANSFORM_FAILED == code_of(QuarnelErrorKind::TransformFailed));
static_assert(QUARNEL_ERROR_ENCODE_FAILED == code_of(QuarnelErrorKind::EncodeFailed));
static_assert(QUARNEL_ERROR_OUT_OF_MEMORY == code_of(QuarnelErrorKind::OutOfMemory));
static_assert(QUARNEL_ERROR_INVALID_HEADER == code_of(QuarnelErrorKind::InvalidHeader));
static_assert(QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION ==
              code_of(QuarnelErrorKind::UnsupportedConfiguration));
static_assert(QUARNEL_ERROR_DECOMPRESSION_FAILED == code_of(QuarnelErrorKind::DecompressionFailed));
static_assert(QUARNEL_ERROR_UNSUPPORTED_SCALE == code_of(QuarnelErrorKind::UnsupportedScale));
static_assert(QUARNEL_ERROR_UNKNOWN_CODER == code_of(QuarnelErrorKind::UnknownCoder));
static_assert(QUARNEL_ERROR_BOUND_UNREACHABLE == code_of(QuarnelErrorKind::BoundUnreachable));
static_assert(QUARNEL_ERROR_STREAM_DAMAGED == code_of(QuarnelErrorKind::StreamDamaged));

// The option values pass through unchanged, so the codec's range checks and
// messages apply to them as to a C++ caller's.
static_assert(QUARNEL_METHOD_CDF53 == static_cast<int>(quarnel::WaveletMethod::cdf53));
static_assert(QUARNEL_METHOD_CDF97 == static_cast<int>(quarnel::WaveletMethod::cdf97));
static_assert(QUARNEL_METHOD_DB4 == static_cast<int>(quarnel::WaveletMethod::db4));
static_assert(QUARNEL_METHOD_SYM4 == static_cast<int>(quarnel::WaveletMethod::sym4));
static_assert(QUARNEL_CUTOFF_LOW == static_cast<int>(quarnel::CutoffLevel::low));
static_assert(QUARNEL_CUTOFF_MEDIUM == static_cast<int>(quarnel::CutoffLevel::medium));
static_assert(QUARNEL_CUTOFF_HIGH == static_cast<int>(quarnel::CutoffLevel::high));
static_assert(QUARNEL_CODER_DEFLATE == static_cast<int>(quarnel::CoderChoice::deflate));
static_assert(QUARNEL_CODER_ARANS == static_cast<int>(quarnel::CoderChoice::arans));
static_assert(QUARNEL_CODER_AUTO == static_cast<int>(quarnel::CoderChoice::auto_));
static_assert(QUARNEL_TARGET_MAX_ERROR == static_cast<int>(quarnel::ErrorTarget::max_error));
static_assert(QUARNEL_TARGET_REL_ERROR == static_cast<int>(quarnel::ErrorTarget::relative_error));
static_assert(QUARNEL_TARGET_PSNR == static_cast<int>(quarnel::ErrorTarget::psnr));

static_assert(QUARNEL_HEADER_SIZE == quarnel::kHeaderSize);

// The sizes of each struct's layouts, the first to this library's: a caller's
// struct_size is one of them, so that no field is cut in half.
constexpr std::size_t kOptionsSizes[] = {offsetof(quarnel_options, trailer),
                                         offsetof(quarnel_options, corrections),
                                         sizeof(quarnel_options)};
constexpr std::size_t kHeaderInfoSizes[] = {sizeof(quarnel_header_info)};
constexpr std::size_t kTrailerInfoSizes[] = {offsetof(quarnel_trailer_info, corrected_count),
                                             offsetof(quarnel_trailer_info, grid_origin),
                                             sizeof(quarnel_trailer_info)};
constexpr std::size_t kTargetSizes[] = {sizeof(quarnel_target)};
static_assert(kOptionsSizes[0] == 12 && kOptionsSizes[1] == 32 && kOptionsSizes[2] == 40);
static_assert(kTrailerInfoSizes[0] == 64 && kTrailerInfoSizes[1] == 80);

// Whether a code is one of its enumeration's: the name tables end where the
// enumerations do.
bool is_method(std::uint8_t code) {
  return !quarnel::method_name(static_cast<quarnel::WaveletMethod>(code)).empty();
}
bool is_coder(std::uint8_t code) {
  return !quarnel::coder_name(static_cast<quarnel::CoderChoice>(code)).empty();
}

// The caller's message buffer, if any. Writing never allocates, never runs
// past the buffer and always ends the text.
class Message {
 public:
  Message(char* text, std::size_t size) : text_(size != 0 ? text : nullptr), size_(size) {
    if (text_) text_[0] = '\0';
  }

  __attribute__((format(printf, 3, 4))) int fail(int code, const char* format, ...) const {
    if (text_) {
      std::va_list args;
      va_start(args, format);
      std::vsnprintf(text_, size_, format, args);
      va_end(args);
    }
    return code;
  }

  // The codec's own text, in ASCII up to its end, under `code` (by default
  // its kind's); should rendering it run out of memory, the code still tells
  // what failed.
  int fail(const QuarnelError& error) const { return fail(code_of(error.kind()), error); }
  int fail(int code, const QuarnelError& error) const {
    if (!text_) return code;
    try {
      const std::string text = error.printable_message();
      return fail(code, "%s", text.c_str());
    } catch (...) {
      return code;
    }
  }

 private:
  char* text_;
  std::size_t size_;
};

// Runs a call's body; no exception gets past it.
template <class Body>
int guarded(const Message& message, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return message.fail(QUARNEL_ERROR_OUT_OF_MEMORY, "Out of memory");
  } catch (const std::exception& e) {
    return message.fail(QUARNEL_ERROR_INTERNAL, "Unexpected failure: %s", e.what());
  } catch (...) {
    return message.fail(QUARNEL_ERROR_INTERNAL, "Unexpected failure");
  }
}

int null_argument(const Message& message, const char* name) {
  return message.fail(QUARNEL_ERROR_NULL_POINTER, "%s is a null pointer", name);
}

// A failure to read a stream, in the classes quarnel_c.h documents: a
// foreign stream, a later version, memory, a stream that ends before its
// header or its payload does, and damage, which is everything else the
// stream's bytes hold wrong (header fields, payload, trailer). The codec
// reports memory it could not get while decoding as DecompressionFailed
// "out of memory" or as the transform's "Cannot allocate".
int stream_failure(std::span<const std::uint8_t> stream, const QuarnelError& error,
                   const Message& message) {
  switch (error.kind()) {
    case QuarnelErrorKind::InvalidMagic:
    case QuarnelErrorKind::InvalidVersion:
    case QuarnelErrorKind::OutOfMemory:
      return message.fail(error);
    default:
      break;
  }
  const std::string text = error.message();
  if (text.find("out of memory") != std::string::npos ||
      text.find("Cannot allocate") != std::string::npos) {
    return message.fail(QUARNEL_ERROR_OUT_OF_MEMORY, error);
  }
  bool truncated = stream.size() < quarnel::kHeaderSize;
  if (!truncated) {
    const auto header = quarnel::read_header(stream);
    truncated =
        header && stream.size() < quarnel::kHeaderSize + std::uint64_t{header->payload_length};
  }
  return message.fail(truncated ? QUARNEL_ERROR_STREAM_TRUNCATED : QUARNEL_ERROR_STREAM_DAMAGED,
                      error);
}

// A struct the caller sizes: one of its layouts' sizes (`sizes`, ascending).
template <class Struct, std::size_t N>
int check_struct_size(const Struct& given, const char* name, const std::size_t (&sizes)[N],
                      const Message& message) {
  if (std::ranges::find(sizes, given.struct_size) != std::end(sizes)) return QUARNEL_OK;
  char known[64] = "";
  for (std::size_t i = 0; i < N; ++i) {
    const std::size_t used = std::strlen(known);
    std::snprintf(known + used, sizeof known - used, "%s%zu",
                  i == 0       ? ""
                  : i + 1 == N ? " and "
                               : ", ",
                  sizes[i]);
  }
  return message.fail(QUARNEL_ERROR_BAD_STRUCT_SIZE,
                      "%s.struct_size is %u, but this library knows %s %s", name,
                      static_cast<unsigned>(given.struct_size), N == 1 ? "size" : "sizes", known);
}

int check_threads(unsigned threads, const char* name, const Message& message) {
  if (threads <= QUARNEL_MAX_THREADS) return QUARNEL_OK;
  return message.fail(QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION, "%s is %u, more than %u", name,
                      threads, static_cast<unsigned>(QUARNEL_MAX_THREADS));
}

// A call that reads a stream into an info struct the caller sizes: its
// arguments checked, then `read` fills a whole struct of this library's
// layout; the caller gets the fields of its own size, an older and shorter
// layout those it has.
template <class Info, std::size_t N, class Read>
int fill_info(const std::uint8_t* stream, std::size_t stream_size, Info* info, const char* name,
              const std::size_t (&sizes)[N], const Message& message, Read&& read) {
  if (stream == nullptr && stream_size != 0) return null_argument(message, "stream");
  if (info == nullptr) return null_argument(message, "info");
  if (const int code = check_struct_size(*info, name, sizes, message)) return code;
  Info filled = {};
  if (const int code = read(filled)) return code;
  const std::uint32_t size = info->struct_size;
  filled.struct_size = size;
  std::memcpy(info, &filled, size);
  return QUARNEL_OK;
}

struct CallOptions {
  quarnel::CompressionOptions codec;
  quarnel::StoreOptions store;
  unsigned threads = 1;
};

int read_options(const quarnel_options* given, CallOptions& out, const Message& message) {
  quarnel_options options;
  quarnel_options_init(&options);
  if (given) {
    if (const int code = check_struct_size(*given, "quarnel_options", kOptionsSizes, message)) {
      return code;
    }
    // An older, shorter layout keeps the defaults of the fields it lacks.
    std::memcpy(&options, given, given->struct_size);
  }
  // The enumerations' codes for values past their ends; the codec's own
  // checks name the rest.
  if (!is_method(options.method)) {
    return message.fail(QUARNEL_ERROR_INVALID_METHOD,
                        "quarnel_options.method is %u, not a QUARNEL_METHOD_*", options.method);
  }
  if (!is_coder(options.coder)) {
    return message.fail(QUARNEL_ERROR_UNKNOWN_CODER,
                        "quarnel_options.coder is %u, not a QUARNEL_CODER_*", options.coder);
  }
  if (const int code = check_threads(options.threads, "quarnel_options.threads", message)) {
    return code;
  }
  out.codec.method = static_cast<quarnel::WaveletMethod>(options.method);
  out.codec.scale = options.scale;
  out.codec.cutoff = static_cast<quarnel::CutoffLevel>(options.cutoff);
  out.codec.coder = static_cast<quarnel::CoderChoice>(options.coder);
  out.threads = options.threads;
  out.store.trailer = options.trailer != 0;
  if (options.has_fill_value) out.store.fill_value = options.fill_value;
  out.store.corrections = options.corrections != 0;
  if (auto level = quarnel::check_deflate_level(options.deflate_level); !level) {
    return message.fail(level.error());
  }
  out.store.deflate_level = options.deflate_level;
  return QUARNEL_OK;
}

// Checks common to the compress calls, then the stream.
template <class Sample>
int compress_checked(const Sample* samples, std::size_t sample_count,
                     const quarnel_options* options, const Message& message,
                     std::vector<std::uint8_t>& stream) {
  if (samples == nullptr && sample_count != 0) return null_argument(message, "samples");
  CallOptions call;
  if (const int code = read_options(options, call, message)) return code;
  auto result = quarnel::compress_stored(std::span<const Sample>(samples, sample_count), call.codec,
                                         call.store, call.threads);
  if (!result) return message.fail(result.error());
  stream = std::move(*result);
  return QUARNEL_OK;
}

template <class Sample>
int compress_bounded_checked(const Sample* samples, std::size_t sample_count,
                             const quarnel_target* target, const quarnel_options* options,
                             const Message& message, std::vector<std::uint8_t>& stream) {
  if (samples == nullptr && sample_count != 0) return null_argument(message, "samples");
  if (target == nullptr) return null_argument(message, "target");
  if (const int code = check_struct_size(*target, "quarnel_target", kTargetSizes, message)) {
    return code;
  }
  CallOptions call;
  if (const int code = read_options(options, call, message)) return code;
  if (std::isnan(target->value)) {
    return message.fail(QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION,
                        "quarnel_target.value is not set: give the largest error, the error as a "
                        "fraction of the range, or the PSNR in dB");
  }
  if (target->method != QUARNEL_METHOD_ANY && !is_method(target->method)) {
    return message.fail(QUARNEL_ERROR_INVALID_METHOD,
                        "quarnel_target.method is %u, not a QUARNEL_METHOD_*", target->method);
  }
  if (!is_coder(target->coder)) {
    return message.fail(QUARNEL_ERROR_UNKNOWN_CODER,
                        "quarnel_target.coder is %u, not a QUARNEL_CODER_*", target->coder);
  }
  // The kind passes through unchanged: the encoder refuses one out of range
  // with its own message.
  quarnel::BoundedOptions bounded;
  bounded.target = static_cast<quarnel::ErrorTarget>(target->kind);
  bounded.value = target->value;
  if (target->method != QUARNEL_METHOD_ANY) {
    bounded.method = static_cast<quarnel::WaveletMethod>(target->method);
  }
  bounded.coder = static_cast<quarnel::CoderChoice>(target->coder);
  bounded.deflate_level = call.store.deflate_level;
  auto result = quarnel::compress_bounded_stored(std::span<const Sample>(samples, sample_count),
                                                 bounded, call.store, call.threads);
  if (!result) return message.fail(result.error());
  stream = std::move(result->stream);
  return QUARNEL_OK;
}

// The _alloc calls' ending: a malloc'ed copy of `result` for the caller.
int hand_out(const std::vector<std::uint8_t>& result, std::uint8_t** stream,
             std::size_t* stream_size) {
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(result.size()));
  if (buffer == nullptr) throw std::bad_alloc();
  std::memcpy(buffer, result.data(), result.size());
  *stream = buffer;
  *stream_size = result.size();
  return QUARNEL_OK;
}

// An _alloc compress call: its output arguments checked and cleared, then
// `encode` fills the stream.
template <class Encode>
int compress_alloc(std::uint8_t** stream, std::size_t* stream_size, const Message& out,
                   Encode&& encode) {
  return guarded(out, [&]() -> int {
    if (stream == nullptr) return null_argument(out, "stream");
    if (stream_size == nullptr) return null_argument(out, "stream_size");
    *stream = nullptr;
    *stream_size = 0;
    std::vector<std::uint8_t> result;
    if (const int code = encode(result)) return code;
    return hand_out(result, stream, stream_size);
  });
}

// Decodes `stream` into the memory `place(sample_count)` gives, without a
// copy of the signal, as decompress_with_trailer() does: a trailer is
// verified before anything is decoded, then its corrections and its masked
// samples are applied.
int decompress_checked(std::span<const std::uint8_t> stream, unsigned threads, unsigned flags,
                       const std::function<std::span<float>(std::size_t)>& place,
                       const Message& message) {
  if (const int code = check_threads(threads, "threads", message)) return code;
  const auto decoded = quarnel::decompress_with_trailer_into(
      stream, threads, place, (flags & QUARNEL_REQUIRE_TRAILER) != 0);
  if (!decoded) return stream_failure(stream, decoded.error(), message);
  return QUARNEL_OK;
}

// The checks a stream passes before a caller sizes anything by its sample
// count: its header, its trailer's checksum when it has one, and that its
// payload can hold that many samples.
int verify_count(std::span<const std::uint8_t> stream, const Message& message) {
  const auto trailer = quarnel::read_trailer(stream);
  if (!trailer) return stream_failure(stream, trailer.error(), message);
  return QUARNEL_OK;
}

// The decode calls into a caller's buffer: the room checked before anything
// is decoded, on a count the stream has vouched for. float32 samples go
// straight there; float64 ones are the float32 samples widened, the masked
// ones then given back their own float64 bits.
template <class T>
int decompress_to_caller(const uint8_t* stream, size_t stream_size, unsigned threads,
                         unsigned flags, T* samples, size_t* sample_count, const Message& out) {
  return guarded(out, [&]() -> int {
    if (stream == nullptr && stream_size != 0) return null_argument(out, "stream");
    if (sample_count == nullptr) return null_argument(out, "sample_count");
    if (samples == nullptr && *sample_count != 0) return null_argument(out, "samples");
    const std::span<const std::uint8_t> bytes(stream, stream_size);
    const auto header = quarnel::read_header(bytes);
    if (!header) return stream_failure(bytes, header.error(), out);
    if (header->sample_count > *sample_count) {
      if (const int code = verify_count(bytes, out)) return code;
      const std::size_t room = *sample_count;
      *sample_count = header->sample_count;
      return out.fail(QUARNEL_ERROR_BUFFER_TOO_SMALL,
                      "Output buffer holds %zu samples, but the stream has %zu", room,
                      static_cast<std::size_t>(header->sample_count));
    }
    const std::size_t count = header->sample_count;
    if constexpr (std::is_same_v<T, float>) {
      if (const int code = decompress_checked(
              bytes, threads, flags, [&](std::size_t) { return std::span<float>(samples, count); },
              out)) {
        return code;
      }
    } else {
      std::vector<float> decoded;
      if (const int code = check_threads(threads, "threads", out)) return code;
      const auto trailer = quarnel::decompress_with_trailer_into(
          bytes, threads,
          [&](std::size_t n) {
            decoded.resize(n);
            return std::span<float>(decoded);
          },
          (flags & QUARNEL_REQUIRE_TRAILER) != 0);
      if (!trailer) return stream_failure(bytes, trailer.error(), out);
      std::copy(decoded.begin(), decoded.end(), samples);
      if (*trailer) quarnel::apply_mask(**trailer, std::span<double>(samples, count));
    }
    *sample_count = count;
    return QUARNEL_OK;
  });
}

}  // namespace

unsigned quarnel_version_number(void) {
  return QUARNEL_VERSION_NUMBER;
}

const char* quarnel_version_string(void) {
  return QUARNEL_VERSION_STRING;
}

void quarnel_options_init(quarnel_options* options) {
  if (options == nullptr) return;
  const quarnel::CompressionOptions defaults;
  *options = {};
  options->struct_size = sizeof *options;
  options->method = static_cast<std::uint8_t>(defaults.method);
  options->scale = defaults.scale;
  options->cutoff = static_cast<std::uint8_t>(defaults.cutoff);
  options->coder = static_cast<std::uint8_t>(defaults.coder);
  options->threads = 1;
  options->trailer = 1;
  options->corrections = 1;
  options->deflate_level = quarnel::kDefaultDeflateLevel;
}

int quarnel_compress(const float* samples, size_t sample_count, const quarnel_options* options,
                     uint8_t* stream, size_t* stream_size, char* message, size_t message_size) {
  const Message out(message, message_size);
  return guarded(out, [&]() -> int {
    if (stream_size == nullptr) return null_argument(out, "stream_size");
    if (stream == nullptr && *stream_size != 0) return null_argument(out, "stream");
    std::vector<std::uint8_t> result;
    if (const int code = compress_checked(samples, sample_count, options, out, result)) {
      return code;
    }
    if (result.size() > *stream_size) {
      const std::size_t room = *stream_size;
      *stream_size = result.size();
      return out.fail(QUARNEL_ERROR_BUFFER_TOO_SMALL,
                      "Output buffer holds %zu bytes, but the stream needs %zu", room,
                      result.size());
    }
    std::memcpy(stream, result.data(), result.size());
    *stream_size = result.size();
    return QUARNEL_OK;
  });
}

size_t quarnel_compress_bound(size_t sample_count, const quarnel_options* options) {
  const Message none(nullptr, 0);
  CallOptions call;
  if (read_options(options, call, none) != QUARNEL_OK) return 0;
  if (sample_count == 0 || sample_count > quarnel::kMaxSampleCount) return 0;
  try {
    std::uint64_t bound = quarnel::compress_bound(sample_count);
    if (call.store.trailer) bound += quarnel::trailer_bound(sample_count, call.store);
    return static_cast<size_t>(std::min<std::uint64_t>(bound, SIZE_MAX));
  } catch (...) {
    // Only the executors' small allocations can fail.
    return 0;
  }
}

int quarnel_compress_alloc(const float* samples, size_t sample_count,
                           const quarnel_options* options, uint8_t** stream, size_t* stream_size,
                           char* message, size_t message_size) {
  const Message out(message, message_size);
  return compress_alloc(stream, stream_size, out, [&](std::vector<std::uint8_t>& result) {
    return compress_checked(samples, sample_count, options, out, result);
  });
}

int quarnel_compress_f64_alloc(const double* samples, size_t sample_count,
                               const quarnel_options* options, uint8_t** stream,
                               size_t* stream_size, char* message, size_t message_size) {
  const Message out(message, message_size);
  return compress_alloc(stream, stream_size, out, [&](std::vector<std::uint8_t>& result) {
    return compress_checked(samples, sample_count, options, out, result);
  });
}

void quarnel_target_init(quarnel_target* target) {
  if (target == nullptr) return;
  const quarnel::BoundedOptions defaults;
  *target = {};
  target->struct_size = sizeof *target;
  target->kind = static_cast<std::uint8_t>(defaults.target);
  target->method = QUARNEL_METHOD_ANY;
  target->coder = static_cast<std::uint8_t>(defaults.coder);
  // Not set: no one value suits every signal, and 0 (exact) is met by few.
  target->value = std::numeric_limits<double>::quiet_NaN();
}

int quarnel_compress_bounded_alloc(const float* samples, size_t sample_count,
                                   const quarnel_target* target, const quarnel_options* options,
                                   uint8_t** stream, size_t* stream_size, char* message,
                                   size_t message_size) {
  const Message out(message, message_size);
  return compress_alloc(stream, stream_size, out, [&](std::vector<std::uint8_t>& result) {
    return compress_bounded_checked(samples, sample_count, target, options, out, result);
  });
}

int quarnel_compress_bounded_f64_alloc(const double* samples, size_t sample_count,
                                       const quarnel_target* target, const quarnel_options* options,
                                       uint8_t** stream, size_t* stream_size, char* message,
                                       size_t message_size) {
  const Message out(message, message_size);
  return compress_alloc(stream, stream_size, out, [&](std::vector<std::uint8_t>& result) {
    return compress_bounded_checked(samples, sample_count, target, options, out, result);
  });
}

int quarnel_read_header(const uint8_t* stream, size_t stream_size, quarnel_header_info* info,
                        char* message, size_t message_size) {
  const Message out(message, message_size);
  return guarded(out, [&]() -> int {
    return fill_info(stream, stream_size, info, "quarnel_header_info", kHeaderInfoSizes, out,
                     [&](quarnel_header_info& read) -> int {
                       const auto header = quarnel::read_header({stream, stream_size});
                       if (!header)
                         return stream_failure({stream, stream_size}, header.error(), out);
                       read = {
                           .struct_size = 0,
                           .method = static_cast<std::uint8_t>(header->method),
                           .levels = header->levels,
                           .scale = header->scale,
                           .coder = static_cast<std::uint8_t>(header->coder),
                           .sample_count = header->sample_count,
                           .min_value = header->min_value,
                           .max_value = header->max_value,
                           .mean_value = header->mean_value,
                           .payload_length = header->payload_length,
                       };
                       return QUARNEL_OK;
                     });
  });
}

int quarnel_decompressed_length(const uint8_t* stream, size_t stream_size, size_t* sample_count,
                                char* message, size_t message_size) {
  const Message out(message, message_size);
  return guarded(out, [&]() -> int {
    if (sample_count == nullptr) return null_argument(out, "sample_count");
    if (stream == nullptr && stream_size != 0) return null_argument(out, "stream");
    const std::span<const std::uint8_t> bytes(stream, stream_size);
    if (const int code = verify_count(bytes, out)) return code;
    *sample_count = quarnel::read_header(bytes)->sample_count;
    return QUARNEL_OK;
  });
}

int quarnel_decompress(const uint8_t* stream, size_t stream_size, unsigned threads, float* samples,
                       size_t* sample_count, char* message, size_t message_size) {
  return quarnel_decompress_flags(stream, stream_size, threads, 0, samples, sample_count, message,
                                  message_size);
}

int quarnel_decompress_flags(const uint8_t* stream, size_t stream_size, unsigned threads,
                             unsigned flags, float* samples, size_t* sample_count, char* message,
                             size_t message_size) {
  return decompress_to_caller(stream, stream_size, threads, flags, samples, sample_count,
                              Message(message, message_size));
}

int quarnel_decompress_f64(const uint8_t* stream, size_t stream_size, unsigned threads,
                           unsigned flags, double* samples, size_t* sample_count, char* message,
                           size_t message_size) {
  return decompress_to_caller(stream, stream_size, threads, flags, samples, sample_count,
                              Message(message, message_size));
}

int quarnel_decompress_alloc(const uint8_t* stream, size_t stream_size, unsigned threads,
                             float** samples, size_t* sample_count, char* message,
                             size_t message_size) {
  return quarnel_decompress_alloc_flags(stream, stream_size, threads, 0, samples, sample_count,
                                        message, message_size);
}

int quarnel_decompress_alloc_flags(const uint8_t* stream, size_t stream_size, unsigned threads,
                                   unsigned flags, float** samples, size_t* sample_count,
                                   char* message, size_t message_size) {
  const Message out(message, message_size);
  return guarded(out, [&]() -> int {
    if (stream == nullptr && stream_size != 0) return null_argument(out, "stream");
    if (samples == nullptr) return null_argument(out, "samples");
    if (sample_count == nullptr) return null_argument(out, "sample_count");
    *samples = nullptr;
    *sample_count = 0;
    // The buffer the samples are decoded into, allocated once the payload
    // has shown it holds them.
    std::unique_ptr<float, decltype(&std::free)> buffer(nullptr, &std::free);
    std::size_t count = 0;
    const auto place = [&](std::size_t n) {
      // Never a null pointer on success, not even for no samples.
      buffer.reset(static_cast<float*>(std::malloc(n == 0 ? 1 : n * sizeof(float))));
      if (!buffer) throw std::bad_alloc();
      count = n;
      return std::span<float>(buffer.get(), n);
    };
    if (const int code = decompress_checked({stream, stream_size}, threads, flags, place, out)) {
      return code;
    }
    *samples = buffer.release();
    *sample_count = count;
    return QUARNEL_OK;
  });
}

int quarnel_read_trailer(const uint8_t* stream, size_t stream_size, quarnel_trailer_info* info,
                         char* message, size_t message_size) {
  const Message out(message, message_size);
  return guarded(out, [&]() -> int {
    return fill_info(stream, stream_size, info, "quarnel_trailer_info", kTrailerInfoSizes, out,
                     [&](quarnel_trailer_info& read) -> int {
                       const auto trailer = quarnel::read_trailer({stream, stream_size});
                       if (!trailer) {
                         return stream_failure({stream, stream_size}, trailer.error(), out);
                       }
                       if (!*trailer) return QUARNEL_OK;
                       const quarnel::Trailer& t = **trailer;
                       read.has_trailer = 1;
                       read.masked_count = quarnel::masked_count(t);
                       read.sample_rate = t.sample_rate.value_or(0.0);
                       read.channels = t.channels.value_or(0);
                       // Cut to the field, always ended.
                       std::snprintf(read.source_format, sizeof read.source_format, "%s",
                                     t.source_format.c_str());
                       if (t.corrections) {
                         read.corrected_count = t.corrections->list.size();
                         read.uncorrected_error = t.corrections->bare_max_error;
                         if (const auto& grid = t.corrections->grid) {
                           read.grid_origin = grid->origin;
                           read.grid_step = grid->step;
                         }
                       }
                       return QUARNEL_OK;
                     });
  });
}

void quarnel_free(void* buffer) {
  std::free(buffer);
}

const char* quarnel_error_name(int code) {
  switch (code) {
#define QUARNEL_NAME(name) \
  case name:               \
    return #name;
    QUARNEL_NAME(QUARNEL_OK)
    QUARNEL_NAME(QUARNEL_ERROR_INVALID_METHOD)
    QUARNEL_NAME(QUARNEL_ERROR_INVALID_MAGIC)
    QUARNEL_NAME(QUARNEL_ERROR_INVALID_FORMAT_TAG)
    QUARNEL_NAME(QUARNEL_ERROR_INVALID_VERSION)
    QUARNEL_NAME(QUARNEL_ERROR_TRANSFORM_FAILED)
    QUARNEL_NAME(QUARNEL_ERROR_ENCODE_FAILED)
    QUARNEL_NAME(QUARNEL_ERROR_OUT_OF_MEMORY)
    QUARNEL_NAME(QUARNEL_ERROR_INVALID_HEADER)
    QUARNEL_NAME(QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION)
    QUARNEL_NAME(QUARNEL_ERROR_DECOMPRESSION_FAILED)
    QUARNEL_NAME(QUARNEL_ERROR_UNSUPPORTED_SCALE)
    QUARNEL_NAME(QUARNEL_ERROR_UNKNOWN_CODER)
    QUARNEL_NAME(QUARNEL_ERROR_BOUND_UNREACHABLE)
    QUARNEL_NAME(QUARNEL_ERROR_STREAM_DAMAGED)
    QUARNEL_NAME(QUARNEL_ERROR_STREAM_TRUNCATED)
    QUARNEL_NAME(QUARNEL_ERROR_NULL_POINTER)
    QUARNEL_NAME(QUARNEL_ERROR_BUFFER_TOO_SMALL)
    QUARNEL_NAME(QUARNEL_ERROR_BAD_STRUCT_SIZE)
    QUARNEL_NAME(QUARNEL_ERROR_INTERNAL)
#undef QUARNEL_NAME
  }
  return nullptr;
}
