// C++17 over the C interface: a round trip that requires the trailer the
// defaults write.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "quarnel/quarnel_c.h"

int main() {
  const char* unit = u8"\u00b5V";  // a const char* in C++17 alone
  std::vector<float> x(1000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 40) / 20.0f;
  std::uint8_t* stream = nullptr;
  std::size_t size = 0;
  float* back = nullptr;
  std::size_t count = 0;
  if (quarnel_compress_alloc(x.data(), x.size(), nullptr, &stream, &size, nullptr, 0) !=
          QUARNEL_OK ||
      quarnel_decompress_alloc_flags(stream, size, 1, QUARNEL_REQUIRE_TRAILER, &back, &count,
                                     nullptr, 0) != QUARNEL_OK ||
      count != x.size()) {
    return 1;
  }
  std::printf("%zu samples in %zu bytes, %s\n", count, size, unit);
  quarnel_free(stream);
  quarnel_free(back);
  return 0;
}
