// Runs one side of the pairing prologue over loopback TCP for the Python peer
// (tests/support/pairing_peer.py), which plays the other side with its own
// X25519, Ed25519, HKDF and SHA-256. Keys and names are hex; "random" makes a
// fresh key.
//
//   host SEED EPHEMERAL [reject]
//     listens on 127.0.0.1, prints "identity HEX" and "port N", serves one
//     connection, then prints "info FP SAS CANSHOWSAS DEVICEID|- KIND NAMEHEX",
//     "rejected" or "confirm OK VALID" and "root HEX", or "error TEXT".
//   client PORT SEED EPHEMERAL NAMEHEX CANSHOWSAS DEVICEID|- KIND OK
//     connects, pairs, prints "host FP SAS VALID" and "root HEX" or "error TEXT".
//   serve DIR
//     runs the wire server with pairing (identity and paired devices in DIR),
//     prints "identity HEX" and "port N", then "asked SAS FP NAMEHEX" for each
//     owner prompt (allowed unless the name begins with "deny") and
//     "event: ..." for each server line; stops when standard input closes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <iostream>
#include <optional>
#include <string>

#include "platform/CryptoError.hpp"
#include "platform/Log.hpp"
#include "platform/Socket.hpp"
#include "secure/ClientHandshake.hpp"
#include "secure/HostHandshake.hpp"
#include "secure/HostIdentity.hpp"
#include "secure/HostPairingStore.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingError.hpp"
#include "secure/PairingProtocol.hpp"
#include "support/HexBytes.hpp"
#include "support/TestHello.hpp"
#include "wire/WireServer.hpp"

using namespace lumenrail;
using test::fromHex;
using test::toHex;
namespace P = PairingProtocol;

