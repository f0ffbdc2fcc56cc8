#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/AesGcm.hpp"
#include "platform/Base64.hpp"
#include "platform/Crypto.hpp"
#include "platform/Ed25519.hpp"
#include "platform/X25519.hpp"
#include "support/HexBytes.hpp"

namespace lumenrail {
namespace {

using test::bytesOf;
using test::fromHex;
using test::toHex;

std::string hexOf(const SymmetricKey& key) { return toHex(key.bytes()); }

template <typename F>
CryptoError caught(F&& f) {
  try {
    f();
  } catch (const CryptoError& e) {
    return e;
  }
  ADD_FAILURE() << "no CryptoError thrown";
  return CryptoError::libraryFailure("none");
}

// ---- SHA-256 (FIPS 180-2 examples) ----

TEST(Sha256, MatchesPublishedDigests) {
  EXPECT_EQ(toHex(Crypto::sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(toHex(Crypto::sha256(bytesOf("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(toHex(Crypto::sha256(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// ---- HKDF-SHA256 (RFC 5869 appendix A, cases 1 and 3) ----

TEST(HkdfSha256, MatchesRfc5869Vectors) {
  EXPECT_EQ(hexOf(Crypto::hkdfSha256(fromHex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"),
                                     fromHex("000102030405060708090a0b0c"), fromHex("f0f1f2f3f4f5f6f7f8f9"), 42)),
            "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");

  EXPECT_EQ(hexOf(Crypto::hkdfSha256(fromHex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"), {}, {}, 42)),
            "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

TEST(HkdfSha256, RefusesEmptyKeyMaterialAndImpossibleLengths) {
  const Bytes ikm(16, 1);
  EXPECT_EQ(caught([&] { Crypto::hkdfSha256({}, ikm, ikm, 32); }).what(), std::string("incorrectKeySize(0)"));
  EXPECT_EQ(caught([&] { Crypto::hkdfSha256(ikm, {}, {}, 0); }).what(), std::string("incorrectParameterSize(0)"));
  EXPECT_EQ(caught([&] { Crypto::hkdfSha256(ikm, {}, {}, 8161); }).what(),
            std::string("incorrectParameterSize(8161)"));
  EXPECT_EQ(Crypto::hkdfSha256(ikm, {}, {}, 8160).size(), 8160u);
}

// ---- X25519 (RFC 7748 sections 5.2 and 6.1) ----

std::string x25519(std::string_view scalar, std::string_view u) {
  return hexOf(X25519PrivateKey::fromRaw(fromHex(scalar)).sharedSecret(fromHex(u)));
}

TEST(X25519, MatchesRfc7748FunctionVectors) {
  EXPECT_EQ(x25519("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
                   "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c"),
            "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
  EXPECT_EQ(x25519("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
                   "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493"),
            "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957");
}

TEST(X25519, MatchesRfc7748IteratedVectorAfterOneRound) {
  const Bytes nine = fromHex("0900000000000000000000000000000000000000000000000000000000000000");
  EXPECT_EQ(hexOf(X25519PrivateKey::fromRaw(nine).sharedSecret(nine)),
            "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
}

TEST(X25519, MatchesRfc7748DiffieHellmanExample) {
  const auto alice = X25519PrivateKey::fromRaw(fromHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
  const auto bob = X25519PrivateKey::fromRaw(fromHex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
  EXPECT_EQ(toHex(alice.publicKey()), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  EXPECT_EQ(toHex(bob.publicKey()), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  const std::string shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
  EXPECT_EQ(hexOf(alice.sharedSecret(bob.publicKey())), shared);
  EXPECT_EQ(hexOf(bob.sharedSecret(alice.publicKey())), shared);
  EXPECT_EQ(hexOf(alice.rawRepresentation()), "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
}

TEST(X25519, RejectsLowOrderPeerKeysAndWrongSizes) {
  const auto key = X25519PrivateKey::generate();
  // 0, 1, the two points of order 8, p - 1, p, p + 1: each forces the
  // all-zero secret whatever the scalar, also with the ignored bit 255 set.
  for (std::string point : {"0000000000000000000000000000000000000000000000000000000000000000",
                            "0100000000000000000000000000000000000000000000000000000000000000",
                            "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
                            "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
                            "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                            "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                            "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"}) {
    for (bool highBit : {false, true}) {
      Bytes peer = fromHex(point);
      if (highBit) peer[31] |= 0x80;
      EXPECT_TRUE(X25519PrivateKey::isSmallOrderPoint(peer)) << toHex(peer);
      EXPECT_STREQ(caught([&] { key.sharedSecret(peer); }).what(), "lowOrderPeerKey") << toHex(peer);
    }
  }
  // Ordinary keys are not mistaken for them; only those may call a failed derive low order.
  EXPECT_FALSE(X25519PrivateKey::isSmallOrderPoint(key.publicKey()));
  EXPECT_FALSE(X25519PrivateKey::isSmallOrderPoint(fromHex("0900000000000000000000000000000000000000000000000000000000000000")));
  EXPECT_FALSE(X25519PrivateKey::isSmallOrderPoint(fromHex("efffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")));
  EXPECT_FALSE(X25519PrivateKey::isSmallOrderPoint(Bytes(31, 0)));
  EXPECT_EQ(caught([&] { key.sharedSecret(Bytes(31, 9)); }).what(), std::string("incorrectKeySize(31)"));
  EXPECT_EQ(caught([&] { X25519PrivateKey::fromRaw(Bytes(33, 1)); }).what(), std::string("incorrectKeySize(33)"));
}

TEST(X25519, GeneratedKeysAgreeAndDiffer) {
  const auto a = X25519PrivateKey::generate();
  const auto b = X25519PrivateKey::generate();
  EXPECT_NE(a.publicKey(), b.publicKey());
  EXPECT_EQ(a.sharedSecret(b.publicKey()), b.sharedSecret(a.publicKey()));
  EXPECT_EQ(X25519PrivateKey::fromRaw(a.rawRepresentation().bytes()).publicKey(), a.publicKey());
}

// ---- Ed25519 (RFC 8032 section 7.1, tests 1-3) ----

struct Ed25519Vector {
  const char* seed;
  const char* publicKey;
  const char* message;
  const char* signature;
};

const Ed25519Vector kEd25519Vectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24"
     "655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aee"
     "b00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28d"
     "c027beceea1ec40a"},
};

TEST(Ed25519, MatchesRfc8032Vectors) {
  for (const auto& v : kEd25519Vectors) {
    const auto key = Ed25519PrivateKey::fromRaw(fromHex(v.seed));
    const Bytes message = fromHex(v.message);
    EXPECT_EQ(toHex(key.publicKey()), v.publicKey);
    EXPECT_EQ(toHex(key.signature(message)), v.signature);
    EXPECT_EQ(hexOf(key.rawRepresentation()), v.seed);
    EXPECT_TRUE(Ed25519::isValidSignature(fromHex(v.signature), message, fromHex(v.publicKey)));
  }
}

TEST(Ed25519, RejectsAlteredSignaturesMessagesAndKeys) {
  const auto& v = kEd25519Vectors[2];
  const Bytes message = fromHex(v.message);
  const Bytes signature = fromHex(v.signature);
  const Bytes publicKey = fromHex(v.publicKey);
  for (size_t i = 0; i < signature.size(); ++i) {
    Bytes bad = signature;
    bad[i] ^= 0x01;
    EXPECT_FALSE(Ed25519::isValidSignature(bad, message, publicKey)) << "byte " << i;
  }
  EXPECT_FALSE(Ed25519::isValidSignature(signature, fromHex("af83"), publicKey));
  EXPECT_FALSE(Ed25519::isValidSignature(signature, message, fromHex(kEd25519Vectors[0].publicKey)));
  EXPECT_FALSE(Ed25519::isValidSignature(ByteView(signature).first(63), message, publicKey));
  EXPECT_FALSE(Ed25519::isValidSignature(signature, message, ByteView(publicKey).first(31)));
  EXPECT_FALSE(Ed25519::isValidSignature(signature, message, Bytes(32, 0xff)));
  EXPECT_EQ(caught([] { Ed25519PrivateKey::fromRaw(Bytes(64, 1)); }).what(), std::string("incorrectKeySize(64)"));
}

TEST(Ed25519, GeneratedKeySignsAndVerifies) {
  const auto key = Ed25519PrivateKey::generate();
  const Bytes message = bytesOf("transcript");
  EXPECT_TRUE(Ed25519::isValidSignature(key.signature(message), message, key.publicKey()));
  EXPECT_NE(Ed25519PrivateKey::generate().publicKey(), key.publicKey());
}

// A key or R that proves nothing: EVP alone takes every one of these.
TEST(Ed25519, RefusesKeysThatAreNonCanonicalOffTheCurveOrOfSmallOrder) {
  const std::string zeros(60, '0');
  const std::string ffs(60, 'f');
  const struct {
    std::string hex;
    const char* why;
  } refused[] = {
      // The eight points of small order.
      {"01" + zeros + "00", "neutral point"},
      {"ec" + ffs + "7f", "order 2"},
      {"00" + zeros + "00", "order 4 (all zero)"},
      {"00" + zeros + "80", "order 4"},
      {"26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05", "order 8"},
      {"26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85", "order 8"},
      {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", "order 8"},
      {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa", "order 8"},
      // Non-canonical: y >= p, for y = 0 and 1 both signs, and all-ff.
      {"ed" + ffs + "7f", "y = p"},
      {"ed" + ffs + "ff", "y = p, sign set"},
      {"ee" + ffs + "7f", "y = p + 1"},
      {"ee" + ffs + "ff", "y = p + 1, sign set"},
      {"ff" + ffs + "ff", "all ff"},
      // x = 0 cannot carry the sign bit; no x has y = 2.
      {"01" + zeros + "80", "neutral with sign"},
      {"ec" + ffs + "ff", "order 2 with sign"},
      {"02" + zeros + "00", "off the curve"},
  };
  for (const auto& k : refused) {
    EXPECT_FALSE(Ed25519::isAcceptablePublicKey(fromHex(k.hex))) << k.why << " " << k.hex;
  }
  EXPECT_FALSE(Ed25519::isAcceptablePublicKey(Bytes(31, 0x11)));
  EXPECT_TRUE(Ed25519::isAcceptablePublicKey(fromHex("03" + zeros + "00"))) << "y = 3 is on the curve";
  for (const auto& v : kEd25519Vectors) EXPECT_TRUE(Ed25519::isAcceptablePublicKey(fromHex(v.publicKey)));
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(Ed25519::isAcceptablePublicKey(Ed25519PrivateKey::generate().publicKey()));
}

TEST(Ed25519, RefusesForgedAndMalleableSignatures) {
  const std::string zeros(60, '0');
  const Bytes neutral = fromHex("01" + zeros + "00");
  // R = neutral, S = 0 "verifies" any message under a small-order key.
  const Bytes forged = fromHex("01" + zeros + "00" + std::string(64, '0'));
  for (const Bytes& key : {neutral, fromHex("ec" + std::string(60, 'f') + "7f")}) {
    EXPECT_FALSE(Ed25519::isValidSignature(forged, bytesOf("anything"), key));
  }
  const auto& v = kEd25519Vectors[0];
  const Bytes publicKey = fromHex(v.publicKey);
  // By the holder of RFC 8032 test 1's key, with r = 0: R is the neutral point.
  EXPECT_FALSE(Ed25519::isValidSignature(
      fromHex("01" + zeros + "00756cf9b1d6f0d7a979b9d2af3dc2bc1294ec7cb6daa20eaff534c024fc57920f"), {}, publicKey));
  // Test 1's signature with S + L, and with S = L.
  const std::string r = std::string(v.signature).substr(0, 64);
  EXPECT_FALSE(Ed25519::isValidSignature(
      fromHex(r + "4c8c7872aa064e049dbb3013fbf29380d25bf5f0595bbe24655141438e7a101b"), {}, publicKey));
  EXPECT_FALSE(Ed25519::isValidSignature(
      fromHex(r + "edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"), {}, publicKey));
}

// ---- AES-256-GCM (published GCM test cases 13-15, 96-bit nonces) ----

TEST(AesGcm, MatchesPublishedVectors) {
  AesGcm zero{SymmetricKey(Bytes(32, 0))};
  const Bytes zeroNonce(12, 0);
  EXPECT_EQ(toHex(zero.seal(zeroNonce, {})), "530f8afbc74536b9a963b4f1c4cb738b");
  EXPECT_EQ(toHex(zero.seal(zeroNonce, Bytes(16, 0))),
            "cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919");

  AesGcm key{SymmetricKey(fromHex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308"))};
  const Bytes nonce = fromHex("cafebabefacedbaddecaf888");
  const Bytes plaintext = fromHex(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
      "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255");
  const std::string sealed =
      "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
      "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad"
      "b094dac5d93471bdec1a502270e3cc6c";
  EXPECT_EQ(toHex(key.seal(nonce, plaintext)), sealed);
  EXPECT_EQ(key.open(nonce, fromHex(sealed)), plaintext);
  EXPECT_EQ(zero.open(zeroNonce, fromHex("530f8afbc74536b9a963b4f1c4cb738b")), Bytes{});
}

TEST(AesGcm, ReleasesNoPlaintextUnlessTheTagVerifies) {
  AesGcm key{SymmetricKey(Bytes(32, 7))};
  const Bytes nonce(12, 3);
  const Bytes plaintext(100, 0x5a);
  const Bytes sealed = key.seal(nonce, plaintext);
  const Bytes before = bytesOf("kept");
  for (size_t i = 0; i < sealed.size(); ++i) {
    Bytes bad = sealed;
    bad[i] ^= 0x80;
    Bytes out = before;
    EXPECT_EQ(caught([&] { key.open(nonce, bad, out); }).kind, CryptoError::Kind::authenticationFailure);
    EXPECT_EQ(out, before) << "byte " << i;
  }
  Bytes otherNonce = nonce;
  otherNonce[11] ^= 1;
  EXPECT_STREQ(caught([&] { key.open(otherNonce, sealed); }).what(), "authenticationFailure");
  EXPECT_EQ(caught([&] { key.open(nonce, ByteView(sealed).first(15)); }).kind,
            CryptoError::Kind::authenticationFailure);
  // The context survives a failure: the genuine message still opens.
  Bytes out = before;
  key.open(nonce, sealed, out);
  EXPECT_EQ(Bytes(out.begin() + 4, out.end()), plaintext);
}

TEST(AesGcm, RefusesWrongKeyAndNonceSizes) {
  EXPECT_EQ(caught([] { AesGcm{SymmetricKey(Bytes(16, 1))}; }).what(), std::string("incorrectKeySize(16)"));
  AesGcm key{SymmetricKey(Bytes(32, 1))};
  EXPECT_EQ(caught([&] { key.seal(Bytes(11, 0), {}); }).what(), std::string("incorrectParameterSize(11)"));
  EXPECT_EQ(caught([&] { key.open(Bytes(13, 0), Bytes(16, 0)); }).what(), std::string("incorrectParameterSize(13)"));
}

// ---- randomness and secret bytes ----

TEST(Random, FillsFreshBytes) {
  EXPECT_TRUE(Crypto::randomBytes(0).empty());
  std::set<Bytes> seen;
  for (int i = 0; i < 8; ++i) seen.insert(Crypto::randomBytes(32));
  EXPECT_EQ(seen.size(), 8u);
  EXPECT_NE(SymmetricKey::random(32), SymmetricKey::random(32));
}

TEST(SymmetricKey, ComparesCopiesAndMoves) {
  SymmetricKey a(fromHex("00112233"));
  SymmetricKey b = a;
  EXPECT_EQ(a, b);
  EXPECT_NE(a, SymmetricKey(fromHex("00112234")));
  EXPECT_NE(a, SymmetricKey(fromHex("001122")));
  SymmetricKey c = std::move(b);
  EXPECT_EQ(c, a);
  EXPECT_TRUE(b.empty());  // a moved-from key holds nothing
  Bytes secret = fromHex("deadbeef");
  Crypto::wipe(secret);
  EXPECT_TRUE(secret.empty());
}

// ---- Base64 (RFC 4648 section 10) ----

TEST(Base64, EncodesRfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},     {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(Base64::encode(bytesOf(plain)), coded);
    EXPECT_EQ(Base64::decode(coded), bytesOf(plain));
    std::string unpadded(coded);
    unpadded.erase(unpadded.find_last_not_of('=') + 1);
    EXPECT_EQ(Base64::encodeUrl(bytesOf(plain)), unpadded);
    EXPECT_EQ(Base64::decodeUrl(unpadded), bytesOf(plain));
  }
  EXPECT_EQ(Base64::encode(fromHex("fbff")), "+/8=");
  EXPECT_EQ(Base64::encodeUrl(fromHex("fbff")), "-_8");
  EXPECT_EQ(Base64::decodeUrl("-_8"), fromHex("fbff"));
}

TEST(Base64, DecodersAreStrict) {
  for (const char* bad : {"Zg", "Zg=", "Zh==", "Zm9=", "Z===", "====", "Zm9v\n", "Zm 9v", "Zg==Zg==", "Zm9v=",
                          "-_8=", "Zm9vYg=a"}) {
    EXPECT_FALSE(Base64::decode(bad).has_value()) << bad;
  }
  for (const char* bad : {"Zg==", "Z", "Zh", "Zm9", "+/8", "Zm9vY", "Zm9v Yg"}) {
    EXPECT_FALSE(Base64::decodeUrl(bad).has_value()) << bad;
  }
}

TEST(CryptoError, LibraryFailureNamesTheCall) {
  EXPECT_STREQ(CryptoError::libraryFailure("EVP_DigestSign").what(), "libraryFailure(\"EVP_DigestSign\")");
}

}  // namespace
}  // namespace lumenrail
