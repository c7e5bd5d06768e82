#include "quarnel/header.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "quarnel/method.h"

namespace quarnel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A header with a distinct value in every field, so a field written at the
// wrong offset or width shows.
QuarnelHeader sample_header() {
  QuarnelHeader h;
  h.version = {1, 7};
  h.method_tag = kTagSym4;
  h.levels = 9;
  h.scale = 10;
  h.coder = 1;
  h.reserved_byte = 0xAB;
  h.sample_count = 0x01020304;
  h.min_value = -1.5f;
  h.max_value = 2.25f;
  h.mean_value = 0.125f;
  h.payload_length = 0xA1B2C3D4;
  for (std::size_t i = 0; i < h.reserved_tail.size(); ++i) {
    h.reserved_tail[i] = static_cast<std::uint8_t>(0xE0 + i);
  }
  return h;
}

Bytes valid_bytes() {
  const auto a = sample_header().to_bytes();
  return Bytes(a.begin(), a.end());
}

TEST(QuarnelHeader, WritesEveryFieldAtItsOffsetLittleEndian) {
  const Bytes expected = {'Q',  'R',  'N',  'L',   // magic
                          1,    7,                 // version
                          0x66, 0x33,              // format tag 'f' '3'
                          's',  'y',  'm',  '4',   // method tag
                          9,    10,   1,    0xAB,  // levels, scale, coder, reserved
                          0x04, 0x03, 0x02, 0x01,  // sample count
                          0x00, 0x00, 0xC0, 0xBF,  // -1.5f
                          0x00, 0x00, 0x10, 0x40,  // 2.25f
                          0x00, 0x00, 0x00, 0x3E,  // 0.125f
                          0xD4, 0xC3, 0xB2, 0xA1,  // payload length
                          0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8,  // reserved tail
                          0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF};
  ASSERT_EQ(expected.size(), kHeaderSize);
  EXPECT_EQ(valid_bytes(), expected);
}

TEST(QuarnelHeader, DefaultFieldsAreTheFixedOnes) {
  const auto bytes = QuarnelHeader{}.to_bytes();
  const std::array<std::uint8_t, 8> fixed = {'Q', 'R', 'N', 'L', 1, 1, 'f', '3'};
  EXPECT_TRUE(std::equal(fixed.begin(), fixed.end(), bytes.begin()));
  for (std::size_t i = 36; i < kHeaderSize; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(bytes[15], 0);
}

TEST(QuarnelHeader, ReadsBackWhatWasWritten) {
  const auto read = QuarnelHeader::from_bytes(valid_bytes());
  ASSERT_TRUE(read.has_value()) << read.error().message();
  EXPECT_EQ(*read, sample_header());
}

TEST(QuarnelHeader, ReadsOnlyTheFirst52Bytes) {
  Bytes bytes = valid_bytes();
  bytes.resize(200, 0xFF);  // anything may follow
  const auto read = QuarnelHeader::from_bytes(bytes);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, sample_header());
}

TEST(QuarnelHeader, ShortInputIsInvalidHeader) {
  Bytes bytes = valid_bytes();
  for (std::size_t size : {0, 1, 4, 51}) {
    const auto read = QuarnelHeader::from_bytes(std::span(bytes).first(size));
    ASSERT_FALSE(read.has_value()) << size;
    EXPECT_EQ(read.error(), QuarnelError::invalid_header());
    EXPECT_EQ(read.error().message(), "Header is invalid");
  }
}

TEST(QuarnelHeader, MethodTagsSpellTheirNames) {
  struct Row {
    WaveletMethod method;
    const char* name;
    std::size_t filter;
  };
  for (const Row& row :
       {Row{WaveletMethod::cdf53, "cf53", 6}, Row{WaveletMethod::cdf97, "cf97", 10},
        Row{WaveletMethod::db4, "db04", 8}, Row{WaveletMethod::sym4, "sym4", 8}}) {
    std::uint32_t from_text;
    std::memcpy(&from_text, row.name, 4);  // little-endian host
    if constexpr (std::endian::native == std::endian::little) {
      EXPECT_EQ(method_tag(row.method), from_text);
    }
    EXPECT_EQ(method_from_tag(method_tag(row.method)), row.method);
    EXPECT_EQ(make_executor(row.method)->filter_length(), row.filter);

    Bytes bytes = valid_bytes();
    std::memcpy(bytes.data() + 8, row.name, 4);
    const auto read = QuarnelHeader::from_bytes(bytes);
    ASSERT_TRUE(read.has_value()) << row.name;
    EXPECT_EQ(method_from_tag(read->method_tag), row.method);
  }
  EXPECT_FALSE(method_from_tag(0x39396663).has_value());  // "cf99"
}