namespace {

struct Closer {
  int fd;
  ~Closer() {
    if (fd >= 0) ::close(fd);
  }
};

Ed25519PrivateKey identityFrom(const std::string& arg) {
  return arg == "random" ? Ed25519PrivateKey::generate() : Ed25519PrivateKey::fromRaw(fromHex(arg));
}

X25519PrivateKey ephemeralFrom(const std::string& arg) {
  return arg == "random" ? X25519PrivateKey::generate() : X25519PrivateKey::fromRaw(fromHex(arg));
}

// One frame of the expected type; the length is bounded before anything is
// allocated.
std::optional<Bytes> readFrame(int fd, uint8_t expect) {
  uint8_t header[P::headerLen];
  if (!Socket::recvAll(fd, header, sizeof header)) return std::nullopt;
  const uint16_t length = P::headerLength(header);
  if (P::headerType(header) != expect || length == 0 || length > P::maxPayload) return std::nullopt;
  Bytes payload(length);
  if (!Socket::recvAll(fd, payload.data(), payload.size())) return std::nullopt;
  return payload;
}

int serveHost(const std::string& seed, const std::string& eph, bool reject) {
  const Ed25519PrivateKey identity = identityFrom(seed);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Closer closeListener{listener};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::cerr << "cannot listen\n";
    return 2;
  }
  std::cout << "identity " << toHex(identity.publicKey()) << "\nport " << ntohs(addr.sin_port) << std::endl;
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  Closer closeConn{fd};
  if (fd < 0) return 2;
  Socket::setReceiveTimeoutMs(fd, 60'000);

  uint8_t magic[4];
  if (!Socket::recvAll(fd, magic, sizeof magic) || !std::equal(magic, magic + 4, P::magic.begin())) {
    std::cout << "error bad magic" << std::endl;
    return 0;
  }
  HostHandshake host(identity, ephemeralFrom(eph));
  try {
    const auto keyx = readFrame(fd, P::typeClientKeyx);
    if (!keyx) {
      std::cout << "error bad ClientKeyx frame" << std::endl;
      return 0;
    }
    const auto info = host.processClientKeyx(*keyx);
    std::cout << "info " << info.fingerprint << " " << info.sas << " " << (info.canShowSas ? 1 : 0) << " "
              << (info.deviceId ? toHex(*info.deviceId) : "-") << " " << static_cast<int>(info.deviceKind) << " "
              << toHex(test::bytesOf(info.name)) << std::endl;
    if (reject) {
      Socket::sendAll(fd, HostHandshake::hostReject(P::rejectUnknownDevice));
      std::cout << "rejected" << std::endl;
      return 0;
    }
    if (!Socket::sendAll(fd, host.hostKeyx())) return 2;
    const auto confirm = readFrame(fd, P::typeClientConfirm);
    if (!confirm) {
      std::cout << "error bad ClientConfirm frame" << std::endl;
      return 0;
    }
    const auto verdict = host.processClientConfirm(*confirm);
    std::cout << "confirm " << verdict.ok << " " << verdict.signatureValid << "\nroot "
              << toHex(host.rootKey().bytes()) << std::endl;
  } catch (const PairingError& e) {
    std::cout << "error " << e.what() << std::endl;
  } catch (const CryptoError& e) {
    std::cout << "error " << e.what() << std::endl;
  }
  return 0;
}

int runClient(int port, const std::string& seed, const std::string& eph, const std::string& nameHex, bool canShowSas,
              const std::string& deviceId, int kind, bool ok) {
  const Bytes name = fromHex(nameHex);
  std::optional<Bytes> id;
  if (deviceId != "-") id = fromHex(deviceId);
  ClientHandshake client(identityFrom(seed), ephemeralFrom(eph), std::string(name.begin(), name.end()), canShowSas,
                         id, P::deviceKindOf(kind));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Closer closeConn{fd};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 2;
  Socket::setReceiveTimeoutMs(fd, 60'000);
  try {
    if (!Socket::sendAll(fd, client.hello())) return 2;
    const auto keyx = readFrame(fd, P::typeHostKeyx);
    if (!keyx) {
      std::cout << "error bad HostKeyx frame" << std::endl;
      return 0;
    }
    const auto host = client.processHostKeyx(*keyx);
    std::cout << "host " << host.fingerprint << " " << host.sas << " " << host.signatureValid << std::endl;
    if (!Socket::sendAll(fd, client.confirm(ok))) return 2;
    std::cout << "root " << toHex(client.rootKey().bytes()) << std::endl;
  } catch (const PairingError& e) {
    std::cout << "error " << e.what() << std::endl;
  } catch (const CryptoError& e) {
    std::cout << "error " << e.what() << std::endl;
  }
  return 0;
}

int serveWire(const std::string& dir) {
  HostPairingStore::setDirectoryOverride(std::filesystem::path(dir));
  const Ed25519PrivateKey identity = HostIdentity::loadOrCreate();
  auto peers = std::make_shared<PairedDevicesStore>(std::filesystem::path(dir) / "paired-devices.json");
  WireServer::Config config;
  config.port = 0;
  config.hello = test::sampleHello(640, 360, 30);
  config.pairing.emplace(identity, peers, [](const std::string& sas, const std::string& fp, const std::string& name) {
    Log::line("asked " + sas + " " + fp + " " + toHex(test::bytesOf(name)));
    return !name.starts_with("deny");
  });
  auto server = WireServer::create(config);
  WireServer::Hooks hooks;
  hooks.onEvent = [](const std::string& line) { Log::line("event: " + line); };
  server->setHooks(std::move(hooks));
  server->start();
  Log::line("identity " + toHex(identity.publicKey()));
  Log::line("port " + std::to_string(server->boundPort()));
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  server->stop();
  return 0;
}

int usage() {
  std::cerr << "usage: host SEED EPHEMERAL [reject] | client PORT SEED EPHEMERAL NAMEHEX CANSHOWSAS DEVICEID KIND OK"
               " | serve DIR\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc - 1;
  if (n < 1) return usage();
  const std::string mode = argv[1];
  if (mode == "host" && (n == 3 || n == 4)) return serveHost(argv[2], argv[3], n == 4 && std::string(argv[4]) == "reject");
  if (mode == "serve" && n == 2) return serveWire(argv[2]);
  if (mode == "client" && n == 9) {
    return runClient(std::stoi(argv[2]), argv[3], argv[4], argv[5], std::string(argv[6]) == "1", argv[7],
                     std::stoi(argv[8]), std::string(argv[9]) == "1");
  }
  return usage();
}
