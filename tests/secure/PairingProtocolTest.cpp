#include <gtest/gtest.h>

#include <string>

#include "platform/CryptoError.hpp"
#include "platform/Utf8.hpp"
#include "secure/ClientHandshake.hpp"
#include "secure/HostHandshake.hpp"
#include "secure/PairingError.hpp"
#include "secure/PairingProtocol.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "support/HexBytes.hpp"

namespace lumenrail {
namespace {

namespace P = PairingProtocol;
using P::DeviceKind;
using test::bytesOf;
using test::fromHex;
using test::toHex;

// Keys from RFC 7748 section 6.1 (X25519) and RFC 8032 section 7.1 tests 1
// and 2 (Ed25519). The client is Alice with test 1's key, the host Bob with
// test 2's. Every expected value below was computed with python3-cryptography
// and hashlib, never by this code.
const char* kAliceX = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const char* kAlicePubX = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const char* kBobX = "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb";
const char* kBobPubX = "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f";
const char* kSharedX = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
const char* kClientSeed = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
const char* kClientPub = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
const char* kHostSeed = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb";
const char* kHostPub = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";

const char* kRoot = "8b265ff34956cbb2fa08f7d3c72a6ee1eca4261127c9d84695d845fa13e19d7d";
const char* kSas = "619651";
const char* kClientFingerprint = "If4x36FUomE";
const char* kHostFingerprint = "OfcT0KZEJT8";
const char* kHostSig =
    "ee7bcf215989365ff9e6e3565b2d62e632a8ecdb46b7bed2ea57cb02e55a8fad"
    "6bc5091ef24bdb56228aaa8f38c898a8c6c0240c184580d2356e74eab69b0403";
const char* kClientSig =
    "052ed171adc6095773eb31b7192c8037ed958e02f6074295429ca166d1bd48f3"
    "6cf748e11514b791a4ad63ff367541a246096910d9cdb9d9e2e1212ff1e75204";
const char* kRecordC2H = "76c9d5bd9f7e1f6a03e2b7a86eadb2582212cbf17eb381d128c2d7fe7d3d93cb";
const char* kRecordH2C = "c5b6b0680678703f176b63abe84cfcf90c7d383d1aea5a3263a28d12576ebb31";

// SHA-256("lumenrail/device-id/v1" + "tablet-serial-0042"), first 8 bytes.
const char* kDeviceId = "95d628fc6289bb8f";
// Its tail form: marker 2, then 0x10 + each nibble, high first; kind iPad.
const char* kTailMeta = "02 19151d16 12181f1c 16121819 1b1b181f 03 14";

Bytes transcriptHex() { return fromHex(std::string(kAlicePubX) + kClientPub + kBobPubX + kHostPub); }

HostHandshake bobHost() {
  return HostHandshake(Ed25519PrivateKey::fromRaw(fromHex(kHostSeed)), X25519PrivateKey::fromRaw(fromHex(kBobX)));
}

ClientHandshake aliceClient(std::string name = "Ada's tablet", bool canShowSas = true,
                            std::optional<Bytes> id = fromHex(kDeviceId), DeviceKind kind = DeviceKind::iPad) {
  return ClientHandshake(Ed25519PrivateKey::fromRaw(fromHex(kClientSeed)), X25519PrivateKey::fromRaw(fromHex(kAliceX)),
                         std::move(name), canShowSas, std::move(id), kind);
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes payloadOf(const Bytes& frame) { return Bytes(frame.begin() + 3, frame.end()); }

std::string errorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const PairingError& e) {
    return e.what();
  }
  return "no error";
}

TEST(PairingProtocol, KnownAnswerChainWithRfcKeys) {
  const Bytes transcript = transcriptHex();
  EXPECT_EQ(toHex(P::transcript(fromHex(kAlicePubX), fromHex(kClientPub), fromHex(kBobPubX), fromHex(kHostPub))),
            toHex(transcript));
  EXPECT_EQ(toHex(P::deriveRoot(SymmetricKey(fromHex(kSharedX)), transcript).bytes()), kRoot);
  EXPECT_EQ(P::sasDigits(transcript), kSas);
  EXPECT_EQ(P::fingerprint(fromHex(kClientPub)), kClientFingerprint);
  EXPECT_EQ(P::fingerprint(fromHex(kHostPub)), kHostFingerprint);
  EXPECT_EQ(toHex(P::hostSignature(Ed25519PrivateKey::fromRaw(fromHex(kHostSeed)), transcript)), kHostSig);
  EXPECT_EQ(toHex(P::clientSignature(Ed25519PrivateKey::fromRaw(fromHex(kClientSeed)), transcript)), kClientSig);
  EXPECT_EQ(toHex(P::deviceIdFrom("tablet-serial-0042")), kDeviceId);
  EXPECT_EQ(P::deviceIdHex(fromHex(kDeviceId)), kDeviceId);

  // The whole exchange, byte for byte.
  ClientHandshake client = aliceClient();
  HostHandshake host = bobHost();
  const Bytes tail = concat({fromHex(kTailMeta), bytesOf("Ada's tablet")});
  const Bytes clientKeyx = concat({fromHex(kAlicePubX), fromHex(kClientPub), tail});
  const Bytes hello = client.hello();
  EXPECT_EQ(toHex(hello), toHex(concat({bytesOf("LRP1"), fromHex("01 5f 00"), clientKeyx})));

  const auto info = host.processClientKeyx(clientKeyx);
  EXPECT_EQ(toHex(info.identityPublicKey), kClientPub);
  EXPECT_EQ(info.fingerprint, kClientFingerprint);
  EXPECT_EQ(info.sas, kSas);
  EXPECT_EQ(info.name, "Ada's tablet");
  EXPECT_TRUE(info.canShowSas);
  ASSERT_TRUE(info.deviceId.has_value());
  EXPECT_EQ(toHex(*info.deviceId), kDeviceId);
  EXPECT_EQ(info.deviceKind, DeviceKind::iPad);

  const Bytes hostKeyx = host.hostKeyx();
  EXPECT_EQ(toHex(hostKeyx), toHex(concat({fromHex("02 80 00"), fromHex(kBobPubX), fromHex(kHostPub), fromHex(kHostSig)})));

  const auto hostInfo = client.processHostKeyx(payloadOf(hostKeyx));
  EXPECT_EQ(toHex(hostInfo.identityPublicKey), kHostPub);
  EXPECT_EQ(hostInfo.fingerprint, kHostFingerprint);
  EXPECT_TRUE(hostInfo.signatureValid);
  EXPECT_EQ(hostInfo.sas, kSas);

  const Bytes confirm = client.confirm(true);
  EXPECT_EQ(toHex(confirm), toHex(concat({fromHex("03 41 00 01"), fromHex(kClientSig)})));
  EXPECT_EQ(host.processClientConfirm(payloadOf(confirm)), (HostHandshake::Confirm{true, true}));

  EXPECT_EQ(toHex(host.rootKey().bytes()), kRoot);
  EXPECT_EQ(toHex(client.rootKey().bytes()), kRoot);
  const auto hostKeys = WifiKeySchedule::derive(host.rootKey(), WifiKeySchedule::Role::host,
                                                WifiKeySchedule::Flavor::paired);
  EXPECT_EQ(toHex(hostKeys.sendKey.bytes()), kRecordH2C);
  EXPECT_EQ(toHex(hostKeys.recvKey.bytes()), kRecordC2H);
}

TEST(PairingProtocol, FramesAndConstants) {
  EXPECT_EQ(toHex(HostHandshake::hostReject(P::rejectUnknownDevice)), "04010001");
  const Bytes header = fromHex("03 41 00");
  EXPECT_EQ(P::headerType(header), 3);
  EXPECT_EQ(P::headerLength(header), 65);
  EXPECT_EQ(P::headerLength(fromHex("01 34 12")), 0x1234);
  EXPECT_THROW(P::headerLength(fromHex("01 34")), std::invalid_argument);
  EXPECT_THROW(P::headerType(Bytes{}), std::invalid_argument);
  EXPECT_EQ(P::encode(9, Bytes(65535, 0)).size(), 65538u);
  EXPECT_THROW(P::encode(9, Bytes(65536, 0)), std::invalid_argument);
  EXPECT_EQ(toHex(P::encode(1, Bytes{})), "010000");

  EXPECT_EQ(P::from(5), DeviceKind::appleTv);
  EXPECT_FALSE(P::from(6).has_value());
  EXPECT_EQ(P::deviceKindOf(3), DeviceKind::iPhone);
  EXPECT_EQ(P::deviceKindOf(-1), DeviceKind::unknown);
  EXPECT_EQ(P::deviceKindOf(9), DeviceKind::unknown);
  EXPECT_EQ(P::deviceKindOf(256 + 4), DeviceKind::unknown);
}

TEST(PairingProtocol, SasAndFingerprintShapes) {
  // Transcripts whose codes start with zeros (computed independently).
  EXPECT_EQ(P::sasDigits(Bytes(128, 3)), "007573");
  EXPECT_EQ(P::sasDigits(Bytes(128, 13)), "002320");
  for (int i = 0; i < 200; ++i) {
    const std::string fp = P::fingerprint(Ed25519PrivateKey::generate().publicKey());
    ASSERT_EQ(fp.size(), 11u);
    for (char c : fp) {
      EXPECT_TRUE((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')
          << fp;
    }
  }
  EXPECT_EQ(errorText([] { P::transcript(Bytes(32), Bytes(31), Bytes(32), Bytes(32)); }),
            "malformed(\"bad transcript component length\")");
}

TEST(PairingProtocol, HostRefusesWrongSizesAndOrder) {
  HostHandshake host = bobHost();
  EXPECT_EQ(errorText([&] { host.hostKeyx(); }), "outOfOrder(\"HostKeyx before ClientKeyx\")");
  EXPECT_EQ(errorText([&] { host.processClientConfirm(Bytes(65)); }),
            "outOfOrder(\"ClientConfirm before ClientKeyx\")");
  EXPECT_EQ(errorText([&] { host.rootKey(); }), "outOfOrder(\"root before ClientKeyx\")");

  const Bytes keys = concat({fromHex(kAlicePubX), fromHex(kClientPub)});
  EXPECT_EQ(errorText([&] { host.processClientKeyx(Bytes(keys.begin(), keys.end() - 1)); }),
            "malformed(\"bad ClientKeyx length 63\")");
  EXPECT_EQ(errorText([&] { host.processClientKeyx(concat({keys, Bytes(65, 'a')})); }),
            "malformed(\"bad ClientKeyx length 129\")");
  // Identity keys that prove nothing are refused at ClientKeyx: the neutral point, all-zero, all-ff.
  for (const char* key : {"0100000000000000000000000000000000000000000000000000000000000000",
                          "0000000000000000000000000000000000000000000000000000000000000000",
                          "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"}) {
    EXPECT_EQ(errorText([&] { host.processClientKeyx(concat({fromHex(kAlicePubX), fromHex(key)})); }),
              "malformed(\"unusable client identity key\")")
        << key;
  }
  EXPECT_THROW(host.hostKeyx(), PairingError) << "a refused ClientKeyx leaves the handshake fresh";

  // Exactly 64 bytes: an empty tail.
  const auto info = host.processClientKeyx(keys);
  EXPECT_EQ(info.name, "");
  EXPECT_TRUE(info.canShowSas);
  EXPECT_FALSE(info.deviceId.has_value());
  EXPECT_EQ(info.deviceKind, DeviceKind::unknown);
  EXPECT_EQ(errorText([&] { host.processClientConfirm(Bytes(64)); }), "malformed(\"bad ClientConfirm length 64\")");
  EXPECT_EQ(errorText([&] { host.processClientConfirm(Bytes(66)); }), "malformed(\"bad ClientConfirm length 66\")");

  ClientHandshake client = aliceClient();
  EXPECT_EQ(errorText([&] { client.confirm(true); }), "outOfOrder(\"confirm before HostKeyx\")");
  EXPECT_EQ(errorText([&] { client.rootKey(); }), "outOfOrder(\"root before HostKeyx\")");
  EXPECT_EQ(errorText([&] { client.processHostKeyx(Bytes(127)); }), "malformed(\"bad HostKeyx length 127\")");
}

TEST(PairingProtocol, LowOrderEphemeralKeysAreRefused) {
  // Points of small order from RFC 7748's discussion: 0, 1, and the point of
  // order 8; each forces an all-zero secret.
  for (const char* point : {"0000000000000000000000000000000000000000000000000000000000000000",
                            "0100000000000000000000000000000000000000000000000000000000000000",
                            "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"}) {
    HostHandshake host = bobHost();
    try {
      host.processClientKeyx(concat({fromHex(point), fromHex(kClientPub)}));
      ADD_FAILURE() << "accepted " << point;
    } catch (const CryptoError& e) {
      EXPECT_EQ(e.kind, CryptoError::Kind::lowOrderPeerKey) << point;
    }
    EXPECT_THROW(host.rootKey(), PairingError) << "nothing is stored after a refused key";

    ClientHandshake client = aliceClient();
    const Bytes hostKeyx = concat({fromHex(point), fromHex(kHostPub), fromHex(kHostSig)});
    EXPECT_THROW(client.processHostKeyx(hostKeyx), CryptoError);
    EXPECT_THROW(client.confirm(true), PairingError);
  }
}

struct Exchange {
  ClientHandshake client = aliceClient();
  HostHandshake host = bobHost();
  Bytes transcript = transcriptHex();
  Exchange() {
    const Bytes hello = client.hello();
    host.processClientKeyx(Bytes(hello.begin() + 7, hello.end()));
    client.processHostKeyx(payloadOf(host.hostKeyx()));
  }
};

TEST(PairingProtocol, ConfirmationNeedsOkOneAndTheClientsOwnSignature) {
  {
    Exchange x;
    Bytes confirm = payloadOf(x.client.confirm(true));
    confirm[0] = 2;  // not 1: declined, and the signature is not looked at
    EXPECT_EQ(x.host.processClientConfirm(confirm), (HostHandshake::Confirm{false, false}));
    confirm[0] = 0;
    EXPECT_EQ(x.host.processClientConfirm(confirm), (HostHandshake::Confirm{false, false}));
    EXPECT_EQ(toHex(payloadOf(x.client.confirm(false))), "00" + std::string(128, '0'));
  }
  {
    Exchange x;
    Bytes confirm = payloadOf(x.client.confirm(true));
    confirm[10] ^= 0x01;
    EXPECT_EQ(x.host.processClientConfirm(confirm), (HostHandshake::Confirm{true, false}));
  }
  {
    // Right key, wrong label: the host's label over the same transcript.
    Exchange x;
    const Bytes sig = P::hostSignature(Ed25519PrivateKey::fromRaw(fromHex(kClientSeed)), x.transcript);
    EXPECT_EQ(x.host.processClientConfirm(concat({Bytes{1}, sig})), (HostHandshake::Confirm{true, false}));
  }
  {
    // A foreign key signing the right message.
    Exchange x;
    const Bytes sig = P::clientSignature(Ed25519PrivateKey::generate(), x.transcript);
    EXPECT_EQ(x.host.processClientConfirm(concat({Bytes{1}, sig})), (HostHandshake::Confirm{true, false}));
  }
  {
    // The client notices a host signature that does not verify.
    ClientHandshake client = aliceClient();
    Bytes hostKeyx = concat({fromHex(kBobPubX), fromHex(kHostPub), fromHex(kHostSig)});
    hostKeyx[100] ^= 0x80;
    EXPECT_FALSE(client.processHostKeyx(hostKeyx).signatureValid);
  }
  EXPECT_FALSE(P::verifyClientSignature(Bytes(31, 1), transcriptHex(), fromHex(kClientSig)));
  EXPECT_TRUE(P::verifyClientSignature(fromHex(kClientPub), transcriptHex(), fromHex(kClientSig)));
  EXPECT_FALSE(P::verifyHostSignature(fromHex(kHostPub), transcriptHex(), Bytes(63)));
}

TEST(PairingProtocol, TailRoundTripAndScanning) {
  const Bytes id = fromHex("00ff10a5c3e71b42");
  const Bytes tail = P::clientKeyxTail("Kim", false, id, DeviceKind::iPad);
  EXPECT_EQ(toHex(tail), toHex(concat({fromHex("01 02 1010 1f1f 1110 1a15 1c13 1e17 111b 1412 03 14"), bytesOf("Kim")})));
  EXPECT_FALSE(P::clientTailCanShowSas(tail));
  EXPECT_EQ(P::clientTailMeta(tail), (P::TailMeta{id, DeviceKind::iPad}));
  EXPECT_EQ(P::clientNameFromBytes(tail), "Kim");

  EXPECT_TRUE(P::clientTailCanShowSas(Bytes{}));
  EXPECT_EQ(P::clientTailMeta(Bytes{}), P::TailMeta{});
  // An id that is not 8 bytes and the unknown kind leave no metadata.
  EXPECT_EQ(toHex(P::metaBytes(Bytes(7, 1), DeviceKind::unknown)), "");

  // A marker 2 with only 15 nibble bytes, or with a byte outside 0x10-0x1F,
  // is skipped alone and the scan goes on.
  Bytes shortId = concat({Bytes{2}, Bytes(15, 0x11), fromHex("03 15")});
  EXPECT_EQ(P::clientTailMeta(shortId), (P::TailMeta{std::nullopt, DeviceKind::appleTv}));
  Bytes badNibble = concat({Bytes{2}, Bytes(7, 0x11), Bytes{0x20}, Bytes(8, 0x11), fromHex("03 12")});
  EXPECT_EQ(P::clientTailMeta(badNibble), (P::TailMeta{std::nullopt, DeviceKind::androidTv}));
  // Kinds 6-15 read as unknown; a 3 before a non-nibble byte is skipped.
  EXPECT_EQ(P::clientTailMeta(fromHex("03 1f")).kind, DeviceKind::unknown);
  EXPECT_EQ(P::clientTailMeta(fromHex("03 16")).kind, DeviceKind::unknown);
  EXPECT_EQ(P::clientTailMeta(fromHex("03 41 03 13")).kind, DeviceKind::iPhone);
  // A later id or kind replaces an earlier one.
  const Bytes two = concat({P::metaBytes(Bytes(8, 0x11), DeviceKind::iPhone), P::metaBytes(id, DeviceKind::android)});
  EXPECT_EQ(P::clientTailMeta(two), (P::TailMeta{id, DeviceKind::android}));

  // Not UTF-8: no name, but the metadata still counts.
  const Bytes broken = concat({P::metaBytes(id, DeviceKind::iPhone), fromHex("41 c3 28 42")});
  EXPECT_EQ(P::clientNameFromBytes(broken), "");
  EXPECT_EQ(P::clientTailMeta(broken), (P::TailMeta{id, DeviceKind::iPhone}));
}

TEST(PairingProtocol, NamesLoseControlAndFormatCharacters) {
  // Bidirectional overrides and isolates, zero-width characters, soft hyphen,
  // byte-order mark, C0 and C1 controls and a tag character.
  const std::string hostile =
      "\u202E\u2066Ev\u00ADil\u200B\u200D \u0085Tab\u0007let\uFEFF\u2069\u009B\xF3\xA0\x80\x81";
  EXPECT_EQ(P::withoutControlCharacters(hostile), "Evil Tablet");
  EXPECT_EQ(P::clientNameFromBytes(bytesOf(hostile)), "Evil Tablet");
  EXPECT_EQ(P::clientNameFromBytes(bytesOf("  \u00A0Ada\u2003\n")), "Ada");
  // Trimming comes first: white space that a dropped character shielded stays.
  EXPECT_EQ(P::clientNameFromBytes(bytesOf("\x01 Ada")), " Ada");
  EXPECT_EQ(P::clientNameFromBytes(bytesOf("Żółw 🐢 \u05D0")), "Żółw 🐢 \u05D0");

  const Bytes tail = P::clientKeyxTail("\u202EA\tB\u202C", true, std::nullopt, DeviceKind::unknown);
  EXPECT_EQ(toHex(tail), toHex(bytesOf("AB")));
}

TEST(PairingProtocol, LongNamesAreCutAtCharacterBoundaries) {
  struct Case {
    bool canShowSas;
    std::optional<Bytes> id;
    DeviceKind kind;
    size_t metaLen;
  };
  const Case cases[] = {{true, std::nullopt, DeviceKind::unknown, 0},
                        {false, std::nullopt, DeviceKind::unknown, 1},
                        {false, Bytes(8, 7), DeviceKind::unknown, 18},
                        {false, Bytes(8, 7), DeviceKind::iPhone, 20},
                        {true, Bytes(8, 7), DeviceKind::iPhone, 19}};
  for (const std::string unit : {"a", "é", "€", "🐢"}) {
    std::string name;
    for (int i = 0; i < 70; ++i) name += unit;
    for (const Case& c : cases) {
      const Bytes tail = P::clientKeyxTail(name, c.canShowSas, c.id, c.kind);
      ASSERT_LE(tail.size(), 64u);
      const size_t room = 64 - c.metaLen;
      const size_t expected = room / unit.size() * unit.size();
      EXPECT_EQ(tail.size() - c.metaLen, expected) << unit << " meta " << c.metaLen;
      const std::string kept(tail.begin() + static_cast<std::ptrdiff_t>(c.metaLen), tail.end());
      EXPECT_TRUE(Utf8::isValid(kept));
      EXPECT_EQ(P::clientNameFromBytes(tail), kept);
      EXPECT_EQ(P::clientTailCanShowSas(tail), c.canShowSas);
      EXPECT_EQ(P::clientTailMeta(tail), (P::TailMeta{c.id, c.kind}));
    }
  }
  // A tail of exactly 64 bytes is a legal ClientKeyx of 128.
  HostHandshake host = bobHost();
  ClientHandshake client = aliceClient(std::string(100, 'x'));
  const Bytes hello = client.hello();
  EXPECT_EQ(hello.size(), 4u + 3u + 128u);
  EXPECT_EQ(host.processClientKeyx(ByteView(hello).subspan(7)).name, std::string(64 - 19, 'x'));
}

}  // namespace
}  // namespace lumenrail
