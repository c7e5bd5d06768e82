// Writes the seed corpora of the fuzz targets: real streams of every method
// and coder, their rANS bodies and headers, and round-trip inputs with
// awkward samples. Usage: fuzz_seed_corpus <corpus directory>; each target's
// files go to <corpus directory>/<target>/. The signals are built from
// integer arithmetic only, so the seeds are the same on every machine.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "quarnel/arans.h"
#include "quarnel/header.h"
#include "quarnel/quarnel.h"
#include "quarnel/store.h"
#include "quarnel/trailer.h"

namespace {

using quarnel::CoderChoice;
using quarnel::CompressionOptions;
using quarnel::CutoffLevel;
using quarnel::WaveletMethod;
using Bytes = std::vector<std::uint8_t>;

std::filesystem::path root;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const auto dir = root / target;
  std::filesystem::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// splitmix64, uniform in [-1, 1) with 24 random bits.
struct Rng {
  std::uint64_t state;
  float uniform() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<float>(static_cast<std::int32_t>(z >> 40) - (1 << 23)) / (1 << 23);
  }
};

std::vector<float> walk(std::size_t n, std::uint64_t seed) {
  Rng rng{seed};
  std::vector<float> x(n);
  float level = 0.0f;
  for (auto& v : x) v = level += rng.uniform() * 0.125f;
  return x;
}

std::vector<float> triangle(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const int phase = static_cast<int>(i % 16);
    x[i] = static_cast<float>(phase < 8 ? phase : 16 - phase) / 8.0f + ((i / 40) % 2 ? 0.5f : 0.0f);
  }
  return x;
}

Bytes roundtrip_input(const CompressionOptions& o, const std::vector<float>& x) {
  Bytes b = {static_cast<std::uint8_t>(o.method), static_cast<std::uint8_t>(o.scale - 6),
             static_cast<std::uint8_t>(o.cutoff), static_cast<std::uint8_t>(o.coder)};
  b.resize(4 + x.size() * sizeof(float));
  std::memcpy(b.data() + 4, x.data(), x.size() * sizeof(float));
  return b;
}

