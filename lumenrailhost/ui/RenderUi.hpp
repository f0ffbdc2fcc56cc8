#pragma once

// "--render-ui": every screen of the interface as PNG files, light and dark,
// from fixed data (grants, setup progress, language, login item, paired
// devices), on Qt's offscreen platform with a pinned font and style, so two
// runs give the same pixels and nothing of the user's is read or written.

#include <string>
#include <vector>

#include "platform/Log.hpp"
#include "secure/PairedDevice.hpp"

namespace lumenrail::RenderUi {

// The sample paired devices, seen `now` (seconds since 1970) minus an hour,
// two hours and three days.
std::vector<PairedDevice> samplePaired(double now);

// Renders into `directory` (made when missing); prints one line per file that
// could not be written and the summary. 0 when any PNG was written, else 1.
// Needs the application object; see `run`.
int renderUI(const std::string& directory, const Log::Sink& print = Log::line);

// The whole mode: pins the platform, language, style and font, makes the
// application object and renders.
int run(const std::string& directory, const Log::Sink& print = Log::line);

}  // namespace lumenrail::RenderUi
