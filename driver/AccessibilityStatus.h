#pragma once

#include <chrono>
#include <functional>

namespace korvid {

// Whether the AT-SPI accessibility bus answers: the session bus knows
// org.a11y.Bus, it gives an address, and a connection to that address opens.
// Blocks for at most a few seconds; never shows anything to the user. For
// tools and tests; the application asks with checkAccessibility().
bool accessibilityAvailable();

// The same question without blocking: every step runs on the calling
// thread's GLib main context, and `done` is called exactly once from it with
// the answer, false after `limit` at the latest (a bus that never answers
// counts as no accessibility). Without a session bus `done` is called before
// this returns.
void checkAccessibility(
    std::function<void(bool)> done, std::chrono::milliseconds limit = std::chrono::milliseconds(3000));

// Asks the session to turn accessibility on (org.a11y.Status IsEnabled =
// true) without waiting: the request goes out from the calling thread's
// GLib main context. The outcome is learned later through checkAccessibility().
void requestAccessibility();

}
