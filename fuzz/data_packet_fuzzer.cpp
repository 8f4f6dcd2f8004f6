// Fuzzes the data packet's framing over random settings and block splits.

#include "fuzz/data_packet_check.h"
#include "fuzz/fuzz_main.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kivo::fuzz::Require(kivo::fuzz::CheckDataPacketCase(data, size, &kivo::fuzz::RunDataPacket),
                        "data_packet_fuzzer");
    return 0;
}
