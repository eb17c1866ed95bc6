// Waiting for a condition that something else brings about: another process, or the event loop.
#pragma once

#include <chrono>

namespace korvane::test {

namespace detail {
// One pause between two polls: runs pending Qt events when called on the thread of a
// QCoreApplication (so that timers and queued calls go on while a test waits), then sleeps briefly.
void PollPause();
}  // namespace detail

// Polls `ACondition` until it holds or `ATimeout` passes; true when it held.
template <class TCondition>
bool WaitUntil(TCondition ACondition, std::chrono::milliseconds ATimeout) {
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    while (!ACondition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        detail::PollPause();
    }
    return true;
}

}  // namespace korvane::test
