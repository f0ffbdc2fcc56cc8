#pragma once

// The serving session over the fake desktop and a quiet advertiser.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/OneShotEvent.hpp"
#include "session/M2Pipeline.hpp"
#include "support/EventLog.hpp"
#include "support/FakeDesktopEnvironment.hpp"
#include "support/ManualExecutor.hpp"
#include "support/QuietPublisher.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail::test {

using Mode = M2Pipeline::Mode;

// Holds a capture start on its way in, while armed.
struct StartGate {
  std::atomic<bool> armed{false};
  OneShotEvent entered;
  OneShotEvent release;
};

struct Rig {
  EventLog log;
  std::shared_ptr<StartGate> gate = std::make_shared<StartGate>();
  std::shared_ptr<FakeDesktopEnvironment> desktop = std::make_shared<FakeDesktopEnvironment>();
  std::shared_ptr<Bank> bank = desktop->bank;
  std::shared_ptr<FakeDisplays> displays = desktop->displays;
  std::shared_ptr<M2Pipeline> pipeline;

  explicit Rig(Mode mode = {640, 480, 30}, bool captureMain = true, bool penHighRate = false,
               const std::function<void(M2Pipeline::Config&)>& adjust = {}) {
    M2Pipeline::Config c;
    c.mode = mode;
    c.port = 0;
    c.captureMain = captureMain;
    c.penHighRate = penHighRate;
    c.desktop = desktop;
    c.log = [this](const std::string& line) { log.add(line); };
    c.publisherFactory = [](ServicePublisher::Listener) { return std::make_unique<QuietPublisher>(); };
    // The fake captures never deliver: on the real clock the stall watchdog
    // would rebuild them once a slow test had run two seconds. Capture
    // health moves only when a test moves its clock.
    c.healthTimers = std::make_shared<ManualExecutor>();
    c.beforeCaptureStart = [gate = gate] {
      if (!gate->armed.load()) return;
      gate->entered.signal();
      gate->release.waitFor(kDeadlineNs);
    };
    if (adjust) adjust(c);
    pipeline = M2Pipeline::create(std::move(c));
  }
  ~Rig() {
    bank->releaseHungStarts.signal();
    pipeline->stopServing();
  }

  bool start() { return pipeline->startServing(); }
  M2Pipeline::ReconfigState state() { return pipeline->reconfigState(); }
  bool waitState(const std::function<bool(const M2Pipeline::ReconfigState&)>& holds) {
    return eventually([&] { return holds(state()); });
  }
  WireTestClient connect() {
    WireTestClient client(pipeline->boundPort());
    EXPECT_TRUE(client.readUntil(test::Code::hello).has_value());
    // The Hello is queued before the server registers the session; the first
    // Advisory only after it, so from here the session counts this client.
    EXPECT_TRUE(client.readUntil(test::Code::advisory).has_value());
    return client;
  }
};

}  // namespace lumenrail::test