TEST(QuarnelHeader, FieldsNotValidatedAreKeptAsStored) {
  Bytes bytes = valid_bytes();
  bytes[5] = 0xFF;   // second version byte
  bytes[12] = 0;     // levels: refused later, by the decompressor
  bytes[15] = 0x7F;  // reserved byte
  bytes[16] = bytes[17] = bytes[18] = bytes[19] = 0xFF;  // sample count 2^32 - 1
  bytes[51] = 0x99;                                      // reserved tail
  const auto read = QuarnelHeader::from_bytes(bytes);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->version[1], 0xFF);
  EXPECT_EQ(read->levels, 0);
  EXPECT_EQ(read->reserved_byte, 0x7F);
  EXPECT_EQ(read->sample_count, 0xFFFFFFFFu);
  EXPECT_EQ(read->reserved_tail[15], 0x99);
}

TEST(QuarnelHeader, AcceptsEveryScaleFrom6To12AndBothCoders) {
  for (std::uint8_t scale = 6; scale <= 12; ++scale) {
    for (std::uint8_t coder = 0; coder <= 1; ++coder) {
      Bytes bytes = valid_bytes();
      bytes[13] = scale;
      bytes[14] = coder;
      const auto read = QuarnelHeader::from_bytes(bytes);
      ASSERT_TRUE(read.has_value());
      EXPECT_EQ(read->scale, scale);
      EXPECT_EQ(read->coder, coder);
    }
  }
}

TEST(QuarnelHeader, FiniteExtremeFloatsPass) {
  for (float v : {-0.0f, std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                  std::numeric_limits<float>::denorm_min()}) {
    QuarnelHeader h = sample_header();
    h.min_value = h.max_value = h.mean_value = v;
    const auto read = QuarnelHeader::from_bytes(h.to_bytes());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(read->min_value), std::bit_cast<std::uint32_t>(v));
  }
}

// One way to break a header, with the error it must produce alone.
struct Damage {
  const char* name;
  std::function<void(Bytes&)> apply;
  QuarnelError error;
  std::string message;
};

