// Compresses a file of raw float32 samples with quarnel's C++ header,
// decompresses the stream and prints the ratio and the largest error.
// Usage: roundtrip FILE
#include <quarnel/quarnel.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "%s: cannot open\n", argv[1]);
    return 2;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::copy_n(bytes.data(), samples.size() * sizeof(float),
              reinterpret_cast<char*>(samples.data()));

  const auto stream = quarnel::cpp::compress(samples);
  if (!stream) {
    std::fprintf(stderr, "compress: %s\n", stream.error().message.c_str());
    return 1;
  }
  const auto restored = quarnel::cpp::decompress(*stream);
  if (!restored) {
    std::fprintf(stderr, "decompress: %s\n", restored.error().message.c_str());
    return 1;
  }

  double max_error = 0.0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    max_error = std::max(max_error, std::fabs(double{(*restored)[i]} - double{samples[i]}));
  }
  const auto [lo, hi] = std::minmax_element(samples.begin(), samples.end());
  std::printf("samples %zu, stream %zu bytes, ratio %.2f, max error %.6g, range %.6g\n",
              samples.size(), stream->size(),
              static_cast<double>(samples.size() * sizeof(float)) / stream->size(), max_error,
              samples.empty() ? 0.0 : double{*hi} - double{*lo});
  return 0;
}
