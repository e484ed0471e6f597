// libFuzzer target for the OSC decoder (clang only; not part of the test run):
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//     tests/osc_pkt/oscpkt_fuzz.cpp src/osc_pkt/oscpkt.cpp -o oscpkt_fuzz
//   ./oscpkt_fuzz -max_total_time=60
#include "oscFuzzOne.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (!OscFuzzOne(data, size)) std::abort();
    return 0;
}
