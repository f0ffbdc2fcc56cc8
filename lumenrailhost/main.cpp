// The process entry of the Lumenrail host.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "M1Wire.hpp"
#include "M2Serve.hpp"
#include "platform/Crypto.hpp"
#include "platform/Log.hpp"

namespace {

using lumenrail::Log::line;

bool has(const std::vector<std::string>& args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

// The integer after the first occurrence of `name`, or the default. Unlike
// the settings overrides (last occurrence wins), test modes take the first.
int64_t arg(const std::vector<std::string>& args, std::string_view name, int64_t fallback) {
  const auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end() || it + 1 == args.end()) return fallback;
  std::string_view text = *(it + 1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return fallback;
  }
  uint64_t magnitude = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (err != std::errc() || end != text.data() + text.size()) return fallback;
  if (magnitude > uint64_t(INT64_MAX) + (negative ? 1 : 0)) return fallback;
  return negative ? int64_t(0 - magnitude) : int64_t(magnitude);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  lumenrail::Log::makeStdoutUnbuffered();

  const int64_t width = arg(args, "--width", 1280);
  const int64_t height = arg(args, "--height", 720);
  const int64_t fps = arg(args, "--fps", 60);
  const int64_t port = arg(args, "--port", 27184);
  if (port < 0 || port > 65535) {
    line("[app] ERROR: --port " + std::to_string(port) + " is outside 0...65535");
    return 1;
  }
  if (fps < 8 && (has(args, "--m1-selftest") || has(args, "--m1"))) {
    // Fewer than 30 frames would reach the self-test, and the stream would crawl.
    line("[app] ERROR: --fps " + std::to_string(fps) + " is below 8");
    return 1;
  }

  if (has(args, "--m1-selftest")) {
    line("== lumenrail Linux host — M1 wire self-test ==");
    return lumenrail::runM1SelfTest(width, height, fps, static_cast<uint16_t>(port)) ? 0 : 1;
  }
  if (has(args, "--m1")) {
    line("== lumenrail Linux host — M1 wire serve ==");
    lumenrail::runM1Serve(width, height, fps, static_cast<uint16_t>(port));
  }
  if (has(args, "--m2")) {
    line("== lumenrail Linux host — M2 capture serve ==");
    std::optional<lumenrail::Bytes> securePsk;
    if (has(args, "--secure")) securePsk = lumenrail::Crypto::randomBytes(24);
    lumenrail::M2ServeOptions options;
    options.width = width;
    options.height = height;
    options.fps = fps;
    options.port = static_cast<uint16_t>(port);
    options.captureMain = has(args, "--capture-main");
    options.usb = has(args, "--usb");
    options.psk = std::move(securePsk);
    options.pair = has(args, "--pair");
    options.penHighRate = has(args, "--pen-hirate");
    options.arguments = args;
    return lumenrail::runM2Serve(options);
  }
  line("lumenrailhost: this build has the modes --m1-selftest, --m1 and --m2; the others are still being built");
  return 1;
}
