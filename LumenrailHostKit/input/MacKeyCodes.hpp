#pragma once

#include <cstdint>
#include <optional>

namespace lumenrail {

// Key events inside the host name keys by their position on a US ANSI
// keyboard, in the numbering of the desktop model the injectors were designed
// around (0 is the A position, 12 the Q position, 55 the command key). The
// Linux sinks translate at the edge.
namespace MacKeyCodes {

inline constexpr uint16_t command = 55;  // Control on Linux
inline constexpr uint16_t shift = 56;
inline constexpr uint16_t option = 58;   // Alt
inline constexpr uint16_t control = 59;  // Super on Linux

// The evdev key code (linux/input-event-codes.h) at that position; X key
// codes are this plus 8.
std::optional<uint16_t> toEvdev(uint16_t macKeyCode);
bool isModifier(uint16_t macKeyCode);

}  // namespace MacKeyCodes

}  // namespace lumenrail