void put_float(Bytes& b, std::size_t offset, float v) {
  const auto bits = std::bit_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) b[offset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

using A4 = std::array<std::uint8_t, 4>;
using A2 = std::array<std::uint8_t, 2>;

// In the order from_bytes checks them.
std::vector<Damage> damages() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  return {
      {"short", [](Bytes& b) { b.resize(51); }, QuarnelError::invalid_header(),
       "Header is invalid"},
      {"magic QRNM", [](Bytes& b) { b[3] = 'M'; },
       QuarnelError::invalid_magic(A4{'Q', 'R', 'N', 'M'}),
       "Magic should be 'QRNL' but it was 'QRNM'"},
      {"magic FF", [](Bytes& b) { std::fill_n(b.begin(), 4, 0xFF); },
       QuarnelError::invalid_magic(A4{0xFF, 0xFF, 0xFF, 0xFF}),
       "Magic should be 'QRNL' but it was '\?\?\?\?'"},
      {"version 2,1",
       [](Bytes& b) {
         b[4] = 2;
         b[5] = 1;
       },
       QuarnelError::invalid_version(A2{2, 1}), "Invalid header version '\x02\x01'"},
      {"version 0", [](Bytes& b) { b[4] = 0; }, QuarnelError::invalid_version(A2{0, 7}),
       std::string("Invalid header version '\0\x07'", 27)},
      {"format f4", [](Bytes& b) { b[7] = '4'; }, QuarnelError::invalid_format_tag(A2{'f', '4'}),
       "Invalid compression method 'f4'"},
      {"format swapped",
       [](Bytes& b) {
         b[6] = 0x33;
         b[7] = 0x66;
       },
       QuarnelError::invalid_format_tag(A2{'3', 'f'}), "Invalid compression method '3f'"},
      {"method cf99",
       [](Bytes& b) {
         const char* t = "cf99";
         std::copy_n(t, 4, b.begin() + 8);
       },
       QuarnelError::invalid_method(A4{'c', 'f', '9', '9'}), "Invalid compression method 'cf99'"},
      {"method SYM4", [](Bytes& b) { b[8] = 'S'; },
       QuarnelError::invalid_method(A4{'S', 'y', 'm', '4'}), "Invalid compression method 'Sym4'"},
      {"scale 5", [](Bytes& b) { b[13] = 5; }, QuarnelError::unsupported_scale(5),
       "Only scaled 6..12 is supported, but it was 5"},
      {"scale 13", [](Bytes& b) { b[13] = 13; }, QuarnelError::unsupported_scale(13),
       "Only scaled 6..12 is supported, but it was 13"},
      {"scale 200", [](Bytes& b) { b[13] = 200; }, QuarnelError::unsupported_scale(200),
       "Only scaled 6..12 is supported, but it was 200"},
      {"scale 0", [](Bytes& b) { b[13] = 0; }, QuarnelError::unsupported_scale(0),
       "Only scaled 6..12 is supported, but it was 0"},
      {"coder 2", [](Bytes& b) { b[14] = 2; }, QuarnelError::unknown_coder(2),
       "Unknown entropy coder 2"},
      {"coder 255", [](Bytes& b) { b[14] = 255; }, QuarnelError::unknown_coder(255),
       "Unknown entropy coder 255"},
      {"min NaN", [nan](Bytes& b) { put_float(b, 20, nan); }, QuarnelError::invalid_header(),
       "Header is invalid"},
      {"min -inf", [inf](Bytes& b) { put_float(b, 20, -inf); }, QuarnelError::invalid_header(),
       "Header is invalid"},
      {"max +inf", [inf](Bytes& b) { put_float(b, 24, inf); }, QuarnelError::invalid_header(),
       "Header is invalid"},
      {"mean NaN", [nan](Bytes& b) { put_float(b, 28, -nan); }, QuarnelError::invalid_header(),
       "Header is invalid"},
      // A signalling NaN pattern: exponent all ones, any mantissa.
      {"mean sNaN",
       [](Bytes& b) {
         b[28] = 1;
         b[29] = 0;
         b[30] = 0x80;
         b[31] = 0x7F;
       },
       QuarnelError::invalid_header(), "Header is invalid"},
  };
}

TEST(QuarnelHeader, EachDamageAloneGivesItsError) {
  for (const Damage& d : damages()) {
    Bytes bytes = valid_bytes();
    d.apply(bytes);
    const auto read = QuarnelHeader::from_bytes(bytes);
    ASSERT_FALSE(read.has_value()) << d.name;
    EXPECT_EQ(read.error(), d.error) << d.name;
    EXPECT_EQ(read.error().message(), d.message) << d.name;
  }
}

// With two faults at once the one checked first is reported: a bad scale
// beside a NaN minimum reports the scale, a bad magic beside a bad coder the
// magic, and so on for every pair in check order.
TEST(QuarnelHeader, TheFirstFaultInCheckOrderIsReported) {
  const auto all = damages();
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = i + 1; j < all.size(); ++j) {
      Bytes bytes = valid_bytes();
      all[j].apply(bytes);
      all[i].apply(bytes);  // the truncation, first in order, must come last
      const auto read = QuarnelHeader::from_bytes(bytes);
      ASSERT_FALSE(read.has_value()) << all[i].name << " + " << all[j].name;
      // Two damages to the same field: the later-applied one decides.
      if (read.error().kind() == all[j].error.kind() &&
          all[i].error.kind() == all[j].error.kind()) {
        continue;
      }
      EXPECT_EQ(read.error(), all[i].error) << all[i].name << " + " << all[j].name;
    }
  }
}

}  // namespace
}  // namespace quarnel
