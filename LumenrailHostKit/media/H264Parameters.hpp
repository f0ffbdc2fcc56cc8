#pragma once

#include "media/CodecSession.hpp"

extern "C" {
#include <x264.h>
}

namespace lumenrail {

// The settings the H.264 session opens libx264 with; false when the library
// refuses them. Shared with the encoder benchmark, whose raw-library reference
// must run on exactly these.
bool h264Parameters(x264_param_t& param, int width, int height, int fps, const CodecRate& rate);

}  // namespace lumenrail
