// libFuzzer entry point: check_inflate on every input (fuzz/fuzz_checks.h).
#include "fuzz/fuzz_main.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quarnel::fuzz::run(quarnel::fuzz::check_inflate, data, size);
}
