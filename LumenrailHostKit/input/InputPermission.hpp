#pragma once

#include <string>

namespace lumenrail {

// Whether this process can post input on the Linux desktop: a writable
// /dev/uinput (virtual tablet, pointer and keyboard), or the XTest extension
// on the X display (pointer and keys, no pen pressure).
namespace InputPermission {

bool uinputWritable();
// `display`: ":N", or empty for the process's DISPLAY.
bool xtestPresent(const std::string& display);
bool mayPostInput(const std::string& display);

}  // namespace InputPermission

}  // namespace lumenrail
