#pragma once
// The records behind a dispatcher's triggers and handlers, the notification
// message numbers, and the save record a port keeps its triggers in across a
// reopen. Plain values: the dispatcher owns the lists and copies records in
// and out under its state lock.

#include "framework/event.h"
#include "platform/clock.h"
#include "platform/win_types.h"
#include "platform/window.h"

#include <array>
#include <cstdint>
#include <vector>

namespace kivo {

// Notification messages. The second parameter carries the dispatcher's
// registry index in its high 16 bits and a data value in its low 16.
inline constexpr win::UINT kvTriggerAvail = 0x7E01;
inline constexpr win::UINT kvTriggerData = 0x7E02;
inline constexpr win::UINT kvTriggerTimer = 0x7E03;
inline constexpr win::UINT kvTriggerStatus = 0x7E04;

inline constexpr int AvailTriggerHandle = 1;
// Handles are multiples of 8 from 8 up to this; status handles add their kind.
inline constexpr int MaxTriggerSlot = 4096;
inline constexpr int MaxPatternLength = 22;

enum class TStatusKind : std::uint8_t {
    skNotActive = 0,
    skModemStatus = 1,
    skLineStatus = 2,
    skOutputFree = 3,
    skOutputUsed = 4,
    skOutputSent = 5,
};

struct TTimerTrigger {
    int Handle = 0;
    win::TTickTimer Timer;
    win::DWORD Duration = 0;
    std::int32_t Reserved = -1;
    bool Active = false;
};

struct TDataTrigger {
    int Handle = 0;
    int Length = 0;  // 0: idle
    std::array<std::int32_t, MaxPatternLength> Slots{};
    bool Matched = false;
    // The matcher upper-cases only the incoming byte: store such patterns in
    // upper case.
    bool IgnoreCase = false;
    std::array<std::uint8_t, 24> Pattern{};
};

struct TStatusTrigger {
    int Handle = 0;
    int Kind = 0;
    std::uint16_t Value = 0;
    bool Armed = false;
    bool Hit = false;
};

// What SaveTriggerSet keeps and RestoreTriggerSet hands to a new dispatcher.
struct TTriggerSet {
    win::DWORD AvailThreshold = 0;
    std::vector<TTimerTrigger> Timers;
    std::vector<TDataTrigger> Data;
    std::vector<TStatusTrigger> Status;
};

// Handlers receive (message, trigger handle, second parameter).
using TTriggerHandlerEvent = TEvent<win::UINT, win::WPARAM, win::LPARAM>;
using TTriggerHandlerProc = void (*)(win::UINT message, win::WPARAM handle, win::LPARAM param);

struct TWindowHandler {
    win::HWND Window = nullptr;
    bool Deleted = false;
};

struct TProcedureHandler {
    TTriggerHandlerProc Procedure = nullptr;
    bool Deleted = false;
};

struct TEventHandler {
    TTriggerHandlerEvent Method;
    bool Deleted = false;
    bool OnMainThread = false;
};

inline int StatusKindOf(int handle) { return handle & 7; }

} // namespace kivo
