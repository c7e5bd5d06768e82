// libFuzzer entry point: check_trailer on every input (fuzz/fuzz_checks.h).
#include "fuzz/fuzz_main.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quarnel::fuzz::run(quarnel::fuzz::check_trailer, data, size);
}
