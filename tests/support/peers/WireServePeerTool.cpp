// Serves the wire protocol on a loopback port for an out-of-process peer:
//   wire_serve_peer_tool <psk hex>
// Prints "port N" once listening, then each server event as "event: ...".
// Every client that connects is sent one keyframe with a fixed access unit.
// Stops when standard input closes.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "platform/Log.hpp"
#include "support/HexBytes.hpp"
#include "support/TestHello.hpp"
#include "wire/WireServer.hpp"

int main(int argc, char** argv) {
  using namespace lumenrail;
  if (argc != 2) {
    std::fprintf(stderr, "usage: wire_serve_peer_tool <psk hex>\n");
    return 2;
  }
  WireServer::Config config;
  config.port = 0;
  config.hello = test::sampleHello(640, 360, 30);
  config.psk = test::fromHex(argv[1]);
  config.hostAppVersion = "1.0.9";
  auto server = WireServer::create(config);
  WireServer::Hooks hooks;
  hooks.onEvent = [](const std::string& line) { Log::line("event: " + line); };
  std::weak_ptr<WireServer> weak = server;
  hooks.onClientConnected = [weak] {
    if (auto s = weak.lock()) s->broadcast(77, true, Bytes{0, 0, 0, 1, 0x65, 0xAB, 0xCD});
  };
  server->setHooks(std::move(hooks));
  server->start();
  Log::line("port " + std::to_string(server->boundPort()));
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  server->stop();
  return 0;
}
