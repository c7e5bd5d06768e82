// Every stored fuzz corpus file, replayed through the check its fuzz target
// runs: the seeds (real streams of every method and coder) and every input a
// fuzzer once found troublesome stay regression tests of the normal build.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "fuzz/fuzz_corpus_dir.h"
#include "quarnel/quarnel.h"

namespace quarnel::fuzz {
namespace {

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EveryFilePassesItsCheck) {
  const Target& target = GetParam();
  const std::filesystem::path dir = std::filesystem::path(QUARNEL_FUZZ_CORPUS_DIR) / target.name;
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    const std::vector<std::uint8_t> input = read_file(entry.path());
    EXPECT_EQ(target.check(input), "") << entry.path().filename();
  }
  // An empty or misplaced corpus would pass vacuously.
  EXPECT_GE(files, 5u) << dir;
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                           return std::string(info.param.name);
                         });

// The checks raise no false alarm on what the codec itself writes.
TEST(FuzzChecks, AcceptWhatTheCodecWrites) {
  // A 52-byte header that from_bytes accepts is written back unchanged, so a
  // check on a valid one passes; a valid stream decompresses.
  const std::vector<float> x = {1.0f, 2.0f, 4.0f, 3.0f, 0.5f, 7.0f, 6.5f};
  const auto stream = compress(x, {});
  ASSERT_TRUE(stream.has_value());
  EXPECT_EQ(check_header(*stream), "");
  EXPECT_EQ(check_decompress(*stream), "");
  // Round trips: a valid signal passes, refused ones are not failures.
  std::vector<std::uint8_t> input = {1, 5, 0, 2};
  const auto* raw = reinterpret_cast<const std::uint8_t*>(x.data());
  input.insert(input.end(), raw, raw + x.size() * sizeof(float));
  EXPECT_EQ(check_roundtrip(input), "");
  EXPECT_EQ(check_roundtrip(std::vector<std::uint8_t>{0, 0, 0, 0}), "");  // empty: refused
}

}  // namespace
}  // namespace quarnel::fuzz
