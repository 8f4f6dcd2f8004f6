#pragma once
// Reads a fuzzer's input as a sequence of small choices followed by a body.
// Running out of input is not an error: every further choice reads as zero
// and every string as empty, so any byte string decodes to some case.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivo::fuzz {

class TFuzzInput {
public:
    TFuzzInput(const std::uint8_t* data, std::size_t size) noexcept
        : Data(data), Size(data ? size : 0)
    {
    }

    std::uint8_t Byte() noexcept { return Pos < Size ? Data[Pos++] : 0; }
    bool Flag() noexcept { return (Byte() & 1) != 0; }

    // A value in [low, high]; one byte of input for narrow ranges, two otherwise.
    unsigned Range(unsigned low, unsigned high) noexcept
    {
        unsigned span = high - low + 1;
        unsigned raw = Byte();
        if (span > 256) raw = raw << 8 | Byte();
        return low + raw % span;
    }

    // A string of up to maxLength bytes, its length read first.
    std::string Text(unsigned maxLength)
    {
        std::size_t length = Range(0, maxLength);
        if (length > Size - Pos) length = Size - Pos;
        std::string text(reinterpret_cast<const char*>(Data + Pos), length);
        Pos += length;
        return text;
    }

    // Everything not yet read.
    std::string_view Rest() noexcept
    {
        std::string_view rest(reinterpret_cast<const char*>(Data + Pos), Size - Pos);
        Pos = Size;
        return rest;
    }

    std::size_t Remaining() const noexcept { return Size - Pos; }

private:
    const std::uint8_t* Data;
    std::size_t Size;
    std::size_t Pos = 0;
};

} // namespace kivo::fuzz
