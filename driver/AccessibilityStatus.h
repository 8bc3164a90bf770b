#pragma once

namespace korvid {

// Whether the AT-SPI accessibility bus answers: the session bus knows
// org.a11y.Bus, it gives an address, and a connection to that address opens.
// Blocks for at most a few seconds; never shows anything to the user.
bool accessibilityAvailable();

// Asks the session to turn accessibility on (org.a11y.Status IsEnabled =
// true). The outcome is learned later through accessibilityAvailable().
void requestAccessibility();

}
