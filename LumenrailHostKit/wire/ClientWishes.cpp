#include "wire/ClientWishes.hpp"

#include <algorithm>
#include <cstdio>

namespace lumenrail {

ClientWishes::ClientWishes(std::vector<std::shared_ptr<ClientConn>> clients) : clients_(std::move(clients)) {}

template <class Pred>
bool ClientWishes::any(Pred pred) const {
  return std::any_of(clients_.begin(), clients_.end(), [&](const auto& conn) {
    std::lock_guard lock(conn->mutex);
    return pred(*conn);
  });
}

bool ClientWishes::audio() const {
  return any([](const ClientConn& c) { return c.wantsAudio; });
}

bool ClientWishes::audioPcm() const {
  return any([](const ClientConn& c) { return c.wantsAudio && c.wantsAudioPcm; });
}

bool ClientWishes::audioAac() const {
  return any([](const ClientConn& c) { return c.wantsAudio && !c.wantsAudioPcm; });
}

bool ClientWishes::hevc() const {
  bool anyDeclared = false;
  for (const auto& conn : clients_) {
    std::lock_guard lock(conn->mutex);
    if (!conn->capsDeclared) continue;
    anyDeclared = true;
    if (!conn->wantsHevc) return false;
  }
  return anyDeclared;
}

Wire::EncoderConfigRequest ClientWishes::encoderConfig() const {
  Wire::EncoderConfigRequest merged = Wire::EncoderConfigRequest::none();
  for (const auto& conn : clients_) {
    std::lock_guard lock(conn->mutex);
    const auto& r = conn->encoderConfig;
    if (r.hasQuality()) merged.quality = merged.hasQuality() ? std::max(merged.quality, r.quality) : r.quality;
    if (r.hasFpsCap()) merged.fpsCap = merged.hasFpsCap() ? std::max(merged.fpsCap, r.fpsCap) : r.fpsCap;
    if (r.hasBitrate()) {
      merged.bitrateKbps = merged.hasBitrate() ? std::max(merged.bitrateKbps, r.bitrateKbps) : r.bitrateKbps;
    }
    merged.fields |= r.fields & Wire::EncoderField::all;
  }
  return merged;
}

ClientWishes::CapsUpdate ClientWishes::recordCaps(ClientConn& conn, uint32_t bits, bool forceAac) {
  const bool hevc = bits & Wire::ClientFeature::hevc;
  const bool audio = bits & Wire::ClientFeature::audio;
  const bool pcm = (bits & Wire::ClientFeature::audioPcm) && !forceAac;
  const bool chunk = bits & Wire::ClientFeature::frameChunk;
  CapsUpdate update;
  {
    std::lock_guard lock(conn.mutex);
    update.hevcChanged = hevc != conn.wantsHevc || !conn.capsDeclared;
    conn.wantsAudio = audio;
    conn.wantsAudioPcm = pcm;
    conn.wantsHevc = hevc;
    conn.wantsFrameChunk = chunk;
    conn.capsDeclared = true;
  }
  char hexBits[16];
  std::snprintf(hexBits, sizeof hexBits, "%x", bits);
  std::vector<std::string> words;
  if (audio) words.push_back(pcm ? "audio:pcm" : "audio:aac");
  if (hevc) words.push_back("hevc");
  if (chunk) words.push_back("chunk");
  update.line = std::string("ClientCaps ← client: 0x") + hexBits;
  if (!words.empty()) {
    update.line += " (";
    for (size_t i = 0; i < words.size(); ++i) update.line += (i ? "," : "") + words[i];
    update.line += ")";
  }
  return update;
}

std::optional<std::string> ClientWishes::recordEncoderConfig(ClientConn& conn,
                                                              const Wire::EncoderConfigRequest& request) {
  {
    std::lock_guard lock(conn.mutex);
    if (conn.encoderConfig == request) return std::nullopt;
    conn.encoderConfig = request;
  }
  std::vector<std::string> parts;
  if (request.hasQuality()) {
    char q[32];
    std::snprintf(q, sizeof q, "quality %.2f", static_cast<double>(request.quality));
    parts.emplace_back(q);
  }
  if (request.hasFpsCap()) parts.push_back("fps≤" + std::to_string(request.fpsCap));
  if (request.hasBitrate()) parts.push_back(std::to_string(request.bitrateKbps) + " kbps");
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : "") + parts[i];
  return "EncoderConfig 0x1C ← client (fd " + std::to_string(conn.fd) +
         "): " + (text.empty() ? std::string("nothing") : text);
}

ClientWishes::Departure ClientWishes::departure(const ClientConn& conn) {
  std::lock_guard lock(conn.mutex);
  return {conn.wantsAudio, conn.capsDeclared, !conn.encoderConfig.isEmpty()};
}

}  // namespace lumenrail
