#include "wire/Wire.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "platform/ByteOrder.hpp"
#include "platform/Utf8.hpp"

namespace lumenrail::Wire {

template <>
std::optional<PacketType> from<PacketType>(uint8_t raw) {
  switch (static_cast<PacketType>(raw)) {
    case PacketType::hello:
    case PacketType::audio:
    case PacketType::frame:
    case PacketType::requestIdr:
    case PacketType::timeSync:
    case PacketType::requestHello:
    case PacketType::advisory:
    case PacketType::bye:
    case PacketType::inkObserved:
    case PacketType::frameChunk:
    case PacketType::foregroundApp:
    case PacketType::input:
    case PacketType::inputCaps:
    case PacketType::clientMode:
    case PacketType::clientInfo:
    case PacketType::clientCaps:
    case PacketType::keyCombo:
    case PacketType::viewport:
    case PacketType::viewportApplied:
    case PacketType::encoderConfig:
    case PacketType::encoderConfigApplied:
    case PacketType::peerVersion:
      return static_cast<PacketType>(raw);
  }
  return std::nullopt;
}

template <>
std::optional<Codec> from<Codec>(uint8_t raw) {
  if (raw <= rawValue(Codec::hevc)) return static_cast<Codec>(raw);
  return std::nullopt;
}

template <>
std::optional<AudioCodec> from<AudioCodec>(uint8_t raw) {
  if (raw <= rawValue(AudioCodec::pcmS16)) return static_cast<AudioCodec>(raw);
  return std::nullopt;
}

template <>
std::optional<PenTool> from<PenTool>(uint8_t raw) {
  if (raw <= rawValue(PenTool::unknown)) return static_cast<PenTool>(raw);
  return std::nullopt;
}

template <>
std::optional<KeyComboAction> from<KeyComboAction>(uint8_t raw) {
  if (raw <= rawValue(KeyComboAction::up)) return static_cast<KeyComboAction>(raw);
  return std::nullopt;
}

void appendLE16(Bytes& out, uint16_t v) { ByteOrder::appendLE16(out, v); }
void appendLE32(Bytes& out, uint32_t v) { ByteOrder::appendLE32(out, v); }
void appendLE64(Bytes& out, uint64_t v) { ByteOrder::appendLE64(out, v); }
uint32_t readLE32(ByteView data, size_t at) { return ByteOrder::readLE32(data, at); }
uint64_t readLE64(ByteView data, size_t at) { return ByteOrder::readLE64(data, at); }

namespace {

// A packet with room for its payload reserved, header written.
Bytes startPacket(PacketType type, size_t payloadSize) {
  if (payloadSize > std::numeric_limits<uint32_t>::max()) {
    throw std::invalid_argument("wire payload of 4 GiB or more");
  }
  Bytes out;
  out.reserve(headerSize + payloadSize);
  out.push_back(rawValue(type));
  appendLE32(out, static_cast<uint32_t>(payloadSize));
  return out;
}

uint8_t clampByte(int64_t v) { return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255)); }

bool isControlByte(uint8_t b) { return b < 0x20 || b == 0x7F; }

}  // namespace

Bytes packet(PacketType type, ByteView payload) {
  Bytes out = startPacket(type, payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes hello(const HelloParams& p) {
  Bytes out = startPacket(PacketType::hello, 32);
  out.push_back(protocolVersion);
  out.push_back(rawValue(p.codec));
  out.push_back(hostOsMacOS);
  out.push_back(0);
  appendLE32(out, p.width);
  appendLE32(out, p.height);
  appendLE32(out, p.frameRateNum);
  appendLE32(out, p.frameRateDen);
  appendLE32(out, p.bitrateBps);
  appendLE64(out, p.qpcFrequency);
  return out;
}

namespace {
void appendFramePayload(Bytes& out, uint64_t captureTicks, bool keyframe, ByteView accessUnit) {
  appendLE64(out, captureTicks);
  out.push_back(keyframe ? 1 : 0);
  out.insert(out.end(), 3, 0);
  out.insert(out.end(), accessUnit.begin(), accessUnit.end());
}
}  // namespace

Bytes framePayload(uint64_t captureTicks, bool keyframe, ByteView accessUnit) {
  Bytes out;
  out.reserve(12 + accessUnit.size());
  appendFramePayload(out, captureTicks, keyframe, accessUnit);
  return out;
}

Bytes frame(uint64_t captureTicks, bool keyframe, ByteView accessUnit) {
  Bytes out = startPacket(PacketType::frame, 12 + accessUnit.size());
  appendFramePayload(out, captureTicks, keyframe, accessUnit);
  return out;
}

std::vector<Bytes> frameChunks(uint32_t frameId, ByteView payload, size_t maxChunkData) {
  if (maxChunkData == 0) throw std::invalid_argument("frame chunk size must be positive");
  if (payload.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::invalid_argument("frame payload of 4 GiB or more");
  }
  const size_t total = payload.size();
  std::vector<Bytes> chunks;
  chunks.reserve(total / maxChunkData + 1);
  size_t offset = 0;
  for (;;) {
    const size_t n = std::min(total - offset, maxChunkData);
    const bool last = offset + n >= total;
    Bytes chunk = startPacket(PacketType::frameChunk, frameChunkHeaderSize + n);
    appendLE32(chunk, frameId);
    appendLE32(chunk, static_cast<uint32_t>(total));
    appendLE32(chunk, static_cast<uint32_t>(offset));
    chunk.push_back(last ? 1 : 0);
    chunk.insert(chunk.end(), 3, 0);
    chunk.insert(chunk.end(), payload.begin() + static_cast<ptrdiff_t>(offset),
                 payload.begin() + static_cast<ptrdiff_t>(offset + n));
    chunks.push_back(std::move(chunk));
    if (last) break;
    offset += n;
  }
  return chunks;
}

Bytes audio(uint64_t captureTicks, AudioCodec codec, bool config, uint8_t channels, uint32_t sampleRate,
            ByteView data) {
  Bytes out = startPacket(PacketType::audio, 16 + data.size());
  appendLE64(out, captureTicks);
  out.push_back(rawValue(codec));
  out.push_back(config ? audioFlagConfig : 0);
  out.push_back(channels);
  out.push_back(0);
  appendLE32(out, sampleRate);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes advisory(int64_t activeCount, int64_t threshold, int64_t ceiling, uint8_t flags) {
  Bytes out = startPacket(PacketType::advisory, advisorySize);
  out.push_back(clampByte(activeCount));
  out.push_back(clampByte(threshold));
  out.push_back(clampByte(ceiling));
  out.push_back(flags);
  return out;
}

Bytes bye(uint8_t reason) {
  if (reason == 0) return startPacket(PacketType::bye, 0);
  Bytes out = startPacket(PacketType::bye, 1);
  out.push_back(reason);
  return out;
}

Bytes inkObserved(uint64_t captureTicks) {
  Bytes out = startPacket(PacketType::inkObserved, inkObservedSize);
  appendLE64(out, captureTicks);
  return out;
}

Bytes timeSyncReply(uint64_t clientMonoNs, uint64_t hostTicks) {
  Bytes out = startPacket(PacketType::timeSync, 16);
  appendLE64(out, clientMonoNs);
  appendLE64(out, hostTicks);
  return out;
}

Bytes viewportApplied(const ViewportRectQ16& v) {
  Bytes out = startPacket(PacketType::viewportApplied, viewportSize);
  appendLE16(out, v.x);
  appendLE16(out, v.y);
  appendLE16(out, v.w);
  appendLE16(out, v.h);
  return out;
}

Bytes encoderConfigApplied(const EncoderConfigRequest& r) {
  Bytes out = startPacket(PacketType::encoderConfigApplied, encoderConfigSize);
  out.push_back(r.fields & EncoderField::all);
  out.push_back(quantizeQuality(r.quality));
  out.push_back(clampByte(r.fpsCap));
  out.push_back(0);
  // The field is 32 bits wide: clamp rather than wrap a value the caller let grow.
  appendLE32(out, static_cast<uint32_t>(std::clamp<int64_t>(r.bitrateKbps, 0, std::numeric_limits<uint32_t>::max())));
  return out;
}

std::optional<Bytes> foregroundApp(std::string_view name) {
  const std::string normalized = normalizeForegroundName(name);
  if (normalized.empty()) return std::nullopt;
  return packet(PacketType::foregroundApp,
                ByteView(reinterpret_cast<const uint8_t*>(normalized.data()), normalized.size()));
}

std::optional<uint32_t> parseClientCaps(ByteView p) {
  if (p.size() < 4) return std::nullopt;
  return readLE32(p, 0);
}

std::optional<ClientMode> parseClientMode(ByteView p) {
  if (p.size() < 12) return std::nullopt;
  return ClientMode{readLE32(p, 0), readLE32(p, 4), readLE32(p, 8)};
}

std::optional<InputCaps> parseInputCaps(ByteView p) {
  if (p.size() < 8) return std::nullopt;
  return InputCaps{readLE32(p, 0), ByteOrder::readLE16(p, 4), p[6]};
}

std::optional<std::vector<InputSample>> parseInput(ByteView p) {
  if (p.size() < 2) return std::nullopt;
  constexpr size_t kSampleHeader = 8;
  constexpr size_t kPointerSize = 16;
  const size_t sampleCount = p[0];
  std::vector<InputSample> samples;
  samples.reserve(sampleCount);
  size_t at = 2;
  for (size_t s = 0; s < sampleCount; ++s) {
    if (p.size() - at < kSampleHeader) return std::nullopt;
    InputSample sample;
    sample.tDeltaUs = readLE32(p, at);
    const size_t pointerCount = p[at + 4];
    at += kSampleHeader;
    if ((p.size() - at) / kPointerSize < pointerCount) return std::nullopt;
    sample.pointers.reserve(pointerCount);
    for (size_t i = 0; i < pointerCount; ++i, at += kPointerSize) {
      InputPointer ptr;
      ptr.pointerId = p[at];
      ptr.tool = from<PenTool>(p[at + 1]).value_or(PenTool::unknown);
      ptr.flags = p[at + 2];
      ptr.xNorm = ByteOrder::readLE16(p, at + 4);
      ptr.yNorm = ByteOrder::readLE16(p, at + 6);
      ptr.pressure = ByteOrder::readLE16(p, at + 8);
      ptr.tiltXCentideg = static_cast<int16_t>(ByteOrder::readLE16(p, at + 10));
      ptr.tiltYCentideg = static_cast<int16_t>(ByteOrder::readLE16(p, at + 12));
      ptr.orientationCentideg = ByteOrder::readLE16(p, at + 14);
      sample.pointers.push_back(ptr);
    }
    samples.push_back(std::move(sample));
  }
  return samples;
}

std::optional<KeyChord> parseKeyCombo(ByteView p) {
  if (p.size() < 4) return std::nullopt;
  const auto action = from<KeyComboAction>(p[2]);
  if (!action) return std::nullopt;
  const size_t n = p[3];
  if (p.size() < 4 + n) return std::nullopt;
  return KeyChord{ByteOrder::readLE16(p, 0), *action, std::vector<uint8_t>(p.begin() + 4, p.begin() + 4 + n)};
}

std::optional<ViewportRectQ16> parseViewport(ByteView p) {
  if (p.size() < viewportSize) return std::nullopt;
  return ViewportRectQ16{ByteOrder::readLE16(p, 0), ByteOrder::readLE16(p, 2), ByteOrder::readLE16(p, 4),
                         ByteOrder::readLE16(p, 6)};
}

std::optional<EncoderConfigRequest> parseEncoderConfig(ByteView p) {
  if (p.size() < encoderConfigSize) return std::nullopt;
  EncoderConfigRequest r;
  r.fields = p[0] & EncoderField::all;
  r.quality = dequantizeQuality(p[1]);
  r.fpsCap = p[2];
  r.bitrateKbps = readLE32(p, 4);
  return r;
}

std::string parseClientInfo(ByteView p) {
  std::string kept;
  for (uint8_t b : p) {
    if (kept.size() >= foregroundNameMaxBytes) break;
    if (!isControlByte(b)) kept.push_back(static_cast<char>(b));
  }
  return Utf8::decodeRepairing(Utf8::trimSpaces(kept));
}

uint8_t quantizeQuality(float quality) {
  const double scaled = (std::isnan(quality) || quality >= 1.0f)
                            ? 255.5
                            : static_cast<double>(std::max(quality, 0.0f)) * 255.0 + 0.5;
  return static_cast<uint8_t>(std::clamp(std::trunc(scaled), 0.0, 255.0));
}

float dequantizeQuality(uint8_t byte) { return static_cast<float>(byte) / 255.0f; }

std::string normalizeForegroundName(std::string_view name) {
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string kept;
  kept.reserve(name.size());
  for (char c : name) {
    const auto b = static_cast<uint8_t>(c);
    if (isControlByte(b)) continue;
    kept.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
  }
  std::string_view trimmed = Utf8::trimSpaces(kept);
  if (trimmed.size() > foregroundNameMaxBytes) trimmed = trimmed.substr(0, foregroundNameMaxBytes);
  return Utf8::decodeRepairing(trimmed);
}

}  // namespace lumenrail::Wire
