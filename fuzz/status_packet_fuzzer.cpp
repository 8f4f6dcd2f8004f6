// Fuzzes the status packet check with any text.

#include "fuzz/fuzz_main.h"
#include "fuzz/status_packet_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kivo::fuzz::Require(kivo::fuzz::CheckStatusPacketCase(data, size, &tarvio::CheckStatusPacket),
                        "status_packet_fuzzer");
    return 0;
}
