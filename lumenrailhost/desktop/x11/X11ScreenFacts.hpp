#pragma once

#include <string>
#include <vector>

#include "ports/SupportFacts.hpp"

namespace lumenrail {

// The support report's screens, as the X server tells them through RandR.
namespace X11ScreenFacts {

// The monitors of the X server `display` (":N", "" for DISPLAY); empty when
// it cannot be reached.
std::vector<ScreenFact> screens(const std::string& display);

}  // namespace X11ScreenFacts

}  // namespace lumenrail