// The four choice bytes of check_bounded, then the samples.
Bytes bounded_input(std::array<std::uint8_t, 4> choices, const std::vector<float>& x) {
  Bytes b(choices.begin(), choices.end());
  b.resize(4 + x.size() * sizeof(float));
  std::memcpy(b.data() + 4, x.data(), x.size() * sizeof(float));
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  root = argv[1];

  const WaveletMethod methods[] = {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4,
                                   WaveletMethod::sym4};
  // Streams: every method with both coders, a short (extended) signal and a
  // multi-level one, at different scales and cut-offs.
  int k = 0;
  for (const WaveletMethod method : methods) {
    for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
      const std::size_t n = k % 4 == 0 || k % 4 == 3 ? 5 + k : 90 + 13 * k;
      const CompressionOptions options{.cutoff = static_cast<CutoffLevel>(k % 3),
                                       .coder = coder,
                                       .method = method,
                                       .scale = static_cast<std::uint8_t>(6 + k % 7)};
      const auto x = k % 3 == 0 ? triangle(n) : walk(n, k);
      const Bytes stream = quarnel::compress(x, options).value();
      const std::string name = std::string(method_name(method)) + "_" +
                               std::string(coder_name(coder)) + "_" + std::to_string(n);
      write("decompress", name, stream);
      if (coder == CoderChoice::arans) {
        write("decode_stream", name, Bytes(stream.begin() + quarnel::kHeaderSize, stream.end()));
      }
      if (k % 2 == 1)
        write("header", name, Bytes(stream.begin(), stream.begin() + quarnel::kHeaderSize));
      ++k;
    }
  }
  // A flat signal, and one long enough for 8 context bits in the rANS body.
  write("decompress", "flat_cdf97_arans_40",
        quarnel::compress(std::vector<float>(40, 2.5f), {}).value());
  const Bytes long_stream = quarnel::compress(walk(9000, 3), {.scale = 10}).value();
  write("decode_stream", "cdf97_arans_9000",
        Bytes(long_stream.begin() + quarnel::kHeaderSize, long_stream.end()));
  // rANS bodies: raw short ones and an odd-length coded one.
  write("decode_stream", "raw_5", {1, 2, 3, 4, 5});
  write("decode_stream", "odd_9", quarnel::encode_stream(Bytes{1, 0, 0xFF, 0xFF, 2, 0, 7, 7, 9}));
  write("header", "short_51", Bytes(51, 'Q'));

  // Trailers: a mask of every kind of value with metadata, and an empty one.
  // The leading byte asks the target to keep (0) or fix (1) the checksum.
  {
    auto x = walk(200, 11);
    for (std::size_t i = 20; i < 30; ++i) x[i] = std::numeric_limits<float>::quiet_NaN();
    x[50] = std::numeric_limits<float>::infinity();
    x[51] = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 150; i < 200; ++i) x[i] = -9999.0f;
    quarnel::Trailer t = quarnel::mask_of(std::span<const float>(x), -9999.0);
    t.sample_rate = 8000.0;
    t.channels = 1;
    t.source_format = "PCM_16";
    t.target = quarnel::TargetRecord{quarnel::ErrorTarget::max_error, 1e-3, 9e-4, 60.0};
    for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
      Bytes stream = quarnel::compress(walk(200, 11), {.coder = coder}).value();
      Bytes bare = stream;
      quarnel::append_trailer(stream, t).value();
      quarnel::append_trailer(bare, quarnel::Trailer{}).value();
      const std::string name = coder == CoderChoice::deflate ? "deflate" : "arans";
      stream.insert(stream.begin(), 0);
      bare.insert(bare.begin(), 1);
      write("trailer", "masked_" + name, stream);
      write("trailer", "empty_" + name, bare);
    }
    Bytes plain = quarnel::compress(walk(30, 5), {}).value();
    plain.insert(plain.begin(), 0);
    write("trailer", "bare_arans", plain);
    // A 32-byte trailer, and payload_length moved onto the stream's end by
    // one flipped bit: the stream looks bare.
    std::vector<float> gaps(602);
    for (std::size_t i = 0; i < gaps.size(); ++i) gaps[i] = std::sin(0.02f * static_cast<float>(i));
    gaps[50] = gaps[60] = gaps[70] = std::numeric_limits<float>::quiet_NaN();
    Bytes misplaced = quarnel::compress_stored(std::span<const float>(gaps), {}, {}, 1).value();
    misplaced[32] ^= 0x20;
    misplaced.insert(misplaced.begin(), 0);
    write("trailer", "payload_length_onto_trailer", misplaced);
  }

  // The threaded coder: a real body long enough for two threads, byte strings
  // it grows to that length, and a forged body that claims as many pairs.
  write("threads", "cdf97_arans_9000",
        Bytes(long_stream.begin() + quarnel::kHeaderSize, long_stream.end()));
  write("threads", "empty", {});
  write("threads", "odd_7", {1, 0, 0xFF, 0xFF, 2, 0, 9});
  write("threads", "coefficients_64", Bytes(long_stream.end() - 64, long_stream.end()));
  write("threads", "truncated_9000_pairs", {0, 8, 0xA8, 0x46, 4, 0, 0, 1, 0, 0, 0, 1});

  // Round trips: awkward samples under every method.
  constexpr float inf = std::numeric_limits<float>::infinity();
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float tiny = std::numeric_limits<float>::denorm_min();
  constexpr float big = std::numeric_limits<float>::max();
  write("roundtrip", "cdf97_walk_64", roundtrip_input({}, walk(64, 11)));
  write("roundtrip", "cdf53_non_finite",
        roundtrip_input({.method = WaveletMethod::cdf53, .scale = 9},
                        {nan, inf, -inf, 2.0f, 1.5f, -nan, 0.25f, inf, 3.0f, -1.0f, 0.0f, 4.0f}));
  write("roundtrip", "db4_subnormal",
        roundtrip_input({.method = WaveletMethod::db4},
                        {tiny, 0.0f, 3 * tiny, -tiny, 1e-38f, 0.0f, -1e-38f, tiny, 2e-38f}));
  write("roundtrip", "sym4_huge_range",
        roundtrip_input({.coder = CoderChoice::deflate, .method = WaveletMethod::sym4, .scale = 6},
                        {big / 2, -big / 2, 0.0f, big / 4, -big / 3, 1.0f, big / 2, 0.0f}));
  write("roundtrip", "cdf97_range_overflow", roundtrip_input({}, {big, -big, 1.0f}));
  write("roundtrip", "cdf53_one_sample",
        roundtrip_input({.method = WaveletMethod::cdf53, .scale = 12}, {-7.25f}));
  write("roundtrip", "db4_steps_scale12",
        roundtrip_input({.cutoff = CutoffLevel::high, .method = WaveletMethod::db4, .scale = 12},
                        triangle(200)));
  write("roundtrip", "sym4_offset_small_range",
        roundtrip_input({.method = WaveletMethod::sym4, .scale = 8},
                        {1e6f, 1e6f + 0.0625f, 1e6f, 1e6f + 0.125f, 1e6f, 1e6f + 0.0625f, 1e6f,
                         1e6f + 0.25f, 1e6f, 1e6f}));
  write("roundtrip", "empty", roundtrip_input({}, {}));

  // The bounded encoder: each target kind, pinned and free methods, both
  // coders and the encoder's choice, and awkward signals.
  write("bounded", "max_error_free_walk_300", bounded_input({0, 4, 2, 6}, walk(300, 5)));
  write("bounded", "rel_error_db4_deflate_triangle", bounded_input({1, 2, 0, 9}, triangle(130)));
  write("bounded", "psnr_cdf53_arans_walk_64", bounded_input({2, 0, 1, 8}, walk(64, 2)));
  write("bounded", "max_error_sym4_non_finite",
        bounded_input({0, 3, 2, 4}, {nan, 1.0f, inf, 2.0f, -inf, 0.5f, 3.0f, nan, 2.5f, 1.5f}));
  write("bounded", "psnr_cdf97_one_sample", bounded_input({2, 1, 2, 12}, {-7.25f}));
  write("bounded", "rel_error_free_flat",
        bounded_input({1, 4, 1, 3}, std::vector<float>(50, 4.0f)));
  write("bounded", "max_error_free_huge_range",
        bounded_input({0, 4, 2, 15}, {big / 2, -big / 2, 0.0f, big / 4, -big / 3, 1.0f, big / 2}));
  write("bounded", "empty", bounded_input({0, 0, 0, 0}, {}));
  write("bounded", "max_error_free_walk_float64", bounded_input({3, 4, 2, 7}, walk(200, 3)));
  write("bounded", "psnr_db4_float64_non_finite",
        bounded_input({5, 2, 2, 10}, {2.0f, nan, 1.0f, 3.5f, -inf, 0.25f, 1.0f, 4.0f, 2.5f}));

  // Raw DEFLATE payloads behind their two keep bytes: whole, cut short, with
  // bytes after the final block, damaged, stored, and a reserved block type.
  const auto with_keep = [](std::uint16_t keep, Bytes payload) {
    payload.insert(payload.begin(),
                   {static_cast<std::uint8_t>(keep), static_cast<std::uint8_t>(keep >> 8)});
    return payload;
  };
  const Bytes deflated = [&] {
    const Bytes stream =
        quarnel::compress(walk(3000, 7), {.coder = CoderChoice::deflate, .scale = 9}).value();
    return Bytes(stream.begin() + quarnel::kHeaderSize, stream.end());
  }();
  write("inflate", "walk_all", with_keep(0xFFFF, deflated));
  write("inflate", "walk_keep_100", with_keep(100, deflated));
  write("inflate", "walk_cut",
        with_keep(0xFFFF, Bytes(deflated.begin(), deflated.begin() + deflated.size() / 2)));
  Bytes trailing = deflated;
  trailing.insert(trailing.end(), {1, 2, 3, 4});
  write("inflate", "walk_trailing", with_keep(0xFFFF, trailing));
  Bytes damaged = deflated;
  damaged[damaged.size() / 3] ^= 0x5A;
  write("inflate", "walk_damaged", with_keep(4000, damaged));
  write("inflate", "stored", with_keep(0xFFFF, {0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}));
  write("inflate", "reserved_block", with_keep(0xFFFF, {0xFF, 0x00}));
  write("inflate", "empty", with_keep(0, {}));
  return 0;
}
