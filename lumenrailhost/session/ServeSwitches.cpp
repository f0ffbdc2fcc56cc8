#include "session/ServeSwitches.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace lumenrail {

namespace {

bool hasArgument(const std::vector<std::string>& args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

}  // namespace

bool ServeSwitches::flag(const Environment& environment, const std::string& name) {
  const auto it = environment.find(name);
  return it != environment.end() && !it->second.empty() && it->second != "0";
}

int64_t ServeSwitches::integer(const Environment& environment, const std::string& name, int64_t fallback) {
  const auto it = environment.find(name);
  if (it == environment.end()) return fallback;
  std::string_view text(it->second);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return fallback;
  int64_t parsed = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (err != std::errc() || end != text.data() + text.size()) return fallback;
  return parsed;
}

ServeSwitches ServeSwitches::read(const std::vector<std::string>& arguments, const Environment& environment) {
  ServeSwitches s;
  s.bypassPacing = flag(environment, "LUMENRAIL_NO_PACER");
  s.captureBgra = flag(environment, "LUMENRAIL_CAPTURE_BGRA");
  if (flag(environment, "LUMENRAIL_PEN_TO_INK")) {
    InkObserver::Config ink;
    ink.x = integer(environment, "LUMENRAIL_INK_RECT_X", 32);
    ink.y = integer(environment, "LUMENRAIL_INK_RECT_Y", 32);
    ink.width = integer(environment, "LUMENRAIL_INK_RECT_W", 96);
    ink.height = integer(environment, "LUMENRAIL_INK_RECT_H", 96);
    ink.brightThreshold = 160.0;
    ink.rearmThreshold = 80.0;
    s.ink = ink;
  }
  s.faultCaptureTimeouts = integer(environment, "LR_FAULT_CAPTURE_TIMEOUTS", 0);
  if (const auto it = environment.find("LUMENRAIL_VD_HZ"); it != environment.end()) s.virtualDisplayHz = it->second;
  if (const auto it = environment.find("LUMENRAIL_PEN_RATE_HZ"); it != environment.end()) s.penRateHz = it->second;
  s.inputTrace = environment.count("LUMENRAIL_INPUT_TRACE") != 0;
  s.audio = hasArgument(arguments, "--audio");
  s.audioForceSck = hasArgument(arguments, "--audio-sck");
  s.audioForceAac = hasArgument(arguments, "--audio-aac");
  return s;
}

}  // namespace lumenrail
