#pragma once
// Waits on a condition with a deadline instead of a bare sleep.

#include <chrono>
#include <thread>

namespace kivo::test {

// Polls pred every millisecond until it holds or the deadline passes; the
// result is pred's last value. The poll is for tests only.
template <typename Pred>
bool WaitUntil(std::chrono::milliseconds timeout, Pred pred)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Same, with a hook that runs between polls (pumping a message queue).
template <typename Pred, typename Pump>
bool WaitUntil(std::chrono::milliseconds timeout, Pred pred, Pump pump)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace kivo::test
