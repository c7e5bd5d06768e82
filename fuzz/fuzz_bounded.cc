// libFuzzer entry point: check_bounded on every input (fuzz/fuzz_checks.h).
#include "fuzz/fuzz_main.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quarnel::fuzz::run(quarnel::fuzz::check_bounded, data, size);
}
