#include "input/InputPermission.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include "input/XInputConnection.hpp"

namespace lumenrail::InputPermission {

bool uinputWritable() {
  for (const char* path : {"/dev/uinput", "/dev/input/uinput"}) {
    const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
  }
  return false;
}

bool xtestPresent(const std::string& display) {
  XInputConnection x(display);
  if (!x.ok()) return false;
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x.conn(), &xcb_test_id);
  return ext && ext->present;
}

bool mayPostInput(const std::string& display) { return uinputWritable() || xtestPresent(display); }

}  // namespace lumenrail::InputPermission
