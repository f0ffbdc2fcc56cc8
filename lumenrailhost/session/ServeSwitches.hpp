#pragma once

// The serving session's switches, read once where the program starts (the
// "--m2" mode and the tray application) from the command line and the
// environment, so the session itself reads neither.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/InkObserver.hpp"
#include "platform/ProcessEnvironment.hpp"

namespace lumenrail {

struct ServeSwitches {
  // "LUMENRAIL_NO_PACER": encode on capture arrival, without the pacer.
  bool bypassPacing = false;
  // "LUMENRAIL_CAPTURE_BGRA": capture 32BGRA instead of NV12.
  bool captureBgra = false;
  // "LUMENRAIL_PEN_TO_INK" with "LUMENRAIL_INK_RECT_X/Y/W/H": the ink observer's rectangle.
  std::optional<InkObserver::Config> ink;
  // "LR_FAULT_CAPTURE_TIMEOUTS": capture starts after the first that report a time-out.
  int64_t faultCaptureTimeouts = 0;
  // "LUMENRAIL_VD_HZ": the virtual display's refresh rate, as PenDisplayPolicy reads it.
  std::optional<std::string> virtualDisplayHz;
  // "LUMENRAIL_PEN_RATE_HZ" as given: the pen-move rate, fixed (PenPacer reads the number).
  std::optional<std::string> penRateHz;
  // "LUMENRAIL_INPUT_TRACE", even empty: a line per input packet.
  bool inputTrace = false;
  // "--audio": system-audio passthrough while a client asks for it.
  bool audio = false;
  // "--audio-sck": skip the process tap, capture audio the simple way.
  bool audioForceSck = false;
  // "--audio-aac": AAC-LC to every client, whatever it asks for.
  bool audioForceAac = false;

  static ServeSwitches read(const std::vector<std::string>& arguments, const Environment& environment);

  // On when present, not empty and not exactly "0".
  static bool flag(const Environment& environment, const std::string& name);
  // Base 10 with an optional sign; `fallback` when missing or malformed.
  static int64_t integer(const Environment& environment, const std::string& name, int64_t fallback);
};

}  // namespace lumenrail
