#pragma once

// A serving session that records each call it gets in a shared list, starts
// as the test says and shows the panel's fake session as its view.

#include <string>
#include <vector>

#include "app/controller/ServingSession.hpp"
#include "FakePanelSource.hpp"

namespace lumenrail::test {

struct FakeServingSession final : ServingSession {
  std::vector<std::string>* calls;
  FakeSession shown;
  SessionConfig config;
  Hooks hooks;
  bool startResult = true;
  std::string failure;
  std::string startFailure() const override { return failure; }
  bool live = false;
  int64_t clients = 0;
  FakeServingSession(std::vector<std::string>* c, SessionConfig cfg) : calls(c), config(std::move(cfg)), live(config.captureMain) {}
  void setHooks(Hooks h) override { hooks = std::move(h); }
  bool startServing() override {
    calls->push_back("start");
    return startResult;
  }
  void stopServing() override { calls->push_back("stop"); }
  bool captureMain() const override { return live; }
  void setCaptureMain(bool on) override { calls->push_back(on ? "mirror" : "extend"); }
  void setPenHighRate(bool on) override { calls->push_back(on ? "pen on" : "pen off"); }
  int64_t clientCount() const override { return clients; }
  ServingSessionView* view() override { return &shown; }
  void setVersionVerdict(int64_t floor, HostUpdate update, const std::string& version) override {
    calls->push_back("verdict " + std::to_string(floor) + " " + std::to_string(int(update)) + " " + version);
  }
};

}  // namespace lumenrail::test
