// Drives the record layer from outside for the Python peer
// (tests/support/wifi_record_peer.py), which checks it against an independent
// HKDF and AES-GCM. Every argument and line is hex.
//
//   derive psk|root KEY host|client qrPsk|paired   -> "send HEX" and "recv HEX"
//   seal KEY [COUNTER]    one plaintext per stdin line -> one record per line
//   open KEY CHUNK [COUNTER]  one stream on stdin, pushed CHUNK bytes at a time
//                         -> "plain HEX" (all output), then "ok" or "error TEXT"

#include <cstdint>
#include <iostream>
#include <string>

#include "secure/WifiCryptoError.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "support/HexBytes.hpp"

using namespace lumenrail;
using test::fromHex;
using test::toHex;

namespace {

int usage() {
  std::cerr << "usage: derive psk|root KEY host|client qrPsk|paired | seal KEY [COUNTER] | open KEY CHUNK [COUNTER]\n";
  return 2;
}

int derive(const std::string& form, const std::string& key, const std::string& role, const std::string& flavor) {
  const auto r = role == "host" ? WifiKeySchedule::Role::host : WifiKeySchedule::Role::client;
  const auto f = flavor == "paired" ? WifiKeySchedule::Flavor::paired : WifiKeySchedule::Flavor::qrPsk;
  const Bytes material = fromHex(key);
  const auto keys = form == "root" ? WifiKeySchedule::derive(SymmetricKey(material), r, f)
                                   : WifiKeySchedule::derive(ByteView(material), r, f);
  std::cout << "send " << toHex(keys.sendKey.bytes()) << "\nrecv " << toHex(keys.recvKey.bytes()) << "\n";
  return 0;
}

int seal(const std::string& key, uint64_t counter) {
  WifiRecordSealer sealer{SymmetricKey(fromHex(key))};
  sealer.setNonceCounterForTesting(counter);
  std::string line;
  while (std::getline(std::cin, line)) {
    try {
      std::cout << toHex(sealer.seal(fromHex(line))) << "\n";
    } catch (const WifiCryptoError& e) {
      std::cout << "error " << e.what() << "\n";
      return 0;
    }
  }
  return 0;
}

int open(const std::string& key, size_t chunk, uint64_t counter) {
  WifiRecordOpener opener{SymmetricKey(fromHex(key))};
  opener.setNonceCounterForTesting(counter);
  std::string line;
  std::getline(std::cin, line);
  const Bytes stream = fromHex(line);
  Bytes plain;
  std::string verdict = "ok";
  try {
    for (size_t at = 0; at < stream.size(); at += chunk) {
      const Bytes got = opener.push(ByteView(stream).subspan(at, std::min(chunk, stream.size() - at)));
      plain.insert(plain.end(), got.begin(), got.end());
    }
    if (opener.bufferedByteCount() != 0) verdict = "incomplete " + std::to_string(opener.bufferedByteCount());
  } catch (const WifiCryptoError& e) {
    verdict = std::string("error ") + e.what();
  }
  std::cout << "plain " << toHex(plain) << "\n" << verdict << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc - 1;
  if (n < 1) return usage();
  const std::string command = argv[1];
  if (command == "derive" && n == 5) return derive(argv[2], argv[3], argv[4], argv[5]);
  if (command == "seal" && (n == 2 || n == 3)) return seal(argv[2], n == 3 ? std::stoull(argv[3]) : 0);
  if (command == "open" && (n == 3 || n == 4)) {
    const auto chunk = static_cast<size_t>(std::stoull(argv[3]));
    if (chunk == 0) return usage();
    return open(argv[2], chunk, n == 4 ? std::stoull(argv[4]) : 0);
  }
  return usage();
}
