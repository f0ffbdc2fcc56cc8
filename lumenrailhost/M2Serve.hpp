#pragma once

// The "--m2" mode: capture serve without a user interface until SIGINT or
// SIGTERM.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.hpp"

namespace lumenrail {

struct M2ServeOptions {
  int64_t width = 1280;
  int64_t height = 720;
  int64_t fps = 60;
  uint16_t port = 27184;
  bool captureMain = false;
  bool usb = false;
  std::optional<Bytes> psk;
  bool pair = false;
  bool penHighRate = false;
  std::vector<std::string> arguments;
};

// Serves until SIGINT or SIGTERM, then stops serving (the virtual display
// goes with it). Returns the exit status: 0 after a signal, 2 when serving
// could not start. Blocks SIGINT and SIGTERM in every thread; call it before
// any thread is started.
int runM2Serve(const M2ServeOptions& options);

}  // namespace lumenrail
