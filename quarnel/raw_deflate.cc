#include "quarnel/raw_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "quarnel/stream_check.h"

namespace quarnel {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

QuarnelError failed(std::string reason) {
  return QuarnelError::decompression_failed(std::move(reason));
}

std::string zlib_message(const z_stream& zs, int rc) {
  return zs.msg != nullptr ? std::string(zs.msg) : std::string(zError(rc));
}

// What one call of deflate or inflate did.
struct Chunk {
  int rc;
  std::size_t consumed;
  std::size_t produced;
};

// Runs `call` (deflate or inflate) over the input from `in_pos` and `room`
// bytes of output at `out`. zlib counts in 32-bit units, so a call is fed and
// drained at most 4 GiB; `call` learns whether its chunk ends the input.
template <typename Call>
Chunk run_chunk(z_stream& zs, std::span<const std::uint8_t> input, std::size_t in_pos,
                std::uint8_t* out, std::size_t room, Call call) {
  const std::size_t in_chunk = std::min<std::size_t>(input.size() - in_pos, UINT_MAX);
  const std::size_t out_chunk = std::min<std::size_t>(room, UINT_MAX);
  zs.next_in = const_cast<Bytef*>(input.data() + in_pos);
  zs.avail_in = static_cast<uInt>(in_chunk);
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(out_chunk);
  const int rc = call(&zs, in_pos + in_chunk == input.size());
  return {rc, in_chunk - zs.avail_in, out_chunk - zs.avail_out};
}

// Raw DEFLATE cannot expand by more than 1032:1 (one 258-byte match per two
// bits of input) plus a small constant, so this bounds what a payload can
// deliver whatever the header promises.
std::uint64_t inflate_bound(std::uint64_t payload_size) {
  return payload_size * 1032 + 1024;
}

}  // namespace

std::expected<void, QuarnelError> deflate_append(std::span<const std::uint8_t> input,
                                                 std::vector<std::uint8_t>& out) {
  z_stream zs{};
  int rc = deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) return Unexpected(QuarnelError::encode_failed(zlib_message(zs, rc)));
  struct End {
    z_stream* zs;
    ~End() { deflateEnd(zs); }
  } end{&zs};

  std::size_t out_pos = out.size();
  out.resize(out_pos + deflateBound(&zs, input.size()));
  std::size_t in_pos = 0;
  for (;;) {
    const Chunk step =
        run_chunk(zs, input, in_pos, out.data() + out_pos, out.size() - out_pos,
                  [](z_stream* s, bool last) { return deflate(s, last ? Z_FINISH : Z_NO_FLUSH); });
    in_pos += step.consumed;
    out_pos += step.produced;
    if (step.rc == Z_STREAM_END) break;
    if (step.rc != Z_OK && step.rc != Z_BUF_ERROR) {
      return Unexpected(QuarnelError::encode_failed(zlib_message(zs, step.rc)));
    }
    if (out_pos == out.size()) {
      out.resize(out.size() + out.size() / 2 + 64);  // the bound was not enough: grow
    } else if (step.rc == Z_BUF_ERROR) {
      return Unexpected(QuarnelError::encode_failed(zlib_message(zs, step.rc)));
    }
  }
  out.resize(out_pos);
  return {};
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
    const Chunk step = run_chunk(zs, payload, in_pos, target, room,
                                 [](z_stream* s, bool) { return inflate(s, Z_NO_FLUSH); });
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

}  // namespace quarnel
