// How a link is named, over loopback, a cable's socket pair and a real network
// peer (a veth pair between network namespaces).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <string>

#include "platform/OneShotEvent.hpp"
#include "support/ShapedLink.hpp"
#include "support/TestHello.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {
namespace {

// The client list (the panel's word and icon) and the named hook (the notice
// and its log line) call a link the same: over the network only for a network
// peer that is no cable. A client on 127.0.0.1 is this machine, not Wi-Fi.
TEST(WireServerLinkIntegration, EveryViewOfALinkNamesItTheSame) {
  for (const std::string link : {"loopback", "cable", "network"}) {
    SCOPED_TRACE(link);
    std::string whyNot;
    const auto shaped = link == "network" ? test::ShapedLink::make({}, whyNot) : nullptr;
    if (link == "network" && !shaped) GTEST_SKIP() << "no network peer here (" << whyNot << "); the others passed";
    WireServer::Config config;
    config.port = 0;
    config.hello = test::sampleHello();
    auto server = WireServer::create(config);
    std::atomic<int> named{-1};
    OneShotEvent namedOnce;
    WireServer::Hooks hooks;
    hooks.onClientNamed = [&](const std::string&, bool network) {
      named = network;
      namedOnce.signal();
    };
    server->setHooks(std::move(hooks));
    int pair[2] = {-1, -1};
    if (link == "cable") {
      ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
      server->adopt(pair[0], nullptr);
    } else {
      shaped ? shaped->onHostSide([&] { server->start(); }) : server->start();
    }
    const int fd = link == "cable" ? pair[1] : shaped ? shaped->connectClient(server->boundPort()) : -1;
    using test::WireTestClient;
    WireTestClient client = fd >= 0 ? WireTestClient::fromFd(fd) : WireTestClient(server->boundPort());
    ASSERT_TRUE(client.send(test::Code::clientInfo, test::RawBytes{'T', 'a', 'b'}));
    ASSERT_TRUE(namedOnce.waitFor(test::kDeadlineNs));
    const auto clients = server->connectedClients();
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(named, link == "network" ? 1 : 0);
    EXPECT_EQ(clients[0].overNetwork, link == "network");
    server->stop();
  }
}

}  // namespace
}  // namespace lumenrail
