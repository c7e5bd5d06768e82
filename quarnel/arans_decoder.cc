#include "quarnel/arans_decoder.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "quarnel/arans_decide.h"
#include "quarnel/arans_model.h"
#include "quarnel/bytes.h"
#include "quarnel/stream_check.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace arans_detail {

// ---------------------------------------------------------------------------------------
// Decoder

namespace {

// a if `bit` else b, as a conditional move: the bits are data, and a branch on them would
// mispredict about as often as they carry information.
template <typename T>
[[gnu::always_inline]] inline T select(std::size_t bit, T a, T b) {
#if defined(__x86_64__) && defined(__GNUC__)
  if constexpr (sizeof(T) == 4 || sizeof(T) == 8) {
    asm("test %[bit], %[bit]\n\tcmovnz %[a], %[b]"
        : [b] "+r"(b)
        : [a] "r"(a), [bit] "r"(bit)
        : "cc");
    return b;
  }
#endif
  return bit ? a : b;
}

// With h = x >> 12 and m = x & 4095 a decoding step x <- freq * h + m - start is
//   bit 0 (m < P):  P h + m
//   bit 1:          (4096 - P) h + m - P = x - P - P h
// so both outcomes come from the one product P h, and a select picks one. Returns the
// state before renormalisation and sets `bit`; `p_next` and p1 are passed on to decide.
[[gnu::always_inline]] inline std::uint32_t decode_step(std::uint32_t x, std::uint32_t p,
                                                        std::size_t& bit, std::size_t& p_next,
                                                        std::size_t p1) {
  const std::uint32_t m = x & kProbMask;
  const std::uint32_t ph = p * (x >> kProbBits);
  std::uint32_t x_next = x - p - ph;
  bit = decide(p, m, x_next, ph + m, p_next, p1);
  return x_next;
}

// A step leaves x >= 16 when it starts from x >= L (h >= 16 and the frequency is at least
// 1), so one word brings x back to at least 2^20 >= L: from x >= L, every bit reads at most
// one word, a byte at most eight, and the byte ends with x >= L again. Only a corrupt
// initial state below L can need more. So while x >= L, a plane with 16 k coded bytes left
// can decode k bytes on the fast path, which reads its words without further checks; a
// plane with less takes the checked path byte by byte. This is the one check the fast
// path's reads rest on.
constexpr std::size_t kFastByteRoom = 8 * 2;

inline std::size_t fast_bytes(const PlaneDecoder& d) {
  return d.x >= kStateLow ? static_cast<std::size_t>(d.end - d.next) / kFastByteRoom : 0;
}

// The row of the byte after `byte`.
[[gnu::always_inline]] inline std::uint16_t* next_row(std::uint16_t* table, std::uint32_t byte,
                                                      unsigned context_shift) {
  return table + ((byte >> context_shift) << 8);
}

// A plane's decoder in registers for a run of fast bytes: PlaneDecoder's fields, with P
// as a size so that it indexes without widening, and the current byte's node.
struct FastLane {
  std::uint32_t x;
  std::size_t p;
  std::uint16_t* row;
  std::uint16_t* table;
  const std::uint8_t* next;
  std::size_t node;

