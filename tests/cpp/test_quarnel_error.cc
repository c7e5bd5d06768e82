#include "quarnel/error.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

namespace quarnel {
namespace {

using Bytes4 = std::array<std::uint8_t, 4>;
using Bytes2 = std::array<std::uint8_t, 2>;

class QuarnelErrorMessage : public ::testing::TestWithParam<std::tuple<QuarnelError, std::string>> {
};

TEST_P(QuarnelErrorMessage, RendersExactText) {
  const auto& [error, text] = GetParam();
  EXPECT_EQ(error.message(), text);
}

INSTANTIATE_TEST_SUITE_P(
    AllVariants, QuarnelErrorMessage,
    ::testing::Values(
        std::make_tuple(QuarnelError::invalid_method(Bytes4{'c', 'f', '9', '9'}),
                        "Invalid compression method 'cf99'"),
        std::make_tuple(QuarnelError::invalid_magic(Bytes4{'Q', 'R', 'N', 'M'}),
                        "Magic should be 'QRNL' but it was 'QRNM'"),
        std::make_tuple(QuarnelError::invalid_magic(Bytes4{0xFF, 0xFF, 0xFF, 0xFF}),
                        "Magic should be 'QRNL' but it was '?\?\?\?'"),
        std::make_tuple(QuarnelError::invalid_format_tag(Bytes2{'f', '4'}),
                        "Invalid compression method 'f4'"),
        std::make_tuple(QuarnelError::invalid_format_tag(Bytes2{0xC3, 0x28}),
                        "Invalid compression method '?\?'"),
        // Control characters are valid UTF-8 and show as themselves.
        std::make_tuple(QuarnelError::invalid_version(Bytes2{0x02, 0x01}),
                        "Invalid header version '\x02\x01'"),
        std::make_tuple(QuarnelError::transform_failed("Buffer was too small for provided level"),
                        "Buffer was too small for provided level"),
        std::make_tuple(QuarnelError::encode_failed("disk full"), "disk full"),
        std::make_tuple(QuarnelError::out_of_memory(1234),
                        "Out of memory, can't allocate additional 1234"),
        std::make_tuple(QuarnelError::invalid_header(), "Header is invalid"),
        std::make_tuple(QuarnelError::unsupported_configuration("Can't compress empty data"),
                        "Unsupported compression configuration 'Can't compress empty data'"),
        std::make_tuple(QuarnelError::decompression_failed("Stream truncated"),
                        "Can't decompress data, reason: Stream truncated"),
        std::make_tuple(QuarnelError::unsupported_scale(200),
                        "Only scaled 6..12 is supported, but it was 200"),
        std::make_tuple(QuarnelError::unknown_coder(2), "Unknown entropy coder 2")));

// The C interface's text: stored bytes outside printable ASCII as escapes,
// whatever their encoding; everything else as message() has it.
class PrintableMessage : public ::testing::TestWithParam<std::tuple<QuarnelError, std::string>> {};

TEST_P(PrintableMessage, EscapesStoredBytesOutsidePrintableAscii) {
  const auto& [error, text] = GetParam();
  EXPECT_EQ(error.printable_message(), text);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, PrintableMessage,
    ::testing::Values(std::make_tuple(QuarnelError::invalid_magic(Bytes4{0, 0, 0, 0}),
                                      R"(Magic should be 'QRNL' but it was '\x00\x00\x00\x00')"),
                      std::make_tuple(QuarnelError::invalid_version(Bytes2{0x02, 0x01}),
                                      R"(Invalid header version '\x02\x01')"),
                      std::make_tuple(QuarnelError::invalid_method(Bytes4{'\n', '\t', '\r', '\\'}),
                                      R"(Invalid compression method '\n\t\r\\')"),
                      std::make_tuple(QuarnelError::invalid_method(Bytes4{0xC3, 0xA9, ' ', 0x7F}),
                                      R"(Invalid compression method '\xc3\xa9 \x7f')"),
                      std::make_tuple(QuarnelError::invalid_format_tag(Bytes2{'~', 0xFF}),
                                      R"(Invalid compression method '~\xff')"),
                      std::make_tuple(QuarnelError::decompression_failed("Stream truncated"),
                                      "Can't decompress data, reason: Stream truncated")));

// Multi-byte sequences: valid ones render as text, malformed ones as '?'s.
class ByteRendering : public ::testing::TestWithParam<std::tuple<Bytes4, bool>> {};

TEST_P(ByteRendering, ValidUtf8OnlyShowsAsText) {
  const auto& [bytes, valid] = GetParam();
  const std::string shown = QuarnelError::invalid_method(bytes).message();
  const std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  EXPECT_EQ(shown, "Invalid compression method '" + (valid ? text : std::string("?\?\?\?")) + "'");
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, ByteRendering,
    ::testing::Values(std::make_tuple(Bytes4{0xC3, 0xA9, 'a', 'b'}, true),     // é
                      std::make_tuple(Bytes4{0xE2, 0x82, 0xAC, 'x'}, true),    // €
                      std::make_tuple(Bytes4{0xF0, 0x9F, 0x98, 0x80}, true),   // U+1F600
                      std::make_tuple(Bytes4{0, 0, 0, 0}, true),               // NULs
                      std::make_tuple(Bytes4{0xC0, 0x80, 'a', 'b'}, false),    // overlong
                      std::make_tuple(Bytes4{0xED, 0xA0, 0x80, 'a'}, false),   // surrogate
                      std::make_tuple(Bytes4{0xF4, 0x90, 0x80, 0x80}, false),  // > U+10FFFF
                      std::make_tuple(Bytes4{'a', 'b', 'c', 0xE2}, false),     // cut short
                      std::make_tuple(Bytes4{'a', 0x80, 'b', 'c'}, false)));   // stray continuation

}  // namespace
}  // namespace quarnel
