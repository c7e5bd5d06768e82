// Signals and stream helpers shared by the codec tests.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "quarnel/arans.h"
#include "quarnel/header.h"
#include "quarnel/method.h"
#include "quarnel/quarnel.h"

namespace quarnel::testing {

using Bytes = std::vector<std::uint8_t>;

inline constexpr WaveletMethod kMethods[] = {WaveletMethod::cdf53, WaveletMethod::cdf97,
                                             WaveletMethod::db4, WaveletMethod::sym4};
inline constexpr CutoffLevel kCutoffs[] = {CutoffLevel::low, CutoffLevel::medium,
                                           CutoffLevel::high};

// The codec's own name, for messages and test names.
inline std::string name_of(WaveletMethod m) {
  return std::string(method_name(m));
}

// splitmix64: a fixed, portable sequence.
struct Rng {
  std::uint64_t state;
  explicit Rng(std::uint64_t seed) : state(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [-1, 1), exactly representable (24 random bits).
  float uniform() {
    return static_cast<float>(static_cast<std::int32_t>(next() >> 40) - (1 << 23)) / (1 << 23);
  }
};

// Signals built from integer arithmetic and exact float operations only, so
// they are the same bits on every platform (golden streams use these).
inline std::vector<float> noise(std::size_t n, std::uint64_t seed, float amplitude = 1.0f) {
  Rng rng(seed);
  std::vector<float> x(n);
  for (auto& v : x) v = amplitude * rng.uniform();
  return x;
}

inline std::vector<float> random_walk(std::size_t n, std::uint64_t seed) {
  Rng rng(seed);
  std::vector<float> x(n);
  float level = 0.0f;
  for (auto& v : x) {
    level += rng.uniform() * 0.125f;
    v = level;
  }
  return x;
}

// A triangle wave with a slower square wave on top: sharp corners and steps.
inline std::vector<float> triangle_steps(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const int phase = static_cast<int>(i % 64);
    const float tri = static_cast<float>(phase < 32 ? phase : 64 - phase) / 32.0f;
    const float square = (i / 250) % 2 == 0 ? 0.0f : 0.75f;
    x[i] = tri + square - 0.5f;
  }
  return x;
}

// Real-like signals (libm involved: for round trips, not for golden streams).
inline std::vector<float> sines(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(3.0 * std::sin(t * 0.013) + 1.25 * std::sin(t * 0.171 + 0.4) +
                              0.3 * std::sin(t * 1.9) + 10.0);
  }
  return x;
}

// A heartbeat-like trace: P wave, sharp QRS complex, T wave, about 1 Hz at
// 250 samples per second, in millivolts.
inline std::vector<float> ecg_like(std::size_t n) {
  std::vector<float> x(n);
  const auto bump = [](double t, double centre, double width, double height) {
    const double u = (t - centre) / width;
    return height * std::exp(-0.5 * u * u);
  };
  for (std::size_t i = 0; i < n; ++i) {
    const double t = std::fmod(static_cast<double>(i) / 250.0, 0.83);
    x[i] = static_cast<float>(bump(t, 0.12, 0.025, 0.15) - bump(t, 0.235, 0.008, 0.12) +
                              bump(t, 0.25, 0.010, 1.2) - bump(t, 0.268, 0.008, 0.25) +
                              bump(t, 0.45, 0.045, 0.3) +
                              0.05 * std::sin(static_cast<double>(i) * 0.005));
  }
  return x;
}

// Raw DEFLATE, everything zlib gives back, or an empty vector on error.
inline Bytes zlib_inflate(std::span<const std::uint8_t> payload) {
  Bytes out;
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return {};
  zs.next_in = const_cast<Bytef*>(payload.data());
  zs.avail_in = static_cast<uInt>(payload.size());
  std::uint8_t buffer[1 << 15];
  int rc;
  do {
    zs.next_out = buffer;
    zs.avail_out = sizeof buffer;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), buffer, buffer + (sizeof buffer - zs.avail_out));
  } while (rc == Z_OK && (zs.avail_in > 0 || zs.avail_out == 0));
  inflateEnd(&zs);
  return out;
}

// Raw DEFLATE at level 6; `finish` false ends the data with a sync flush and
// no final block.
inline Bytes zlib_deflate(std::span<const std::uint8_t> data, bool finish = true) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&zs, data.size()) + 64);
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, finish ? Z_FINISH : Z_SYNC_FLUSH);
  out.resize(out.size() - zs.avail_out);
  deflateEnd(&zs);
  return out;
}

inline QuarnelHeader header_of(std::span<const std::uint8_t> stream) {
  auto h = QuarnelHeader::from_bytes(stream);
  EXPECT_TRUE(h.has_value());
  return h.value_or(QuarnelHeader{});
}

// The coefficient byte string a stream carries, decoded with the coder its
// header names (zlib directly for DEFLATE).
inline Bytes coefficient_bytes(std::span<const std::uint8_t> stream) {
  const QuarnelHeader h = header_of(stream);
  const auto payload = stream.subspan(kHeaderSize, h.payload_length);
  if (h.coder == kCoderDeflate) return zlib_inflate(payload);
  auto decoded = decode_stream(payload);
  EXPECT_TRUE(decoded.has_value());
  return decoded.value_or(Bytes{});
}

inline std::vector<std::int16_t> to_coefficients(std::span<const std::uint8_t> bytes) {
  std::vector<std::int16_t> q(bytes.size() / 2);
  for (std::size_t i = 0; i < q.size(); ++i) {
    q[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return q;
}

inline Bytes to_bytes(std::span<const std::int16_t> q) {
  Bytes b(2 * q.size());
  for (std::size_t i = 0; i < q.size(); ++i) {
    b[2 * i] = static_cast<std::uint8_t>(q[i]);
    b[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(q[i]) >> 8);
  }
  return b;
}

// A stream around a coefficient byte string, coded with the given coder.
inline Bytes make_stream(QuarnelHeader header, std::span<const std::uint8_t> coefficient_bytes) {
  const Bytes payload = header.coder == kCoderDeflate ? zlib_deflate(coefficient_bytes)
                                                      : encode_stream(coefficient_bytes);
  header.payload_length = static_cast<std::uint32_t>(payload.size());
  const auto h = header.to_bytes();
  Bytes stream(h.begin(), h.end());
  stream.insert(stream.end(), payload.begin(), payload.end());
  return stream;
}

inline Bytes compressed(std::span<const float> x, const CompressionOptions& options) {
  auto stream = compress(x, options);
  EXPECT_TRUE(stream.has_value()) << stream.error().message();
  return stream.value_or(Bytes{});
}

}  // namespace quarnel::testing
