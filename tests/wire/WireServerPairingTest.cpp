// The pairing prologue in the server over loopback, against a client driven
// by the library's ClientHandshake and its own record opener and sealer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/ByteOrder.hpp"
#include "platform/Clock.hpp"
#include "secure/ClientHandshake.hpp"
#include "secure/HostPairingStore.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "secure/PairingProtocol.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "support/EventLog.hpp"
#include "support/HexBytes.hpp"
#include "support/PairingClient.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/TestHello.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "wire/WireServer.hpp"
#include "wire/WireServerTestPeer.hpp"

namespace lumenrail {


namespace {

namespace fs = std::filesystem;
namespace P = PairingProtocol;
namespace Code = test::Code;
using test::EventCounter;
using test::EventLog;
using test::PairingClient;
using test::RawPacket;

Wire::HelloParams testHello() { return test::sampleHello(); }

Bytes payloadOf(const Bytes& packet) { return Bytes(packet.begin() + Wire::headerSize, packet.end()); }

// The magic and a ClientKeyx made by hand, for keys and names ClientHandshake would not send.
Bytes handBuiltHello(ByteView epkC, ByteView idPub, std::string_view tail) {
  Bytes keyx(epkC.begin(), epkC.end());
  keyx.insert(keyx.end(), idPub.begin(), idPub.end());
  keyx.insert(keyx.end(), tail.begin(), tail.end());
  Bytes hello(P::magic.begin(), P::magic.end());
  const Bytes frame = P::encode(P::typeClientKeyx, keyx);
  hello.insert(hello.end(), frame.begin(), frame.end());
  return hello;
}

// The owner at the prompt: records every question and answers when the test
// says so (or at once when `autoAnswer` is set). Shared with the approval
// thread, which may outlive the test's other locals.
struct Owner {
  struct Question {
    std::string sas, fingerprint, name;
  };
  std::mutex m;
  std::condition_variable cv;
  std::vector<Question> questions;
  std::optional<bool> autoAnswer;
  std::optional<bool> answer;
  int returned = 0;

  bool ask(const std::string& sas, const std::string& fp, const std::string& name) {
    std::unique_lock lock(m);
    questions.push_back({sas, fp, name});
    cv.notify_all();
    cv.wait(lock, [&] { return autoAnswer || answer; });
    const bool result = autoAnswer ? *autoAnswer : *answer;
    ++returned;
    cv.notify_all();
    return result;
  }
  bool waitAsked(size_t n) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return questions.size() >= n; });
  }
  bool waitReturned(int n) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return returned >= n; });
  }
  void answerNow(bool allow) {
    std::lock_guard lock(m);
    answer = allow;
    cv.notify_all();
  }
  size_t asked() {
    std::lock_guard lock(m);
    return questions.size();
  }
  int returnedCount() {
    std::lock_guard lock(m);
    return returned;
  }
};

class WireServerPairingIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_shared<PairedDevicesStore>(folder_.folder() / "paired-devices.json",
                                                 [this](const std::string& l) { log.add(l); });
  }
  void TearDown() override {
    if (server) server->stop();
    // An approval thread still waiting for its answer is released; it holds only shared state.
    owner->answerNow(false);
    if (HasFailure()) {
      for (const auto& line : log.lines()) std::printf("  event: %s\n", line.c_str());
    }
  }

  using Tune = std::function<void(WireServer::Config&, WireServer::Hooks&)>;
  void startServer(std::optional<Bytes> psk = std::nullopt, const Tune& tune = {}) {
    WireServer::Config config;
    config.port = 0;
    config.hello = testHello();
    config.psk = std::move(psk);
    auto ownerRef = owner;
    auto cancels = cancelled;
    WireServer::Pairing pairing(
        hostIdentity, store,
        [ownerRef](const std::string& sas, const std::string& fp, const std::string& name) {
          return ownerRef->ask(sas, fp, name);
        },
        [cancels](const std::string& fp) { cancels->add(fp); });
    config.pairing = std::move(pairing);
    WireServer::Hooks hooks;
    watchServer(config, hooks, log, connected, disconnected);
    if (tune) tune(config, hooks);
    server = WireServer::create(std::move(config));
    server->setHooks(std::move(hooks));
    server->start();
  }

  // After HostKeyx and a confirmation: the sealed greeting, then one sealed
  // packet so the 2-second check ends at once.
  void expectPairedGreeting(PairingClient& c) {
    c.keyPaired();
    auto hello = c.readSealed();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->type, Code::hello);
    EXPECT_EQ(hello->payload, payloadOf(Wire::hello(testHello())));
    auto version = c.readSealed();
    ASSERT_TRUE(version);
    EXPECT_EQ(version->type, Code::peerVersion);
  }

  // Runs a clock driven by hand on in small steps until the owner has been
  // asked `n` questions: the device stays, so its question goes up.
  void runClockUntilAsked(std::atomic<uint64_t>& clock, size_t n) {
    ASSERT_TRUE(test::eventually([&] { return (clock += 10 * kNsPerMs, owner->asked() >= n); }));
  }

  // A whole pairing: keys, code, confirmation, greeting; the code shown.
  std::optional<std::string> pairAndGreet(PairingClient& c, bool sliceMagic = false) {
    auto sas = c.exchangeKeys(sliceMagic);
    EXPECT_TRUE(sas);
    EXPECT_TRUE(c.confirm(true));
    expectPairedGreeting(c);
    return sas;
  }

  test::TempPairingFolder folder_{"lumenrail-prologue"};
  Ed25519PrivateKey hostIdentity = Ed25519PrivateKey::generate();
  std::shared_ptr<PairedDevicesStore> store;
  std::shared_ptr<Owner> owner = std::make_shared<Owner>();
  std::shared_ptr<EventLog> cancelled = std::make_shared<EventLog>();
  std::shared_ptr<WireServer> server;
  EventLog log;
  EventCounter connected;
  EventCounter disconnected;
};

TEST_F(WireServerPairingIntegration, KnownDevicePairsWithoutPromptAndItsRecordIsRefreshed) {
  startServer();
  PairingClient c(server->boundPort(), "Tab Renamed");
  store->pin(c.publicKey(), "Tab", std::nullopt, P::DeviceKind::unknown, 1.0);
  const auto sas = pairAndGreet(c);
  ASSERT_TRUE(sas);
  ASSERT_TRUE(c.sendSealed(Code::clientInfo, {'T', 'a', 'b'}));
  ASSERT_TRUE(connected.waitFor(1));
  EXPECT_TRUE(log.contains("pairing: known device " + c.fingerprint() + ", SAS " + *sas + " (fd "));
  EXPECT_TRUE(log.contains(") [paired]"));
  EXPECT_EQ(owner->asked(), 0u);
  EXPECT_EQ(cancelled->lines().size(), 0u);

  const auto record = store->lookup(c.publicKey());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->label, "Tab Renamed");
  EXPECT_GT(record->lastSeen, 1.0);
  EXPECT_EQ(record->deviceId, P::deviceIdHex(P::deviceIdFrom("test-device")));
  EXPECT_EQ(record->kind, static_cast<int64_t>(P::DeviceKind::iPad));

  const auto clients = server->connectedClients();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].fingerprint, c.fingerprint());
  // Step 8: the Hello and report already sent are not queued again; the advisory follows.
  auto next = c.readSealed();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->type, Code::advisory);
  // The sealed session works both ways.
  ASSERT_TRUE(c.sendSealed(Code::requestIdr));
  EXPECT_TRUE(log.waitFor("RequestIdr ← client"));
}

