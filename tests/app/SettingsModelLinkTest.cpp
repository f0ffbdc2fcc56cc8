// The settings-model link over a real serving lifecycle (manual queues, a
// recording session) with a paired-devices store in a temporary folder.
#include <gtest/gtest.h>

#include "app/controller/SettingsModelLink.hpp"
#include "FakeServingSession.hpp"
#include "platform/Ed25519.hpp"
#include "support/ManualExecutor.hpp"
#include "support/TempFolder.hpp"

namespace lumenrail {
namespace {

struct Rig {
  test::ManualExecutor main, serve;
  test::TempFolder dir{"lumenrail-settings-link"};
  std::shared_ptr<PairedDevicesStore> paired = std::make_shared<PairedDevicesStore>(dir.root() / "paired.json");
  std::vector<std::string> calls, edits;
  std::vector<std::shared_ptr<test::FakeServingSession>> sessions;
  HostSettings settings = HostSettings::cliDefaults();
  std::shared_ptr<InMemorySettingsStore> store = std::make_shared<InMemorySettingsStore>(settings);
  std::shared_ptr<ServingLifecycle> lifecycle;
  std::shared_ptr<SettingsModelLink> link;

  Rig() {
    settings.pairingEnabled = true;
    ServingLifecycle::Ports ports;
    ports.main = std::shared_ptr<Executor>(&main, [](Executor*) {});
    ports.serveQueue = std::shared_ptr<Executor>(&serve, [](Executor*) {});
    ports.makeSession = [this](const SessionConfig& config) {
      sessions.push_back(std::make_shared<test::FakeServingSession>(&calls, config));
      sessions.back()->shown.calls = &calls;
      return sessions.back();
    };
    ports.loadPairing = [this] {
      return std::optional<PairingPrologue::Pairing>(std::in_place, Ed25519PrivateKey::generate(), paired,
                                                [](const std::string&, const std::string&, const std::string&) {
                                                  return false;
                                                });
    };
    lifecycle = std::make_shared<ServingLifecycle>(std::move(ports), ServingLifecycle::Hooks{});
    SettingsModelLink::Hooks hooks;
    hooks.edited = [this](const HostSettings&, const HostSettings& now) {
      edits.push_back(now.penHighRate ? "pen on" : "pen off");
    };
    hooks.devicesChanged = [this] { calls.push_back("devices changed"); };
    link = std::make_shared<SettingsModelLink>(store, *lifecycle, std::move(hooks));
  }
  void run() {
    serve.runReady();
    main.runReady();
  }
};

TEST(SettingsModelLink, PushedChangesAreNotReportedBackAndForgettingDisconnectsOnlyWhileServing) {
  Rig rig;
  const auto model = rig.link->model(rig.settings);
  HostSettings next = rig.settings;
  next.penHighRate = true;
  rig.link->push(next);
  EXPECT_TRUE(rig.edits.empty());
  EXPECT_EQ(rig.store->load(), next);  // the model saved it
  model->set(&HostSettings::penHighRate, false);
  EXPECT_EQ(rig.edits, std::vector<std::string>{"pen off"});

  rig.lifecycle->start(rig.settings);
  rig.run();
  ASSERT_TRUE(rig.lifecycle->serving());
  const std::string tab = test::pair(*rig.paired, 1, "Tab", 100);
  const std::string phone = test::pair(*rig.paired, 2, "Phone", 200);
  rig.link->refreshPaired();
  ASSERT_EQ(model->pairedDevices().size(), 2u);
  EXPECT_EQ(model->pairedDevices()[0].fingerprint, phone);  // most recently seen first
  rig.sessions[0]->shown.clients = {{7, "Tab", tab, true}};
  rig.sessions[0]->live = true;
  rig.link->sync();
  EXPECT_EQ(model->liveCaptureMain(), std::optional<bool>(true));
  EXPECT_EQ(model->connectedFingerprints(), std::set<std::string>{tab});
  rig.calls.clear();
  model->callbacks().onForget(tab);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"disconnect " + tab, "devices changed"}));

  rig.lifecycle->stop();
  rig.run();
  rig.link->sync();
  EXPECT_EQ(model->liveCaptureMain(), std::nullopt);
  EXPECT_TRUE(model->connectedFingerprints().empty());
  rig.calls.clear();
  model->callbacks().onForget(phone);
  EXPECT_EQ(rig.calls, std::vector<std::string>{"devices changed"});
  EXPECT_TRUE(model->callbacks().refreshPaired().empty());

  // The window keeps the model after its owner is gone: its commands do nothing.
  rig.link.reset();
  model->callbacks().onForget(phone);
  EXPECT_TRUE(model->callbacks().refreshPaired().empty());
  EXPECT_EQ(rig.calls, std::vector<std::string>{"devices changed"});
}

}  // namespace
}  // namespace lumenrail