  explicit FastLane(const PlaneDecoder& d)
      : x(d.x), p(d.p), row(d.row), table(d.table), next(d.next), node(1) {}
  void store(PlaneDecoder& d) const {
    d.x = x;
    d.p = static_cast<std::uint32_t>(p);
    d.row = row;
    d.next = next;
  }
};

// Fast path, bit k of the current byte. The step's critical path runs through x; the table
// work is kept off it: the probabilities of both children of the current node are loaded
// before the bit is known (for the last bit: P of node 1 in both rows the byte can select
// for the next one), and the bit picks one.
template <unsigned k>
[[gnu::always_inline]] inline void fast_bit(FastLane& l, unsigned context_shift) {
  std::size_t p_next, p1;
  std::uint16_t *row0 = nullptr, *row1 = nullptr;
  if constexpr (k < 7) {
    p_next = l.row[2 * l.node];
    p1 = l.row[2 * l.node + 1];
  } else {
    const auto byte0 = static_cast<std::uint32_t>(2 * l.node - 0x100);
    row0 = next_row(l.table, byte0, context_shift);
    row1 = next_row(l.table, byte0 + 1, context_shift);
    p_next = row0[1];
    p1 = row1[1];
  }
  std::size_t bit;
  std::uint32_t x = decode_step(l.x, static_cast<std::uint32_t>(l.p), bit, p_next, p1);
  l.row[l.node] = kModel.next[2 * l.p + bit];
  l.node = 2 * l.node + bit;
  l.p = p_next;
  if constexpr (k == 7) l.row = select(bit, row1, row0);
  if (x < kStateLow) [[unlikely]] {
    x = x << kWordBits | load_le16(l.next);  // within the room fast_bytes granted
    l.next += 2;
  }
  l.x = x;
}

// Checked path, one byte, into `out`. Kept out of line: it is rare, and inlined it would
// crowd the fast path's registers.
[[gnu::noinline]] std::expected<void, AransError> checked_byte(PlaneDecoder& d,
                                                               unsigned context_shift,
                                                               std::uint8_t& out) {
  std::size_t node = 1;
  for (int k = 0; k < 8; ++k) {
    const std::uint32_t p = d.row[node];
    std::size_t bit, unused = 0;
    d.x = decode_step(d.x, p, bit, unused, 0);
    d.row[node] = kModel.next[2 * std::size_t{p} + bit];
    node = 2 * node + bit;
    // Pull words in until x is back in [L, 2^32).
    while (d.x < kStateLow) {
      QUARNEL_CHECK(d.end - d.next >= 2, AransError::Truncated);
      d.x = d.x << kWordBits | load_le16(d.next);
      d.next += 2;
    }
  }
  const auto byte = static_cast<std::uint32_t>(node - 0x100);
  d.row = next_row(d.table, byte, context_shift);
  d.p = d.row[1];
  out = static_cast<std::uint8_t>(byte);
  return {};
}

// Decodes the next `count` bytes of N planes side by side; the i-th of plane j goes to
// out[stride * i + j]. The planes' decoders are copied into locals for runs of fast bytes,
// so that the compiler keeps them in registers.
template <std::size_t N, std::size_t stride = N>
std::expected<void, AransError> decode_planes(std::array<PlaneDecoder, N>& planes,
                                              unsigned context_bits, std::uint8_t* out,
                                              std::size_t count) {
  const unsigned context_shift = 8 - context_bits;
  std::size_t i = 0;
  while (i < count) {
    std::size_t run = count - i;
    for (const PlaneDecoder& d : planes) run = std::min(run, fast_bytes(d));
    if (run == 0) [[unlikely]] {
      for (std::size_t j = 0; j < N; ++j) {
        QUARNEL_TRY(checked_byte(planes[j], context_shift, out[stride * i + j]));
      }
      ++i;
      continue;
    }
    FastLane l0(planes[0]), l1(planes[N - 1]);
    for (const std::size_t end = i + run; i < end; ++i) {
      l0.node = 1;
      l1.node = 1;
#define ARANS_FAST_BIT(k)         \
  fast_bit<k>(l0, context_shift); \
  if constexpr (N == 2) fast_bit<k>(l1, context_shift)
      ARANS_FAST_BIT(0);
      ARANS_FAST_BIT(1);
      ARANS_FAST_BIT(2);
      ARANS_FAST_BIT(3);
      ARANS_FAST_BIT(4);
      ARANS_FAST_BIT(5);
      ARANS_FAST_BIT(6);
      ARANS_FAST_BIT(7);
#undef ARANS_FAST_BIT
      // After eight bits the node is 256 + the byte.
      out[stride * i] = static_cast<std::uint8_t>(l0.node);
      if constexpr (N == 2) out[stride * i + 1] = static_cast<std::uint8_t>(l1.node);
    }
    l0.store(planes[0]);
    if constexpr (N == 2) l1.store(planes[1]);
  }
  return {};
}

// Plane 0 of a stream decoded on a worker thread, in blocks handed to the calling thread
// through a small ring of slots: the calling thread alone writes the output, which it may
// grow, and the two threads never write next to each other in it. The calling thread
// decodes plane 1 and does the copying: for coefficients, whose low bytes carry most of
// the information, plane 0 takes longer. The worker stops at its
// plane's first error, which the calling thread meets when it asks for the block that
// failed, and at the calling thread's request when that thread fails first.
class PlaneFeed {
 public:
  static constexpr std::size_t kBlock = std::size_t{1} << 15;
  static constexpr std::size_t kSlots = 4;