TEST_F(WireServerPairingIntegration, NewDeviceIsApprovedOnceWithItsCodeAndPinned) {
  owner->autoAnswer = true;
  startServer();
  PairingClient c(server->boundPort(), "Pad");
  const auto sas = pairAndGreet(c);
  ASSERT_TRUE(sas);
  ASSERT_TRUE(c.sendSealed(Code::clientInfo, {'P', 'a', 'd'}));
  ASSERT_TRUE(connected.waitFor(1));
  ASSERT_TRUE(log.waitFor("ClientInfo ← client (fd "));
  {
    std::lock_guard lock(owner->m);
    ASSERT_EQ(owner->questions.size(), 1u);
    EXPECT_EQ(owner->questions[0].sas, *sas);
    EXPECT_EQ(owner->questions[0].sas.size(), 6u);
    EXPECT_EQ(owner->questions[0].fingerprint, c.fingerprint());
    EXPECT_EQ(owner->questions[0].name, "Pad");
  }
  EXPECT_TRUE(log.contains("pairing: new device " + c.fingerprint() + ", SAS " + *sas + " (fd "));
  EXPECT_TRUE(log.contains("pairing: pinned " + c.fingerprint() + " (Pad)"));
  EXPECT_FALSE(log.contains("dismissing the sheet"));
  EXPECT_EQ(cancelled->lines().size(), 0u);
  const auto record = store->lookup(c.publicKey());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->label, "Pad");
  EXPECT_EQ(record->kind, static_cast<int64_t>(P::DeviceKind::iPad));
}

TEST_F(WireServerPairingIntegration, ANewDeviceWithoutANameIsPinnedUnderItsFingerprint) {
  owner->autoAnswer = true;
  startServer();
  PairingClient c(server->boundPort(), "");
  ASSERT_TRUE(pairAndGreet(c));
  ASSERT_TRUE(log.waitFor("pairing: pinned "));
  const auto lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "pairing: pinned " + c.fingerprint()), lines.end())
      << "no name in parentheses";
  EXPECT_EQ(store->lookup(c.publicKey())->label, c.fingerprint());
}

TEST_F(WireServerPairingIntegration, RefusedNewDeviceIsDroppedAndNotPinned) {
  owner->autoAnswer = false;
  startServer();
  PairingClient c(server->boundPort());
  ASSERT_TRUE(c.exchangeKeys());
  c.confirm(true);  // the refusal may have closed the link already
  EXPECT_TRUE(c.waitClosed());
  ASSERT_TRUE(log.waitFor("pairing prologue failed — dropping client (fd "));
  EXPECT_TRUE(log.contains("pairing: not approved " + c.fingerprint() + " (fd "));
  EXPECT_FALSE(log.contains("dismissing the sheet"));
  EXPECT_EQ(cancelled->lines().size(), 0u);
  EXPECT_EQ(owner->asked(), 1u);
  EXPECT_FALSE(store->lookup(c.publicKey()));
  EXPECT_EQ(connected.count(), 0);
}

TEST_F(WireServerPairingIntegration, ADeviceThatCannotShowTheCodeGetsHostRejectAndNoPrompt) {
  startServer();
  PairingClient c(server->boundPort(), "TV", false);
  ASSERT_TRUE(c.sendHello());
  Bytes raw;
  auto frame = c.readFrame(&raw);
  ASSERT_TRUE(frame);
  EXPECT_EQ(raw, (Bytes{0x04, 0x01, 0x00, 0x01}));
  EXPECT_TRUE(c.waitClosed());
  ASSERT_TRUE(log.waitFor("pairing prologue failed — dropping client (fd "));
  EXPECT_TRUE(log.contains("pairing: refused " + c.fingerprint() +
                           " — unknown device on a silent reconnect (needs re-pairing); no sheet raised (fd "));
  EXPECT_EQ(owner->asked(), 0u);
  EXPECT_EQ(cancelled->lines().size(), 0u);
}

TEST_F(WireServerPairingIntegration, ClientLeavingWhileThePromptIsUpEndsTheWaitAndTheLateAnswerChangesNothing) {
  startServer();
  PairingClient c(server->boundPort());
  ASSERT_TRUE(c.exchangeKeys());
  ASSERT_TRUE(c.confirm(true));
  ASSERT_TRUE(owner->waitAsked(1));
  c.close();  // the owner has not answered
  ASSERT_TRUE(log.waitFor("pairing prologue failed — dropping client (fd "));
  EXPECT_TRUE(log.contains("pairing: no answer for " + c.fingerprint() + " — the device left or the prompt timed out"));
  EXPECT_TRUE(log.contains("pairing: ceremony ended before the owner answered — dismissing the sheet for " +
                           c.fingerprint() + " (fd "));
  EXPECT_EQ(cancelled->lines(), std::vector<std::string>{c.fingerprint()});
  EXPECT_EQ(owner->returnedCount(), 0) << "the wait ended before the owner answered";

  owner->answerNow(true);  // too late
  ASSERT_TRUE(owner->waitReturned(1));
  EXPECT_FALSE(store->lookup(c.publicKey()));
  EXPECT_FALSE(log.contains("pairing: pinned"));
  EXPECT_EQ(connected.count(), 0);
}

