// Strangers against a running host from outside, over loopback addresses
// (127.0.2.0 and up for strangers, 127.0.1.x for the owner's devices), with
// the owner's own devices trying to get in meanwhile. It prints what each
// try got and when; the owner's answers are someone else's (scripts/stranger-drill
// answers the console: yes to devices named "Genuine…", no to the rest).
//
//   pair-one PORT SEEDHEX         pairs the device "Genuine Pad" with that Ed25519 seed
//   pair-new PORT ADDRESSES TRIES strangers from ADDRESSES addresses hold fresh-key
//                                 handshakes; a new device "Genuine N" tries to pair TRIES times
//   paired PORT SEEDHEX ADDRESSES TRIES
//                                 ADDRESSES addresses hold and re-open 4 links each (the
//                                 magic alone, or naming the paired key); the paired
//                                 device dials until served, TRIES times
//   flood PORT ADDRESSES SECONDS  new devices from ADDRESSES addresses that hang up as
//                                 their code arrives, for SECONDS

#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Clock.hpp"
#include "platform/OneShotEvent.hpp"
#include "support/HexBytes.hpp"
#include "support/PairingClient.hpp"
#include "support/StrangerCrowd.hpp"

using namespace lumenrail;
using test::PairingClient;
using test::StrangerCrowd;

namespace {

constexpr uint32_t kStrangers = 0x7f000200;  // 127.0.2.0 and up
constexpr uint32_t kOwners = 0x7f000101;     // 127.0.1.1 and up
constexpr uint64_t kAnswerWaitNs = 30 * kNsPerSecond;

double msSince(uint64_t startNs) { return double(uptimeNs() - startNs) / double(kNsPerMs); }

void pause(uint64_t ns) {
  OneShotEvent never;
  never.waitFor(ns);
}

bool readableWithin(int fd, uint64_t ns) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(ns / kNsPerMs)) == 1;
}

// Keys, code, confirmation, then the sealed Hello (after the owner's answer
// for a new device); false when the link closed or nothing came in time.
bool served(PairingClient& device, double& codeMs, uint64_t start) {
  if (!device.exchangeKeys()) return false;
  codeMs = msSince(start);
  if (!device.confirm(true)) return false;
  if (!readableWithin(device.fd(), kAnswerWaitNs)) return false;
  device.keyPaired();
  const auto hello = device.readSealed();
  return hello && hello->type == test::Code::hello && device.sendSealed(test::Code::clientInfo, Bytes{'D'});
}

Ed25519PrivateKey seeded(const std::string& hex) { return Ed25519PrivateKey::fromRaw(test::fromHex(hex)); }

int pairOne(uint16_t port, const std::string& seed) {
  const uint64_t start = uptimeNs();
  PairingClient pad(port, "Genuine Pad", true, seeded(seed), kOwners, "genuine-pad");
  double codeMs = 0;
  const bool ok = served(pad, codeMs, start);
  std::printf("pair-one: %s %s, code after %.0f ms, done after %.0f ms\n", pad.fingerprint().c_str(),
              ok ? "paired" : "NOT paired", codeMs, msSince(start));
  return ok ? 0 : 1;
}

int pairNew(uint16_t port, int addresses, int tries) {
  StrangerCrowd crowd(port, kStrangers, addresses, 1,
                      [] { return test::pairingHelloNaming(Ed25519PrivateKey::generate().publicKey()); });
  pause(5 * kNsPerSecond);  // the attack is under way
  int paired = 0;
  double worstMs = 0;
  for (int i = 0; i < tries; ++i) {
    const uint64_t start = uptimeNs();
    PairingClient device(port, "Genuine " + std::to_string(i), true, Ed25519PrivateKey::generate(), kOwners + 1,
                         "genuine-" + std::to_string(uptimeNs()));
    double codeMs = -1;
    const bool ok = served(device, codeMs, start);
    const double ms = msSince(start);
    std::printf("pair-new try %d: %s, code after %.0f ms, %.0f ms in all\n", i + 1, ok ? "paired" : "NOT paired",
                codeMs, ms);
    if (ok) {
      ++paired;
      worstMs = std::max(worstMs, ms);
    }
    pause(kNsPerSecond);
  }
  std::printf("pair-new: %d/%d tries paired with strangers from %d addresses (worst %.0f ms); %lld links dialled\n",
              paired, tries, addresses, worstMs, static_cast<long long>(crowd.dialled()));
  return paired == tries ? 0 : 1;
}

int pairedDevice(uint16_t port, const std::string& seed, int addresses, int tries) {
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  const Ed25519PrivateKey key = seeded(seed);
  const Bytes magic(PairingProtocol::magic.begin(), PairingProtocol::magic.end());
  const Bytes publicKey = key.publicKey();
  StrangerCrowd waiting(port, kStrangers, addresses / 2, 4, [&] { return magic; });
  StrangerCrowd naming(port, kStrangers + uint32_t(addresses / 2), addresses - addresses / 2, 4,
                       [&] { return test::pairingHelloNaming(publicKey); });
  pause(10 * kNsPerSecond);
  int ok = 0, dials = 0;
  double worstMs = 0;
  for (int i = 0; i < tries; ++i) {
    const uint64_t start = uptimeNs();
    bool got = false;
    int mine = 0;
    // A device dials again when its link is dropped.
    while (!got && uptimeNs() - start < 30 * kNsPerSecond) {
      PairingClient pad(port, "Genuine Pad", true, key, kOwners, "genuine-pad");
      ++mine;
      double codeMs = 0;
      got = served(pad, codeMs, start);
    }
    const double ms = msSince(start);
    std::printf("paired try %d: %s after %.1f ms, %d dial(s)\n", i + 1, got ? "served" : "NOT served", ms, mine);
    dials += mine;
    if (got) {
      ++ok;
      worstMs = std::max(worstMs, ms);
    }
    pause(kNsPerSecond / 4);
  }
  std::printf("paired: served %d/%d tries with %d addresses x 4 links re-opening (worst %.1f ms, %d dials); "
              "%lld links dialled\n",
              ok, tries, addresses, worstMs, dials, static_cast<long long>(waiting.dialled() + naming.dialled()));
  return ok == tries ? 0 : 1;
}

int flood(uint16_t port, int addresses, int seconds) {
  StrangerCrowd crowd(port, kStrangers, addresses, 1,
                      [] { return test::pairingHelloNaming(Ed25519PrivateKey::generate().publicKey()); },
                      StrangerCrowd::Leave::onReply);
  pause(uint64_t(seconds) * kNsPerSecond);
  std::printf("flood: %lld links dialled from %d addresses in %d s\n", static_cast<long long>(crowd.dialled()),
              addresses, seconds);
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: stranger_drill pair-one PORT SEEDHEX | pair-new PORT ADDRESSES TRIES |\n"
               "       paired PORT SEEDHEX ADDRESSES TRIES | flood PORT ADDRESSES SECONDS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  const auto port = static_cast<uint16_t>(std::atoi(argv[2]));
  if (mode == "pair-one" && argc == 4) return pairOne(port, argv[3]);
  if (mode == "pair-new" && argc == 5) return pairNew(port, std::atoi(argv[3]), std::atoi(argv[4]));
  if (mode == "paired" && argc == 6) return pairedDevice(port, argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  if (mode == "flood" && argc == 5) return flood(port, std::atoi(argv[3]), std::atoi(argv[4]));
  return usage();
}