  // May throw std::bad_alloc.
  PlaneFeed(const PlaneDecoder& plane, unsigned context_bits, std::size_t count)
      : plane_(plane),
        context_bits_(context_bits),
        count_(count),
        ring_(std::make_unique_for_overwrite<std::uint8_t[]>(kSlots * kBlock)) {}

  PlaneFeed(const PlaneFeed&) = delete;
  PlaneFeed& operator=(const PlaneFeed&) = delete;

  ~PlaneFeed() {
    if (!worker_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }

  // Starts the worker; false when no thread can be had.
  bool start() {
    try {
      worker_ = std::thread([this] { run(); });
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  // Copies the plane's next `n` bytes to out[0], out[2], ...
  std::expected<void, AransError> take(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (position_ == block_end_) QUARNEL_TRY(next_block());
      const std::size_t k = std::min(n, block_end_ - position_);
      const std::uint8_t* src = slot(taken_) + (position_ - taken_ * kBlock);
      for (std::size_t i = 0; i < k; ++i) out[2 * i] = src[i];
      out += 2 * k;
      n -= k;
      position_ += k;
    }
    return {};
  }

 private:
  std::uint8_t* slot(std::size_t block) const { return ring_.get() + block % kSlots * kBlock; }

  // Gives the block just read back to the worker and waits for the next one.
  std::expected<void, AransError> next_block() {
    std::unique_lock lock(mutex_);
    if (position_ > 0) {
      ++taken_;
      changed_.notify_all();
    }
    changed_.wait(lock, [this] { return produced_ > taken_ || failed_; });
    if (produced_ == taken_) return std::unexpected(error_);
    block_end_ = std::min(count_, (taken_ + 1) * kBlock);
    return {};
  }

  void run() {
    std::array<PlaneDecoder, 1> plane = {plane_};
    for (std::size_t block = 0; block * kBlock < count_; ++block) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || block - taken_ < kSlots; });
        if (stop_) return;
      }
      const std::size_t n = std::min(kBlock, count_ - block * kBlock);
      const auto result = decode_planes<1>(plane, context_bits_, slot(block), n);
      {
        std::lock_guard lock(mutex_);
        if (result) {
          ++produced_;
        } else {
          failed_ = true;
          error_ = result.error();
        }
      }
      changed_.notify_all();
      if (!result) return;
    }
  }

  const PlaneDecoder plane_;
  const unsigned context_bits_;
  const std::size_t count_;
  const std::unique_ptr<std::uint8_t[]> ring_;
  std::thread worker_;
  // The calling thread's reading position in the plane, and the end of its block.
  std::size_t position_ = 0;
  std::size_t block_end_ = 0;
  // Under mutex_: blocks decoded, blocks given back, and how the worker ended.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t produced_ = 0;
  std::size_t taken_ = 0;
  bool failed_ = false;
  bool stop_ = false;
  AransError error_ = AransError::Truncated;
};

}  // namespace

std::expected<PlaneDecoder, AransError> start_plane(std::span<const std::uint8_t> coded) {
  QUARNEL_CHECK(coded.size() >= 4, AransError::Truncated);
  return PlaneDecoder{load_le32(coded.data()),    0, nullptr, nullptr, coded.data() + 4,
                      coded.data() + coded.size()};
}

// The output grows as decoding advances instead of being allocated in full up front: a
// short body that claims a huge count fails as truncated after touching little memory,
// while every result stays that of a full allocation. Bytes past `stored` are still
// decoded, so damage anywhere fails alike, through a small window that is overwritten.
// With `threaded`, plane 0 is decoded by a PlaneFeed.
template <std::size_t N>
std::expected<std::vector<std::uint8_t>, AransError> decode_interleaved(
    std::array<PlaneDecoder, N>& planes, std::size_t coded_bytes, std::size_t count,
    std::size_t stored, unsigned context_bits, std::size_t tail, bool threaded) {
  // Enough for any ordinary body in one go; compression ratios beyond 16:1 (long runs of
  // one byte) grow the buffer geometrically.
  constexpr std::size_t kFirstChunk = std::size_t{1} << 20;
  constexpr std::size_t kWindow = std::size_t{1} << 14;
  try {
    std::vector<std::uint16_t> tables(N * table_size(context_bits), kProbInit);
    for (std::size_t j = 0; j < N; ++j) {
      planes[j].table = tables.data() + j * table_size(context_bits);
      planes[j].row = planes[j].table;
      planes[j].p = kProbInit;
    }
    std::optional<PlaneFeed> feed;
    if constexpr (N == 2) {
      if (threaded && !feed.emplace(planes[0], context_bits, count).start()) feed.reset();
    }
    // Decodes the next n bytes of every plane into out.
    const auto decode = [&](std::uint8_t* out, std::size_t n) -> std::expected<void, AransError> {
      if (!feed) return decode_planes<N>(planes, context_bits, out, n);
      std::array<PlaneDecoder, 1> plane1 = {planes[N - 1]};
      for (std::size_t k = 0; n > 0; out += 2 * k, n -= k) {
        k = std::min(n, PlaneFeed::kBlock);
        QUARNEL_TRY((decode_planes<1, 2>(plane1, context_bits, out + 1, k)));
        QUARNEL_TRY(feed->take(out, k));
      }
      planes[N - 1] = plane1[0];
      return {};
    };
    std::vector<std::uint8_t> out;
    std::size_t done = 0;
    std::size_t limit = std::min(stored, (kFirstChunk + 16 * coded_bytes) / N);
    while (done < stored) {
      const std::size_t size = N * limit + (limit == count ? tail : 0);
      out.reserve(size);  // exactly: the last chunk leaves no slack
      out.resize(size);
      QUARNEL_TRY(decode(out.data() + N * done, limit - done));
      done = limit;
      limit = stored - limit > limit ? 2 * limit : stored;
    }
    if (done < count) {
      const auto window = std::make_unique_for_overwrite<std::uint8_t[]>(N * kWindow);
      for (; done < count; done += std::min(kWindow, count - done)) {
        QUARNEL_TRY(decode(window.get(), std::min(kWindow, count - done)));
      }
    }
    return out;
  } catch (const std::bad_alloc&) {
    return std::unexpected(AransError::InconsistentLength);
  } catch (const std::length_error&) {  // a count beyond what a vector can hold
    return std::unexpected(AransError::InconsistentLength);
  }
}

template std::expected<std::vector<std::uint8_t>, AransError> decode_interleaved<1>(
    std::array<PlaneDecoder, 1>&, std::size_t, std::size_t, std::size_t, unsigned, std::size_t,
    bool);
template std::expected<std::vector<std::uint8_t>, AransError> decode_interleaved<2>(
    std::array<PlaneDecoder, 2>&, std::size_t, std::size_t, std::size_t, unsigned, std::size_t,
    bool);

}  // namespace arans_detail
}  // namespace QUARNEL_ABI
}  // namespace quarnel