TEST_F(WireServerPairingIntegration, TheOwnerIsAskedAsHostKeyxGoesOutAndARefusalEndsTheCeremonyAtOnce) {
  startServer();
  {
    // Both screens show the code while the user compares: the question is up
    // before the device confirms, and goes when the device leaves first.
    PairingClient c(server->boundPort());
    const auto sas = c.exchangeKeys();
    ASSERT_TRUE(sas);
    ASSERT_TRUE(owner->waitAsked(1));
    {
      std::lock_guard lock(owner->m);
      EXPECT_EQ(owner->questions[0].sas, *sas);
    }
    c.close();
    ASSERT_TRUE(log.waitFor("pairing prologue failed — dropping client (fd "));
    EXPECT_EQ(cancelled->lines(), std::vector<std::string>{c.fingerprint()});
  }
  {
    // The owner says no while the device has not confirmed: it is dropped then.
    owner->answerNow(false);
    PairingClient c(server->boundPort());
    ASSERT_TRUE(c.exchangeKeys());
    ASSERT_TRUE(owner->waitAsked(2));
    EXPECT_TRUE(c.waitClosed());
    ASSERT_TRUE(log.waitFor("pairing: not approved " + c.fingerprint() + " (fd "));
    EXPECT_FALSE(store->lookup(c.publicKey()));
  }
  EXPECT_EQ(connected.count(), 0);
}

TEST_F(WireServerPairingIntegration, AnIdentityKeyThatProvesNothingIsRefusedAtClientKeyx) {
  startServer();
  const Bytes epkC = X25519PrivateKey::generate().publicKey();
  for (const char* key : {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",  // order 8
                          "0000000000000000000000000000000000000000000000000000000000000000",
                          "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"}) {
    PairingClient c(server->boundPort());
    ASSERT_TRUE(c.sendRaw(handBuiltHello(epkC, test::fromHex(key), "Pad")));
    // No HostKeyx: the link closes at once instead of waiting for a confirmation.
    EXPECT_FALSE(c.readFrame()) << key;
    EXPECT_TRUE(c.waitClosed()) << key;
  }
  EXPECT_TRUE(test::eventually([&] { return log.count("pairing prologue failed — dropping client (fd ") == 3; }));
  EXPECT_EQ(log.count("pairing prologue error: malformed(\"unusable client identity key\") (fd "), 3);
  EXPECT_FALSE(log.contains("pairing: new device"));
  EXPECT_EQ(owner->asked(), 0u);
}

TEST_F(WireServerPairingIntegration, DeclinedAndBadlySignedConfirmations) {
  owner->autoAnswer = true;
  store->pin(Bytes(32, 0), "placeholder", std::nullopt, P::DeviceKind::unknown, 1.0);
  startServer();
  {
    PairingClient c(server->boundPort());
    ASSERT_TRUE(c.exchangeKeys());
    ASSERT_TRUE(owner->waitAsked(1));  // the owner approves while the device still compares
    ASSERT_TRUE(c.confirm(false));
    EXPECT_TRUE(c.waitClosed());
    ASSERT_TRUE(log.waitFor("pairing: client declined (fd "));
  }
  {
    PairingClient c(server->boundPort());
    ASSERT_TRUE(c.exchangeKeys());
    ASSERT_TRUE(owner->waitAsked(2));
    Bytes bad(65, 0);
    bad[0] = 1;  // ok, with a signature of zeros
    ASSERT_TRUE(c.sendRaw(P::encode(P::typeClientConfirm, bad)));
    EXPECT_TRUE(c.waitClosed());
    ASSERT_TRUE(log.waitFor("pairing: client sent a bad signature (fd "));
    EXPECT_FALSE(store->lookup(c.publicKey()));
  }
  EXPECT_EQ(log.count("pairing prologue failed — dropping client"), 2);
  EXPECT_EQ(store->all().size(), 1u) << "approved, but neither device proved its key";
  EXPECT_EQ(owner->asked(), 2u);
}

