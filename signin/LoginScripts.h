#pragma once

#include <string>

namespace korvid {

// The script that marks and dresses every frame of the sign-in origin with
// the style sheet `css`; `pageURL` is the sign-in page's absolute URL.
std::string loginStyleScript(const std::string& pageURL, const std::string& css);

// The probe run every 250 ms in the sign-in page's main frame, with the
// argument "expected" (the sign-in origin). It answers {token} once the page
// stored one, or {visible} while it is still being shown.
const std::string& loginProbeScript();

}
