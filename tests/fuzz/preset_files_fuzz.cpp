// libFuzzer target: preset and day-part file parsers.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/file_parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!torvalen::fuzz::parse_file_input(std::string_view(reinterpret_cast<const char*>(data), size))) __builtin_trap();
    return 0;
}
