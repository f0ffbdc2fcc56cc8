#include "input/AppIdentity.hpp"

#include <utility>
#include <vector>

namespace lumenrail::AppIdentity {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

constexpr std::pair<std::string_view, std::string_view> kPrefixes[] = {
    {"com.corel.painter", "painter"},
    {"com.adobe.premierepro", "adobe premiere pro"},
};

}  // namespace

const std::map<std::string, std::string>& overrides() {
  static const std::map<std::string, std::string> table = {
      {"org.krita", "krita"},
      {"com.adobe.photoshop", "photoshop"},
      {"com.adobe.illustrator", "illustrator"},
      {"jp.co.celsys.clipstudiopaint", "clipstudiopaint"},
      {"com.celsys.clipstudiopaint", "clipstudiopaint"},
      {"jp.clip-studio.clipstudiopaint", "clipstudiopaint"},
      {"org.blenderfoundation.blender", "blender"},
      {"com.seriflabs.affinityphoto2", "photo"},
      {"com.seriflabs.affinityphoto", "photo"},
      {"com.seriflabs.affinitydesigner2", "designer"},
      {"com.seriflabs.affinitydesigner", "designer"},
      {"com.adobe.mars", "lightroom"},
      {"com.adobe.lightroomclassiccc7", "lightroom"},
      {"org.gimp.gimp-2.10", "gimp"},
      {"org.gimp.gimp-3.0", "gimp"},
      {"org.gimp.gimp", "gimp"},
      {"org.inkscape.inkscape", "inkscape"},
      {"com.autodesk.sketchbook", "sketchbook"},
      {"com.sketchbook.mac", "sketchbook"},
      {"com.escapemotions.rebelle", "rebelle"},
      {"com.medibang.cloudalpaca", "medibangpaintpro"},
      {"com.firealpaca", "firealpaca"},
      {"com.maxon.zbrush", "zbrush"},
      {"com.captureone.captureone16", "capture one"},
      {"com.pixelmatorteam.pixelmator.x", "pixelmator"},
      {"com.figma.desktop", "figma"},
      {"com.bohemiancoding.sketch3", "sketch"},
      {"com.adobe.aftereffects", "afterfx"},
      {"com.blackmagic-design.davinciresolve", "resolve"},
      {"com.apple.finalcut", "final cut pro"},
      {"com.microsoft.onenote.mac", "onenote"},
      {"com.github.xournalpp.xournalpp", "xournalpp"},
      // The same applications as Linux desktops name them (application ids,
      // desktop files, window classes).
      {"gimp", "gimp"},
      {"gimp-2.10", "gimp"},
      {"gimp-2.99", "gimp"},
      {"gimp-3.0", "gimp"},
      {"krita", "krita"},
      {"org.kde.krita", "krita"},
      {"inkscape", "inkscape"},
      {"blender", "blender"},
      {"org.blender.blender", "blender"},
      {"xournalpp", "xournalpp"},
  };
  return table;
}

std::string stem(std::string_view bundleId) {
  const std::string id = lower(bundleId);
  const auto& table = overrides();
  if (const auto found = table.find(id); found != table.end()) return found->second;
  for (const auto& [prefix, value] : kPrefixes) {
    if (id.starts_with(prefix)) return std::string(value);
  }
  std::string_view last = id;
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= id.size()) {
    const size_t dot = id.find('.', start);
    const size_t end = dot == std::string::npos ? id.size() : dot;
    if (end > start) pieces.emplace_back(std::string_view(id).substr(start, end - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (!pieces.empty()) last = pieces.back();
  std::string out;
  for (const char c : last) {
    if (c >= 'a' && c <= 'z') out += c;
  }
  return out;
}

}  // namespace lumenrail::AppIdentity
