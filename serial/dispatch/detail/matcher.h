#pragma once
// Feeding one received byte to a data trigger. Every slot holds one partial
// match that the byte advances or drops; a byte equal to the pattern's first
// starts at most one new partial match. Nothing is allocated.

#include "serial/dispatch/triggers.h"

#include <cstdint>

namespace kivo::detail {

// Upper case in the single-byte Western code page: ASCII letters and the
// Latin-1 letters from 0xE0, except the division sign; 0xFF has its capital
// at 0x9F and the three Western extras at 0x9A, 0x9C, 0x9E move down by 16.
constexpr std::uint8_t UpperAnsi(std::uint8_t c)
{
    if (c >= 'a' && c <= 'z') return static_cast<std::uint8_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<std::uint8_t>(c - 32);
    if (c == 0xFF) return 0x9F;
    if (c == 0x9A || c == 0x9C || c == 0x9E) return static_cast<std::uint8_t>(c - 16);
    return c;
}

// True when this byte completes the pattern. A match clears every slot, so
// the search begins afresh after it: occurrences are found without overlap
// ("ABA" in "ABABA" once). A failed partial match takes up the byte's new
// start only if no slot has yet: a duplicate would hold a slot that a later
// start needs.
inline bool MatchByte(TDataTrigger& trigger, std::uint8_t byte)
{
    if (trigger.IgnoreCase) byte = UpperAnsi(byte);
    const int n = trigger.Length;
    const std::uint8_t* pattern = trigger.Pattern.data();
    std::int32_t* slots = trigger.Slots.data();
    bool started = false;
    bool look = true;
    for (int i = 0; i < n; ++i) {
        if (look) {
            std::int32_t k = slots[i];
            if (pattern[k] == byte) {
                if (k == n - 1) {
                    // Nothing goes on, not even a start this very byte makes.
                    trigger.Slots.fill(0);
                    return true;
                }
                slots[i] = k + 1;
            } else if (pattern[0] == byte && !started) {
                slots[i] = 1;
                started = true;
            } else {
                slots[i] = 0;
            }
        }
        if (slots[i] == 1) started = true;
        if (i + 1 < n)
            look = started ? slots[i + 1] != 0 : (slots[i + 1] != 0 || pattern[0] == byte);
        else
            look = false;
    }
    return false;
}

} // namespace kivo::detail