TEST_F(WireServerPairingIntegration, MagicArrivingOneByteAtATimeIsRecognised) {
  owner->autoAnswer = true;
  // A clock that stands still while the bytes come: however slowly, they are inside the window.
  auto clock = std::make_shared<std::atomic<uint64_t>>(0);
  startServer(std::nullopt, [clock](WireServer::Config& c, WireServer::Hooks&) {
    c.nowNs = [clock] { return clock->load(); };
  });
  PairingClient c(server->boundPort());
  ASSERT_TRUE(c.exchangeKeys(true));
  runClockUntilAsked(*clock, 1);
  ASSERT_TRUE(c.confirm(true));
  expectPairedGreeting(c);
  EXPECT_TRUE(log.contains("pairing: pinned " + c.fingerprint()));
  EXPECT_FALSE(log.contains("unpaired client refused"));
}

TEST_F(WireServerPairingIntegration, ThreeRefusalLinesWithPairingAndNoPreSharedKey) {
  startServer();
  {
    test::WireTestClient probe(server->boundPort());
    probe.close();
    ASSERT_TRUE(log.waitFor("probe connection closed without sending (fd "));
    EXPECT_TRUE(log.contains(") — reachability check, nothing served"));
  }
  {
    test::WireTestClient ordinary(server->boundPort());
    ASSERT_TRUE(ordinary.send(Code::requestIdr));
    EXPECT_TRUE(ordinary.waitClosed());
    ASSERT_TRUE(log.waitFor(") — --pair requires the pairing handshake"));
    EXPECT_TRUE(log.contains("unpaired client refused (fd "));
  }
  {
    test::WireTestClient silent(server->boundPort());
    EXPECT_TRUE(silent.waitClosed());
    ASSERT_TRUE(log.waitFor(") — connected but sent no pairing handshake; --pair requires it"));
  }
  {
    // Starts like the magic, then something else.
    test::WireTestClient almost(server->boundPort());
    ASSERT_TRUE(almost.sendRaw({'L', 'R', 'X', '1'}));
    EXPECT_TRUE(almost.waitClosed());
  }
  EXPECT_EQ(log.count("unpaired client refused (fd "), 3);
  EXPECT_EQ(connected.count(), 0);
  EXPECT_FALSE(log.contains("client connected"));
}

TEST_F(WireServerPairingIntegration, APartialMagicThatNeverCompletesIsOtherBytes) {
  startServer();
  {
    test::WireTestClient stalled(server->boundPort());
    ASSERT_TRUE(stalled.sendRaw({'L', 'R'}));  // and then nothing
    EXPECT_TRUE(stalled.waitClosed());
    ASSERT_TRUE(log.waitFor(") — --pair requires the pairing handshake"));
  }
  {
    test::WireTestClient gone(server->boundPort());
    ASSERT_TRUE(gone.sendRaw({'L', 'R', 'P'}));
    ::shutdown(gone.fd(), SHUT_WR);  // the peer's end inside the magic
    EXPECT_TRUE(gone.waitClosed());
    ASSERT_TRUE(test::eventually([&] { return log.count(") — --pair requires the pairing handshake") == 2; }));
  }
  EXPECT_FALSE(log.contains("probe connection closed"));
  EXPECT_EQ(owner->asked(), 0u);
}

TEST_F(WireServerPairingIntegration, TheOwnerSeesTheNameWithoutControlOrFormatCharacters) {
  startServer();
  PairingClient c(server->boundPort());
  // A ClientKeyx built by hand: ClientHandshake would clean the name itself.
  const auto identity = Ed25519PrivateKey::generate();
  const Bytes epkC = X25519PrivateKey::generate().publicKey();
  const Bytes idPub = identity.publicKey();
  ASSERT_TRUE(c.sendRaw(handBuiltHello(epkC, idPub, "Pa\u202Ed\u200D Tab\x07")));
  // The owner is asked once the device has signed the transcript.
  auto hostKeyx = c.readFrame();
  ASSERT_TRUE(hostKeyx);
  ASSERT_EQ(hostKeyx->first, P::typeHostKeyx);
  const ByteView host(hostKeyx->second);
  const Bytes transcript = P::transcript(epkC, idPub, host.first(32), host.subspan(32, 32));
  Bytes confirm{1};
  const Bytes signature = P::clientSignature(identity, transcript);
  confirm.insert(confirm.end(), signature.begin(), signature.end());
  ASSERT_TRUE(c.sendRaw(P::encode(P::typeClientConfirm, confirm)));
  ASSERT_TRUE(owner->waitAsked(1));
  std::lock_guard lock(owner->m);
  EXPECT_EQ(owner->questions[0].name, "Pad Tab");
  EXPECT_EQ(owner->questions[0].fingerprint, P::fingerprint(idPub));
}

TEST_F(WireServerPairingIntegration, WithAPreSharedKeyANonPairingClientIsServedEncryptedAndAProbeIsStillRefused) {
  const Bytes psk(24, 0x5A);
  startServer(psk);
  {
    test::WireTestClient probe(server->boundPort());
    probe.close();
    ASSERT_TRUE(log.waitFor("probe connection closed without sending (fd "));
  }
  PairingClient c(server->boundPort());
  c.keyPsk(psk);
  auto hello = c.readSealed();  // served once the 250 ms sniff saw nothing
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->type, Code::hello);
  EXPECT_EQ(connected.count(), 0) << "not a client before its first record";
  ASSERT_TRUE(c.sendSealed(Code::requestIdr));
  ASSERT_TRUE(connected.waitFor(1));
  EXPECT_TRUE(log.contains(") [encrypted]"));
  EXPECT_EQ(log.count("client connected"), 1);
  EXPECT_EQ(owner->asked(), 0u);
}

TEST_F(WireServerPairingIntegration, PairedClientThatLeavesWithinTheCheckGetsNoSession) {
  owner->autoAnswer = true;
  startServer();
  PairingClient c(server->boundPort());
  ASSERT_TRUE(pairAndGreet(c));
  c.close();
  ASSERT_TRUE(log.waitFor("pairing check closed (fd "));
  EXPECT_TRUE(log.contains(") — no session, nothing served"));
  EXPECT_TRUE(store->lookup(c.publicKey())) << "pairing itself succeeded";
  EXPECT_EQ(connected.count(), 0);
  EXPECT_FALSE(log.contains("client connected"));
}

TEST_F(WireServerPairingIntegration, AHelloChangedDuringTheCheckIsSentAgain) {
  owner->autoAnswer = true;
  startServer();
  PairingClient c(server->boundPort());
  ASSERT_TRUE(pairAndGreet(c));
  // The server now waits for the client to stay: change the stream meanwhile.
  Wire::HelloParams reduced = testHello();
  reduced.width = 1280;
  server->rebroadcastHello(reduced);
  ASSERT_TRUE(c.sendSealed(Code::requestIdr));
  auto hello = c.readSealed();
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->type, Code::hello);
  EXPECT_EQ(hello->payload, payloadOf(Wire::hello(reduced)));
  auto version = c.readSealed();
  ASSERT_TRUE(version);
  EXPECT_EQ(version->type, Code::peerVersion);
}

TEST_F(WireServerPairingIntegration, StopDuringThePrologueEndsItBeforeReturning) {
  startServer();
  // A known device that never confirms: its session blocks in a 120 s read.
  PairingClient reading(server->boundPort(), "Known");
  store->pin(reading.publicKey(), "Known", std::nullopt, P::DeviceKind::unknown, 1.0);
  ASSERT_TRUE(reading.sendHello());
  ASSERT_TRUE(reading.readFrame());  // HostKeyx: the server now reads ClientConfirm
  // A new device whose owner never answers: its session waits for the answer.
  PairingClient prompting(server->boundPort(), "New");
  ASSERT_TRUE(prompting.exchangeKeys());
  ASSERT_TRUE(prompting.confirm(true));
  ASSERT_TRUE(owner->waitAsked(1));
  ASSERT_TRUE(log.waitFor("pairing: new device " + prompting.fingerprint()));

  server->stop();
  // Both sessions ended before stop() returned.
  EXPECT_EQ(log.count("pairing prologue failed — dropping client (fd "), 2);
  EXPECT_TRUE(log.contains("dismissing the sheet for " + prompting.fingerprint()));
  EXPECT_EQ(cancelled->lines(), std::vector<std::string>{prompting.fingerprint()});
  EXPECT_EQ(connected.count(), 0);
  EXPECT_TRUE(reading.waitClosed());
  EXPECT_TRUE(prompting.waitClosed());
}

size_t threadCount() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator{}));
}

TEST_F(WireServerPairingIntegration, OneQuestionAtATimeOnePerAddressAFewWaitAndAFloodOfDevicesThatLeaveCostsNoThreads) {
  startServer();
  const uint16_t port = server->boundPort();
  const uint32_t base = 0x7f000020;
  const auto idA = Ed25519PrivateKey::generate();
  PairingClient a(port, "A", true, idA, base);
  ASSERT_TRUE(a.prove());
  ASSERT_TRUE(owner->waitAsked(1));
  const size_t threadsWhileAsking = threadCount();

  // The same device dialling again from elsewhere, and another device from
  // the same address, while its question is up: both dropped at ClientKeyx.
  PairingClient again(port, "A", true, idA, base + 1);
  ASSERT_TRUE(again.sendHello());
  EXPECT_TRUE(again.waitClosed());
  ASSERT_TRUE(log.waitFor("pairing: " + a.fingerprint() + " already waits for the owner — refused (fd "));
  PairingClient neighbour(port, "N", true, Ed25519PrivateKey::generate(), base);
  ASSERT_TRUE(neighbour.sendHello());
  EXPECT_TRUE(neighbour.waitClosed());
  ASSERT_TRUE(log.waitFor("pairing: a device from 127.0.0.32 already waits for the owner — refused " +
                          neighbour.fingerprint()));

  // Four wait behind the question; a fifth takes the seat of the first of them.
  std::vector<std::unique_ptr<PairingClient>> waiting;
  for (uint32_t i = 0; i < 4; ++i) {
    waiting.push_back(std::make_unique<PairingClient>(port, "W", true, Ed25519PrivateKey::generate(), base + 2 + i));
    ASSERT_TRUE(waiting.back()->prove());
  }
  ASSERT_TRUE(test::eventually([&] { return WireServerTestPeer::approvalSeats(*server) == 5; }));
  PairingClient extra(port, "X", true, Ed25519PrivateKey::generate(), base + 6);
  ASSERT_TRUE(extra.prove());
  EXPECT_TRUE(waiting.front()->waitClosed());
  ASSERT_TRUE(log.waitFor("pairing: " + waiting.front()->fingerprint() +
                          " gave its seat at the owner's desk to a newer device (fd "));
  EXPECT_EQ(WireServerTestPeer::approvalSeats(*server), 5);

  // Those that wait leave, and then a flood of devices that queue and hang
  // up: none is ever shown, none leaves a thread behind.
  waiting.clear();
  extra.close();
  auto settled = [&] {
    return test::eventually([&] {
      return WireServerTestPeer::approvalSeats(*server) == 1 && WireServerTestPeer::prologues(*server) == 1;
    });
  };
  ASSERT_TRUE(settled());
  for (uint32_t round = 0; round < 8; ++round) {
    for (uint32_t i = 0; i < 4; ++i) {
      PairingClient flood(port, "F", true, Ed25519PrivateKey::generate(), base + 8 + round * 4 + i);
      ASSERT_TRUE(flood.prove());  // queued behind the question, then gone
    }
    ASSERT_TRUE(settled());
  }
  ASSERT_TRUE(test::eventually([&] { return threadCount() <= threadsWhileAsking; }))
      << threadCount() << " threads, " << threadsWhileAsking << " while the first question was up";
  EXPECT_TRUE(cancelled->lines().empty()) << "nothing else was shown, so nothing to dismiss";

  owner->answerNow(true);
  expectPairedGreeting(a);
  PairingClient d(port, "D", true, Ed25519PrivateKey::generate(), base);
  ASSERT_TRUE(d.prove());
  expectPairedGreeting(d);
  std::lock_guard lock(owner->m);
  ASSERT_EQ(owner->questions.size(), 2u);
  EXPECT_EQ(owner->questions[0].fingerprint, a.fingerprint());
  EXPECT_EQ(owner->questions[1].fingerprint, d.fingerprint());
}

TEST_F(WireServerPairingIntegration, EachStepBeforeProofHasASecondsDeadlineHoweverTheBytesTrickle) {
  auto clock = std::make_shared<std::atomic<uint64_t>>(0);
  startServer(std::nullopt, [clock](WireServer::Config& c, WireServer::Hooks&) {
    c.nowNs = [clock] { return clock->load(); };
  });
  const uint16_t port = server->boundPort();
  const Bytes magic(P::magic.begin(), P::magic.end());
  {
    // The magic alone: the key exchange is due within 5 s.
    PairingClient c(port);
    ASSERT_TRUE(c.sendRaw(magic));
    ASSERT_TRUE(test::eventually([&] { return WireServerTestPeer::prologues(*server) == 1; }));
    *clock += 6 * kNsPerSecond;
    EXPECT_TRUE(c.waitClosed());
    ASSERT_TRUE(log.waitFor("pairing: handshake step not finished within 5 s (fd "));
  }
  {
    // A paired key needs no one to compare a code: it confirms at once or not
    // at all, whatever the client says it can show.
    PairingClient c(port, "Paired");
    store->pin(c.publicKey(), "Paired", std::nullopt, P::DeviceKind::unknown, 1.0);
    ASSERT_TRUE(c.exchangeKeys());
    ASSERT_TRUE(c.sendRaw(ByteView(c.confirmBytes(true)).first(1)));
    *clock += 6 * kNsPerSecond;
    EXPECT_TRUE(c.waitClosed());
    ASSERT_TRUE(test::eventually([&] { return log.count("handshake step not finished within 5 s") == 2; }));
  }
  owner->autoAnswer = true;
  {
    // A user comparing the code of a new device has a minute, byte by byte or not.
    PairingClient c(port, "New");
    ASSERT_TRUE(c.exchangeKeys());
    runClockUntilAsked(*clock, 1);
    const Bytes confirm = c.confirmBytes(true);
    ASSERT_TRUE(c.sendRaw(ByteView(confirm).first(1)));
    *clock += 30 * kNsPerSecond;
    ASSERT_TRUE(c.sendRaw(ByteView(confirm).subspan(1)));
    expectPairedGreeting(c);
    ASSERT_TRUE(c.sendSealed(Code::requestIdr));
    ASSERT_TRUE(connected.waitFor(1));
  }
  {
    PairingClient c(port, "Slow");
    ASSERT_TRUE(c.exchangeKeys());
    *clock += 61 * kNsPerSecond;
    EXPECT_TRUE(c.waitClosed());
    ASSERT_TRUE(log.waitFor("pairing: handshake step not finished within 60 s (fd "));
  }
  EXPECT_EQ(connected.count(), 1);
}

TEST_F(WireServerPairingIntegration, AnOwnerWhoDoesNotAnswerInTimeRefusesAndThePromptIsDismissed) {
  auto clock = std::make_shared<std::atomic<uint64_t>>(0);
  startServer(std::nullopt, [clock](WireServer::Config& c, WireServer::Hooks&) {
    c.nowNs = [clock] { return clock->load(); };
  });
  PairingClient c(server->boundPort());
  ASSERT_TRUE(c.prove());
  runClockUntilAsked(*clock, 1);
  *clock += 121 * kNsPerSecond;
  // The last line of the prologue: the dismissal has happened by then.
  ASSERT_TRUE(log.waitFor("pairing prologue failed — dropping client (fd "));
  EXPECT_TRUE(log.contains("pairing: no answer for " + c.fingerprint() + " — the device left or the prompt timed out"));
  EXPECT_TRUE(c.waitClosed());
  EXPECT_EQ(cancelled->lines(), std::vector<std::string>{c.fingerprint()});
  EXPECT_FALSE(store->lookup(c.publicKey()));
}

}  // namespace
}  // namespace lumenrail
