#include "quarnel/raw_deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "quarnel/stream_check.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

QuarnelError failed(std::string reason) {
  return QuarnelError::decompression_failed(std::move(reason));
}

// What one call of inflate did.
struct Chunk {
  int rc;
  std::size_t consumed;
  std::size_t produced;
};

// Inflates the input from `in_pos` into `room` bytes of output at `out`. zlib
// counts in 32-bit units, so a call is fed and drained at most 4 GiB.
Chunk inflate_chunk(z_stream& zs, std::span<const std::uint8_t> input, std::size_t in_pos,
                    std::uint8_t* out, std::size_t room) {
  const std::size_t in_chunk = std::min<std::size_t>(input.size() - in_pos, UINT_MAX);
  const std::size_t out_chunk = std::min<std::size_t>(room, UINT_MAX);
  zs.next_in = const_cast<Bytef*>(input.data() + in_pos);
  zs.avail_in = static_cast<uInt>(in_chunk);
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(out_chunk);
  const int rc = inflate(&zs, Z_NO_FLUSH);
  return {rc, in_chunk - zs.avail_in, out_chunk - zs.avail_out};
}

struct FreeCompressor {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

struct FreeDecompressor {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// Raw DEFLATE cannot expand by more than 1032:1 (one 258-byte match per two
// bits of input) plus a small constant, so this bounds what a payload can
// deliver whatever the header promises.
std::uint64_t inflate_bound(std::uint64_t payload_size) {
  return payload_size * 1032 + 1024;
}

}  // namespace

std::expected<void, QuarnelError> deflate_append(std::span<const std::uint8_t> input,
                                                 std::vector<std::uint8_t>& out, int level) {
  // One whole-buffer call: libdeflate takes sizes as size_t, so coefficient
  // strings past 4 GiB go through in one piece too.
  const std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor(
      libdeflate_alloc_compressor(level));
  // The text zlib gave for the same failure.
  if (!compressor) return Unexpected(QuarnelError::encode_failed("insufficient memory"));
  // Room for the bound, left untouched: only the pages the payload fills are
  // ever made resident, and the payload is copied out at its own size.
  const std::size_t bound = libdeflate_deflate_compress_bound(compressor.get(), input.size());
  const auto room = std::make_unique_for_overwrite<std::uint8_t[]>(bound);
  const std::size_t size =
      libdeflate_deflate_compress(compressor.get(), input.data(), input.size(), room.get(), bound);
  // Only an output buffer smaller than the bound makes the call give up.
  if (size == 0) return Unexpected(QuarnelError::encode_failed("deflate output exceeds its bound"));
  out.insert(out.end(), room.get(), room.get() + size);
  return {};
}

std::uint64_t deflate_bound(std::uint64_t size) {
  // No compressor: the bound of every level, which needs no allocation.
  return libdeflate_deflate_compress_bound(nullptr, size);
}

std::expected<InflatedBytes, QuarnelError> inflate_payload(std::span<const std::uint8_t> payload,
                                                           std::uint64_t keep) {
  InflatedBytes out;
  std::size_t capacity = std::min(keep, inflate_bound(payload.size()));
  try {
    out.data = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  } catch (const std::bad_alloc&) {
    return Unexpected(failed("out of memory"));
  }

  // zlib inflates, not libdeflate: libdeflate accepts a few streams zlib
  // rejects (length codes 286 and 287, distance codes 30 and 31, more code
  // lengths than those alphabets have, a code-length repeat running past the
  // last length), and damaged payloads must keep failing as they always did.
  z_stream zs{};
  const int init = inflateInit2(&zs, -15);
  if (init != Z_OK) {
    return Unexpected(failed(init == Z_MEM_ERROR ? "out of memory" : "corrupt deflate stream"));
  }
  struct End {
    z_stream* zs;
    ~End() { inflateEnd(zs); }
  } end{&zs};

  // Output past `keep` is inflated into this window and dropped.
  std::unique_ptr<std::uint8_t[]> discard;
  constexpr std::size_t kDiscardSize = 1 << 16;

  std::size_t in_pos = 0;
  for (;;) {
    std::uint8_t* target;
    std::size_t room;
    if (out.size < keep) {
      if (out.size == capacity) {
        // Only reached if the payload outgrows the first estimate.
        const std::size_t grown = std::min<std::uint64_t>(keep, capacity + capacity / 2 + 4096);
        try {
          auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
          std::memcpy(bigger.get(), out.data.get(), out.size);
          out.data = std::move(bigger);
        } catch (const std::bad_alloc&) {
          return Unexpected(failed("out of memory"));
        }
        capacity = grown;
      }
      target = out.data.get() + out.size;
      room = capacity - out.size;
    } else {
      if (!discard) discard = std::make_unique_for_overwrite<std::uint8_t[]>(kDiscardSize);
      target = discard.get();
      room = kDiscardSize;
    }
    const Chunk step = inflate_chunk(zs, payload, in_pos, target, room);
    in_pos += step.consumed;
    if (out.size < keep) out.size += step.produced;

    if (step.rc == Z_STREAM_END) break;  // anything after the final block is ignored
    QUARNEL_CHECK(step.rc != Z_MEM_ERROR, failed("out of memory"));
    QUARNEL_CHECK(step.rc == Z_OK || step.rc == Z_BUF_ERROR, failed("corrupt deflate stream"));
    // Payload used up with room to spare: everything inflatable is out. A
    // payload cut before its final block ends here, keeping what it gave.
    if (in_pos == payload.size() && zs.avail_out > 0) break;
    if (step.consumed == 0 && step.produced == 0) break;  // no progress possible
  }
  return out;
}

std::expected<InflatedBytes, QuarnelError> inflate_payload(std::span<const std::uint8_t> payload,
                                                           std::uint64_t keep, Inflater inflater) {
  if (inflater == Inflater::zlib) return inflate_payload(payload, keep);
  const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return inflate_payload(payload, keep);
  InflatedBytes out;
  const std::size_t capacity = std::min(keep, inflate_bound(payload.size()));
  try {
    out.data = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  } catch (const std::bad_alloc&) {
    return Unexpected(failed("out of memory"));
  }
  // With both counts asked for, libdeflate accepts input after the final
  // block and output shorter than the room, as zlib does; more output than
  // the room, a stream cut short or a damaged one is zlib's to judge.
  std::size_t consumed = 0;
  const libdeflate_result result =
      libdeflate_deflate_decompress_ex(decompressor.get(), payload.data(), payload.size(),
                                       out.data.get(), capacity, &consumed, &out.size);
  if (result != LIBDEFLATE_SUCCESS) return inflate_payload(payload, keep);
  return out;
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel
