#pragma once

// The whole vocabulary of the wire protocol between the host and its clients:
// framing, packet codes, the records packets carry, one builder per
// host-to-client packet and one parser per client-to-host packet. Pure
// functions and constants; no state.
//
// Framing: u8 type, LE32 payload length, payload. Every integer on the wire
// is little-endian.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bytes.hpp"

namespace lumenrail::Wire {

inline constexpr uint16_t defaultPort = 27184;
inline constexpr uint8_t protocolVersion = 2;
inline constexpr size_t headerSize = 5;
inline constexpr size_t frameChunkHeaderSize = 16;
inline constexpr size_t frameChunkMaxData = 16384;
inline constexpr size_t inkObservedSize = 8;
inline constexpr size_t advisorySize = 4;
inline constexpr size_t viewportSize = 8;
inline constexpr size_t encoderConfigSize = 8;
inline constexpr size_t foregroundNameMaxBytes = 63;
inline constexpr uint8_t audioFlagConfig = 1;
// Existing clients expect this host-OS code in Hello whatever the host runs on.
inline constexpr uint8_t hostOsMacOS = 2;
// Size of the largest well-formed client packet (an Input packet of 255
// samples of 255 pointers): 2 + 255 * (8 + 255 * 16).
inline constexpr size_t maxInputPayload = 1'042'442;

enum class PacketType : uint8_t {
  hello = 0x01,
  audio = 0x02,
  frame = 0x03,
  requestIdr = 0x05,
  timeSync = 0x06,
  requestHello = 0x07,
  advisory = 0x08,
  bye = 0x09,
  inkObserved = 0x0A,
  frameChunk = 0x0C,
  foregroundApp = 0x0D,
  input = 0x10,
  inputCaps = 0x12,
  clientMode = 0x13,
  clientInfo = 0x14,
  clientCaps = 0x15,
  keyCombo = 0x16,
  viewport = 0x17,
  viewportApplied = 0x18,
  encoderConfig = 0x1C,
  encoderConfigApplied = 0x1D,
  peerVersion = 0x20,
};

enum class Codec : uint8_t { h264 = 0, hevc = 1 };
enum class AudioCodec : uint8_t { aacLC = 0, pcmS16 = 1 };
enum class PenTool : uint8_t { pen = 0, eraser = 1, finger = 2, unknown = 3 };
enum class KeyComboAction : uint8_t { tap = 0, down = 1, up = 2 };

// Maps a raw byte back to its case; nothing for any other byte.
template <typename E>
std::optional<E> from(uint8_t raw);
template <>
std::optional<PacketType> from<PacketType>(uint8_t raw);
template <>
std::optional<Codec> from<Codec>(uint8_t raw);
template <>
std::optional<AudioCodec> from<AudioCodec>(uint8_t raw);
template <>
std::optional<PenTool> from<PenTool>(uint8_t raw);
template <>
std::optional<KeyComboAction> from<KeyComboAction>(uint8_t raw);

template <typename E>
constexpr uint8_t rawValue(E e) {
  return static_cast<uint8_t>(e);
}

// Bit sets.
namespace ClientFeature {
inline constexpr uint32_t frameChunk = 1;  // the client reassembles FrameChunk packets
inline constexpr uint32_t audio = 2;       // the client wants audio
inline constexpr uint32_t hevc = 4;        // the client can decode HEVC
inline constexpr uint32_t audioPcm = 8;    // 16-bit PCM instead of AAC-LC
}  // namespace ClientFeature

namespace PenFlag {
inline constexpr uint8_t inRange = 1;
inline constexpr uint8_t inContact = 2;
inline constexpr uint8_t barrel = 4;
inline constexpr uint8_t eraser = 8;
}  // namespace PenFlag

namespace InputAxis {
inline constexpr uint32_t pressure = 1;
inline constexpr uint32_t tilt = 2;
inline constexpr uint32_t orientation = 4;
inline constexpr uint32_t distance = 8;
}  // namespace InputAxis

namespace KeyModifier {
inline constexpr uint16_t ctrl = 1;
inline constexpr uint16_t shift = 2;
inline constexpr uint16_t alt = 4;
inline constexpr uint16_t win = 8;
}  // namespace KeyModifier

namespace AdvisoryFlag {
inline constexpr uint8_t count = 1;
inline constexpr uint8_t degraded = 2;
}  // namespace AdvisoryFlag

namespace EncoderField {
inline constexpr uint8_t quality = 1;
inline constexpr uint8_t fpsCap = 2;
inline constexpr uint8_t bitrate = 4;
inline constexpr uint8_t all = 7;
}  // namespace EncoderField

// Records.

struct HelloParams {
  Codec codec = Codec::h264;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frameRateNum = 0;
  uint32_t frameRateDen = 0;
  uint32_t bitrateBps = 0;
  uint64_t qpcFrequency = 0;  // ticks per second of the capture ticks
  bool operator==(const HelloParams&) const = default;
};

struct InputPointer {
  uint8_t pointerId = 0;
  PenTool tool = PenTool::pen;
  uint8_t flags = 0;  // PenFlag bits
  uint16_t xNorm = 0;
  uint16_t yNorm = 0;
  uint16_t pressure = 0;
  int16_t tiltXCentideg = 0;
  int16_t tiltYCentideg = 0;
  uint16_t orientationCentideg = 0;
  bool operator==(const InputPointer&) const = default;
};

struct InputSample {
  uint32_t tDeltaUs = 0;
  std::vector<InputPointer> pointers;
  bool operator==(const InputSample&) const = default;
};

struct InputCaps {
  uint32_t axisMask = 0;  // InputAxis bits
  uint16_t pressureMax = 0;
  uint8_t maxContacts = 0;
  bool operator==(const InputCaps&) const = default;
};

struct ClientMode {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t refreshHz = 0;
  bool operator==(const ClientMode&) const = default;
};

struct KeyChord {
  uint16_t modifiers = 0;  // KeyModifier bits
  KeyComboAction action = KeyComboAction::tap;
  std::vector<uint8_t> vks;
  bool operator==(const KeyChord&) const = default;
};

// A zoom viewport in 1/65535 of the frame's width and height.
struct ViewportRectQ16 {
  uint16_t x = 0;
  uint16_t y = 0;
  uint16_t w = 0;
  uint16_t h = 0;
  static constexpr ViewportRectQ16 full() { return {0, 0, 0xFFFF, 0xFFFF}; }
  bool isFull() const { return w == 0 || h == 0 || *this == full(); }
  bool operator==(const ViewportRectQ16&) const = default;
};

struct EncoderConfigRequest {
  uint8_t fields = 0;  // EncoderField bits
  float quality = 0;   // 0..1
  int64_t fpsCap = 0;
  int64_t bitrateKbps = 0;
  bool hasQuality() const { return fields & EncoderField::quality; }
  bool hasFpsCap() const { return fields & EncoderField::fpsCap; }
  bool hasBitrate() const { return fields & EncoderField::bitrate; }
  bool isEmpty() const { return (fields & EncoderField::all) == 0; }
  static constexpr EncoderConfigRequest none() { return {}; }
  bool operator==(const EncoderConfigRequest&) const = default;
};

// Framing and byte order.

// Header (type, LE32 payload length) followed by the payload. Throws
// std::invalid_argument for a payload of 4 GiB or more (no builder makes one).
Bytes packet(PacketType type, ByteView payload);

void appendLE16(Bytes& out, uint16_t v);
void appendLE32(Bytes& out, uint32_t v);
void appendLE64(Bytes& out, uint64_t v);
uint32_t readLE32(ByteView data, size_t at);
uint64_t readLE64(ByteView data, size_t at);

// Builders: each returns a whole packet, header included.

Bytes hello(const HelloParams& params);
Bytes framePayload(uint64_t captureTicks, bool keyframe, ByteView accessUnit);
Bytes frame(uint64_t captureTicks, bool keyframe, ByteView accessUnit);
// Cuts a frame payload into FrameChunk packets of at most `maxChunkData` data
// bytes each; an empty payload still yields one chunk. Throws
// std::invalid_argument when `maxChunkData` is 0.
std::vector<Bytes> frameChunks(uint32_t frameId, ByteView framePayload, size_t maxChunkData = frameChunkMaxData);
Bytes audio(uint64_t captureTicks, AudioCodec codec, bool config, uint8_t channels, uint32_t sampleRate,
            ByteView data);
// Counts are clamped to 0..255.
Bytes advisory(int64_t activeCount, int64_t threshold, int64_t ceiling, uint8_t flags);
Bytes bye(uint8_t reason = 0);
Bytes inkObserved(uint64_t captureTicks);
Bytes timeSyncReply(uint64_t clientMonoNs, uint64_t hostTicks);
Bytes viewportApplied(const ViewportRectQ16& viewport);
Bytes encoderConfigApplied(const EncoderConfigRequest& request);
// The normalised name as a ForegroundApp packet; nothing when the normalised
// name is empty (the server then sends nothing).
std::optional<Bytes> foregroundApp(std::string_view name);

// Parsers: the record, or nothing when the payload is rejected. Bytes after
// the parsed part are ignored.

std::optional<uint32_t> parseClientCaps(ByteView payload);
std::optional<ClientMode> parseClientMode(ByteView payload);
std::optional<InputCaps> parseInputCaps(ByteView payload);
std::optional<std::vector<InputSample>> parseInput(ByteView payload);
std::optional<KeyChord> parseKeyCombo(ByteView payload);
std::optional<ViewportRectQ16> parseViewport(ByteView payload);
std::optional<EncoderConfigRequest> parseEncoderConfig(ByteView payload);
std::string parseClientInfo(ByteView payload);

uint8_t quantizeQuality(float quality);
float dequantizeQuality(uint8_t byte);
std::string normalizeForegroundName(std::string_view name);

}  // namespace lumenrail::Wire
