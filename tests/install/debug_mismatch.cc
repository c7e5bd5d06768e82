// quarnel/quarnel.h from a program built in libstdc++'s debug mode, whose
// std::vector is not the library's: the link must fail, naming the debug
// mode's symbols, instead of producing a program that crashes.
#include <quarnel/quarnel.h>

#include <vector>

int main() {
  const std::vector<float> samples(1000, 1.0f);
  const auto stream = quarnel::compress(samples, quarnel::CompressionOptions{});
  return stream && !stream->empty() ? 0 : 1;
}
