#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "FakeAoaUsb.hpp"
#include "links/aoa/aoa.h"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"

namespace lumenrail::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct SocketPair {
  int host = -1;  // the wire server's end, played by the test
  int pump = -1;
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    host = fds[0];
    pump = fds[1];
  }
  ~SocketPair() {
    closeHost();
    if (pump >= 0) ::close(pump);
  }
  void closeHost() {
    if (host >= 0) ::close(host);
    host = -1;
  }
  void write(const Bytes& b) const { ASSERT_EQ(::send(host, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
  Bytes read(size_t n) const {
    Bytes out(n);
    size_t at = 0;
    while (at < n) {
      pollfd p{host, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      const ssize_t got = ::recv(host, out.data() + at, n - at, 0);
      if (got <= 0) break;
      at += size_t(got);
    }
    out.resize(at);
    return out;
  }
  int pendingAtHost() const {
    int n = 0;
    ::ioctl(host, FIONREAD, &n);
    return n;
  }
};


class AoaDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(aoa_global_init(&AoaDriverTest::sink, &log), 0); }
  void TearDown() override {
    aoa_release(session);
    aoa_global_shutdown();
  }
  static void sink(void* ctx, const char* text) { static_cast<EventLog*>(ctx)->add(text); }

  static FakeUsbDevice accessory(uint8_t address = 5) {
    FakeUsbDevice d;
    d.address = address;
    return d;
  }
  static FakeUsbDevice phone(uint8_t address, uint16_t product = 0x4EE7) {
    FakeUsbDevice d;
    d.product = product;
    d.address = address;
    return d;
  }

  void openAccessory() {
    usb.addDevice(accessory());
    ASSERT_EQ(aoa_acquire(nullptr, &session), AOA_ACQUIRED);
    ASSERT_NE(session, nullptr);
  }

  std::future<int> pump(int fd) {
    return std::async(std::launch::async, [this, fd] { return aoa_pump(session, fd); });
  }
  static int result(std::future<int>& f) {
    if (f.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return 99;
    return f.get();
  }

  FakeAoaUsb usb;
  EventLog log;
  aoa_session* session = nullptr;
};

// ---- acquiring devices ----

TEST_F(AoaDriverTest, AccessoryOpensOnceAndComesBackAfterRelease) {
  openAccessory();
  EXPECT_TRUE(log.contains("accessory open (18d1:2d01) bulk in=0x81 out=0x01 (max packet 512)"));
  EXPECT_EQ(usb.device(0).claims, 1);

  aoa_session* second = nullptr;
  EXPECT_EQ(aoa_acquire(nullptr, &second), AOA_NO_DEVICE);  // held: never opened twice
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(usb.device(0).opens, 1);

  aoa_release(session);
  session = nullptr;
  EXPECT_EQ(usb.device(0).releases, 1);
  EXPECT_EQ(usb.device(0).closes, 1);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_ACQUIRED);
}

TEST_F(AoaDriverTest, WithoutAPlaceForTheSessionItIsReleasedAtOnce) {
  usb.addDevice(accessory());
  EXPECT_EQ(aoa_acquire(nullptr, nullptr), AOA_ACQUIRED);
  EXPECT_EQ(usb.device(0).closes, 1);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_ACQUIRED);  // not left busy
}

TEST_F(AoaDriverTest, LastBulkEndpointOfEachDirectionWinsAndPacketSizeDefaultsTo512) {
  auto d = accessory();
  d.endpoints = {{0x81, 1, 64}, {0x02, 0, 64}, {0x83, 1, 64}, {0x01, 1, 0}, {0x04, 1, 0}};
  usb.addDevice(d);
  ASSERT_EQ(aoa_acquire(nullptr, &session), AOA_ACQUIRED);
  EXPECT_TRUE(log.contains("bulk in=0x83 out=0x04 (max packet 512)"));
}

TEST_F(AoaDriverTest, ClaimFailureSkipsTheAccessoryForFourSeconds) {
  auto d = accessory();
  d.claimError = AOA_USB_ERROR_BUSY;
  usb.addDevice(d);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_TRUE(log.contains("claim_interface(0) failed on 18d1:2d01 — a composite grab can block this"));
  EXPECT_EQ(usb.device(0).closes, 1);

  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_NO_DEVICE);  // skipped silently
  usb.advanceMs(3999);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_NO_DEVICE);
  EXPECT_EQ(usb.device(0).claims, 1);
  usb.advanceMs(1);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_EQ(usb.device(0).claims, 2);
}

TEST_F(AoaDriverTest, AccessoryWithoutABulkPairIsUnusable) {
  auto d = accessory();
  d.endpoints = {{0x81, 1, 512}, {0x01, 0, 512}};
  usb.addDevice(d);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_TRUE(log.contains("no bulk in/out endpoint pair on accessory iface 0"));
  EXPECT_EQ(usb.device(0).releases, 1);
  EXPECT_EQ(usb.device(0).closes, 1);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_NO_DEVICE);
}

Bytes withNul(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

TEST_F(AoaDriverTest, PhoneInOrdinaryModeGetsTheAccessoryHandshake) {
  usb.addDevice(phone(7));
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);
  EXPECT_EQ(session, nullptr);
  auto calls = usb.controls();
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[0].requestType, 0xC0);
  EXPECT_EQ(calls[0].request, 51);
  EXPECT_EQ(calls[0].value, 0);
  EXPECT_EQ(calls[0].index, 0);
  const std::vector<std::string> strings{"lumenrail", "lumenrail-display", "lumenrail virtual display", "1.0"};
  for (size_t i = 0; i < 6; ++i) {
    const auto& c = calls[1 + i];
    EXPECT_EQ(c.requestType, 0x40);
    EXPECT_EQ(c.request, 52);
    EXPECT_EQ(c.value, 0);
    EXPECT_EQ(c.index, i);
    if (i < 4) {
      EXPECT_EQ(c.data, withNul(strings[i])) << i;
    }
  }
  const std::string uri(calls[5].data.begin(), calls[5].data.end());
  EXPECT_EQ(uri.rfind("https://", 0), 0u);
  EXPECT_EQ(calls[5].data.back(), 0);
  EXPECT_EQ(calls[6].data, withNul("0001"));
  EXPECT_EQ(calls[7].requestType, 0x40);
  EXPECT_EQ(calls[7].request, 53);
  EXPECT_TRUE(calls[7].data.empty());
  EXPECT_TRUE(log.contains("phone 18d1:4ee7 in normal mode — sending AOA handshake"));
  EXPECT_TRUE(log.contains("AOA protocol v2 — handshake sent; phone re-enumerates as 18d1:2d0x"));
  EXPECT_EQ(usb.device(0).closes, 1);
}

TEST_F(AoaDriverTest, HandshakenPhoneIsLeftAloneForFourSeconds) {
  usb.addDevice(phone(7));
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);
  usb.advanceMs(3999);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);
  EXPECT_EQ(usb.controls().size(), 8u);
  usb.advanceMs(1);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);
  EXPECT_EQ(usb.controls().size(), 16u);
}

TEST_F(AoaDriverTest, SecondPhoneIsHandshakenOnTheNextPass) {
  usb.addDevice(phone(7));
  usb.addDevice(phone(8, 0x6860));
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);
  EXPECT_EQ(usb.device(0).opens, 1);
  EXPECT_EQ(usb.device(1).opens, 0);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);
  EXPECT_EQ(usb.device(0).opens, 1);
  EXPECT_EQ(usb.device(1).opens, 1);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);  // both waiting to re-enumerate
  EXPECT_EQ(usb.controls().size(), 16u);
}

TEST_F(AoaDriverTest, FailedHandshakesAreUnusableAndStillWaitTheirWindow) {
  auto noAoa = phone(7);
  noAoa.protocol = 0;
  usb.addDevice(noAoa);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_TRUE(log.contains("device does not support AOA"));
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);
  EXPECT_EQ(usb.device(0).closes, 1);
}

TEST_F(AoaDriverTest, SendStringFailureNamesTheString) {
  auto d = phone(7);
  d.failRequest = 52;
  usb.addDevice(d);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_TRUE(log.contains("SEND_STRING id=0 (lumenrail) failed: ERROR_PIPE"));
}

TEST_F(AoaDriverTest, GetProtocolAndStartFailuresAreReported) {
  auto d = phone(7);
  d.failRequest = 51;
  usb.addDevice(d);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_TRUE(log.contains("GET_PROTOCOL failed: ERROR_PIPE"));
  auto e = phone(8);
  e.failRequest = 53;
  usb.addDevice(e);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_TRUE(log.contains("ACCESSORY_START failed: ERROR_PIPE"));
}

TEST_F(AoaDriverTest, SerialFilterTakesOnlyTheNamedAccessory) {
  auto unreadable = accessory(5);
  auto other = accessory(6);
  other.serial = "B";
  auto wanted = accessory(7);
  wanted.serial = "C";
  usb.addDevice(unreadable);
  usb.addDevice(other);
  usb.addDevice(wanted);
  aoa_options options{};
  options.serial = "C";
  ASSERT_EQ(aoa_acquire(&options, &session), AOA_ACQUIRED);
  EXPECT_EQ(usb.device(2).claims, 1);
  EXPECT_EQ(usb.device(0).closes, 1);
  EXPECT_EQ(usb.device(1).closes, 1);
  EXPECT_EQ(usb.device(0).claims + usb.device(1).claims, 0);
}

TEST_F(AoaDriverTest, VendorAndProductFiltersNarrowTheSearch) {
  usb.addDevice(phone(7));
  aoa_options options{};
  options.vendor_id = 0x04E8;
  EXPECT_EQ(aoa_acquire(&options, &session), AOA_NO_DEVICE);
  options.vendor_id = 0x18D1;
  options.product_id = 0x1111;
  EXPECT_EQ(aoa_acquire(&options, &session), AOA_NO_DEVICE);
  EXPECT_TRUE(usb.controls().empty());
}

TEST_F(AoaDriverTest, DeviceThatCannotBeOpenedIsSkippedAndReportedOncePerWindow) {
  auto d = phone(7);
  d.openError = AOA_USB_ERROR_ACCESS;
  usb.addDevice(d);
  const std::string line = "cannot open 18d1:4ee7 (bus 1, address 7): ERROR_ACCESS — no permission";
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_EQ(log.count(line), 1);
  usb.advanceMs(3999);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_EQ(log.count(line), 1);
  usb.advanceMs(1);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);
  EXPECT_EQ(log.count(line), 2);
  EXPECT_TRUE(usb.controls().empty());

  // A usable accessory behind the refused phone is still found.
  usb.addDevice(accessory(9));
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_ACQUIRED);
}

TEST(AoaDriverUninitialised, AcquireWithoutContextIsUnusable) {
  FakeAoaUsb usb;
  usb.addDevice(FakeUsbDevice{});
  aoa_session* s = reinterpret_cast<aoa_session*>(&usb);
  EXPECT_EQ(aoa_acquire(nullptr, &s), AOA_UNUSABLE);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(usb.listings(), 0);
}

TEST(AoaDriverUninitialised, NullSessionsAreIgnored) {
  aoa_stop(nullptr);
  aoa_release(nullptr);
  EXPECT_EQ(aoa_pump(nullptr, 3), AOA_USB_ERROR);
  EXPECT_EQ(aoa_await_connect(nullptr), AOA_USB_ERROR);
}

// ---- one cable connection ----

TEST_F(AoaDriverTest, BytesFlowBothWaysAndSocketEndIsACleanEnd) {
  openAccessory();
  SocketPair sp;
  auto done = pump(sp.pump);
  const Bytes hello{0x01, 3, 0, 0, 0, 0xA, 0xB, 0xC};
  sp.write(hello);
  ASSERT_TRUE(eventually([&] { return usb.taken() == hello; }));
  const Bytes fromPhone{0x05, 0, 0, 0, 0};
  usb.phoneSends(fromPhone);
  EXPECT_EQ(sp.read(fromPhone.size()), fromPhone);
  sp.closeHost();
  EXPECT_EQ(result(done), AOA_CLEAN_END);
  EXPECT_TRUE(log.contains("first 8 B host->phone (Hello/IDR)"));
  EXPECT_TRUE(log.contains("— clean end"));
}

TEST_F(AoaDriverTest, SocketEndWithASilentPhoneMeansNoClient) {
  openAccessory();
  SocketPair sp;
  auto done = pump(sp.pump);
  sp.write({0x01, 0, 0, 0, 0});
  ASSERT_TRUE(eventually([&] { return usb.taken().size() == 5; }));
  sp.closeHost();
  EXPECT_EQ(result(done), AOA_PHONE_SILENT);
}

TEST_F(AoaDriverTest, LoneByeEndsTheConnectionWithoutReachingTheSocket) {
  openAccessory();
  SocketPair sp;
  auto done = pump(sp.pump);
  usb.phoneSends({0x09, 1, 0, 0, 0, 3});
  EXPECT_EQ(result(done), AOA_CLIENT_DECLINED);
  EXPECT_TRUE(log.contains("client Bye (reason 3): it is not taking this cable session"));
  EXPECT_EQ(sp.pendingAtHost(), 0);
}

TEST_F(AoaDriverTest, ByeAmongOtherBytesIsForwarded) {
  openAccessory();
  SocketPair sp;
  auto done = pump(sp.pump);
  const Bytes both{0x05, 0, 0, 0, 0, 0x09, 0, 0, 0, 0};
  usb.phoneSends(both);
  EXPECT_EQ(sp.read(both.size()), both);
  sp.closeHost();
  EXPECT_EQ(result(done), AOA_CLEAN_END);
  EXPECT_FALSE(log.contains("client Bye"));
}

TEST_F(AoaDriverTest, StalledPhoneEndsTheConnectionAfterFiveSeconds) {
  openAccessory();
  SocketPair sp;
  auto done = pump(sp.pump);
  usb.phoneSends({0x05, 0, 0, 0, 0});
  ASSERT_EQ(sp.read(5).size(), 5u);
  usb.setOut(FakeAoaUsb::Out::hold);
  sp.write(Bytes(9 * 16384, 0x42));
  ASSERT_TRUE(eventually([&] { return usb.pendingOut() == 8; }));
  usb.advanceMs(5000);
  EXPECT_EQ(result(done), AOA_PHONE_STOPPED_READING);
  EXPECT_TRUE(log.contains(
      "phone stopped reading: 8 transfer(s) pending, nothing completed for 5000 ms — ending the session"));
  EXPECT_EQ(usb.pendingOut(), 0);  // every transfer came back before the pump returned
}

TEST_F(AoaDriverTest, PhoneThatNeverReadsNorSpeaksTimesOutAsNoClient) {
  openAccessory();
  SocketPair sp;
  usb.setOut(FakeAoaUsb::Out::hold);
  auto done = pump(sp.pump);
  sp.write(Bytes(9 * 16384, 0x42));
  ASSERT_TRUE(eventually([&] { return usb.pendingOut() == 8; }));
  usb.advanceMs(20'001);
  EXPECT_EQ(result(done), AOA_PHONE_SILENT);
  EXPECT_EQ(usb.pendingOut(), 0);
}

TEST_F(AoaDriverTest, ShortTransferAfterProgressIsADesync) {
  openAccessory();
  SocketPair sp;
  auto done = pump(sp.pump);
  sp.write(Bytes(16384, 1));
  ASSERT_TRUE(eventually([&] { return usb.taken().size() == 16384; }));
  usb.setOut(FakeAoaUsb::Out::shortNext);
  sp.write(Bytes(100, 2));
  EXPECT_EQ(result(done), AOA_DESYNC);
}

TEST_F(AoaDriverTest, ShortOrFailedFirstTransferIsAUsbError) {
  openAccessory();
  {
    SocketPair sp;
    usb.setOut(FakeAoaUsb::Out::shortNext);
    auto done = pump(sp.pump);
    sp.write(Bytes(100, 2));
    EXPECT_EQ(result(done), AOA_USB_ERROR);
  }
  {
    SocketPair sp;
    usb.setOut(FakeAoaUsb::Out::failNext);
    usb.phoneSends({0x05, 0, 0, 0, 0});
    auto done = pump(sp.pump);
    ASSERT_EQ(sp.read(5).size(), 5u);
    sp.write(Bytes(100, 2));
    EXPECT_EQ(result(done), AOA_USB_ERROR);
  }
}

TEST_F(AoaDriverTest, ZeroLengthPacketOnlyAfterAShortChunkOnAPacketBoundary) {
  openAccessory();
  SocketPair sp;
  auto done = pump(sp.pump);
  sp.write(Bytes(1024, 1));
  ASSERT_TRUE(eventually([&] { return usb.submits().size() == 1; }));
  sp.write(Bytes(1000, 1));
  ASSERT_TRUE(eventually([&] { return usb.submits().size() == 2; }));
  sp.write(Bytes(16384, 1));
  ASSERT_TRUE(eventually([&] { return usb.taken().size() == 1024 + 1000 + 16384; }));
  sp.closeHost();
  result(done);
  auto s = usb.submits();
  EXPECT_EQ(s[0].length, 1024);
  EXPECT_TRUE(s[0].zeroPacket);
  EXPECT_EQ(s[1].length, 1000);
  EXPECT_FALSE(s[1].zeroPacket);
  for (size_t i = 2; i < s.size(); ++i) EXPECT_EQ(s[i].zeroPacket, s[i].length < 16384 && s[i].length % 512 == 0) << s[i].length;
}

TEST_F(AoaDriverTest, StopEndsARunningPumpAndEveryLaterOne) {
  openAccessory();
  SocketPair sp;
  auto done = pump(sp.pump);
  usb.phoneSends({0x05, 0, 0, 0, 0});
  ASSERT_EQ(sp.read(5).size(), 5u);
  const int readsBefore = usb.inReads();
  ASSERT_TRUE(eventually([&] { return usb.inReads() > readsBefore; }));  // both pump threads are running
  aoa_stop(session);
  EXPECT_EQ(result(done), AOA_CLEAN_END);

  SocketPair again;
  EXPECT_EQ(aoa_pump(session, again.pump), AOA_CLEAN_END);
  EXPECT_EQ(again.pendingAtHost(), 0);
  char probe;
  EXPECT_EQ(::recv(again.host, &probe, 1, MSG_DONTWAIT), -1);  // not closed either
  EXPECT_EQ(aoa_await_connect(session), AOA_USB_ERROR);
}

TEST_F(AoaDriverTest, StopEndsAPumpWhosePhoneIsSilent) {
  openAccessory();
  SocketPair sp;
  auto done = pump(sp.pump);
  ASSERT_TRUE(eventually([&] { return usb.inReads() > 0; }));
  aoa_stop(session);
  EXPECT_EQ(result(done), AOA_CLEAN_END);  // a requested stop is not "no client"
}

TEST_F(AoaDriverTest, StopReachesAPumpBlockedOnAFullSocket) {
  openAccessory();
  SocketPair sp;
  // The socket holds less than one bulk read, so the first forward cannot finish
  // while nobody reads the host end.
  const int small = 4096;
  ASSERT_EQ(::setsockopt(sp.pump, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(::setsockopt(sp.host, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  auto done = pump(sp.pump);
  usb.phoneFloods();
  ASSERT_TRUE(eventually([&] { return sp.pendingAtHost() > 0; }));
  aoa_stop(session);
  EXPECT_EQ(result(done), AOA_CLEAN_END);
}

TEST_F(AoaDriverTest, ConnectBurstIsForwardedFirst) {
  openAccessory();
  usb.phoneSends({0x05, 0, 0, 0, 0});  // not a connect burst
  const Bytes burst{0x07, 0, 0, 0, 0, 0x14, 2, 0, 0, 0, 'h', 'i'};
  usb.phoneSends(burst);
  EXPECT_EQ(aoa_await_connect(session), AOA_CLEAN_END);
  EXPECT_TRUE(log.contains("waiting for the client to connect: 5 B, first type 0x05 — discarded"));
  EXPECT_TRUE(log.contains("client connect burst (12 B, first type 0x07) — starting a session"));

  SocketPair sp;
  auto done = pump(sp.pump);
  EXPECT_EQ(sp.read(burst.size()), burst);
  sp.closeHost();
  EXPECT_EQ(result(done), AOA_CLEAN_END);  // the burst counts as the phone speaking
}

TEST_F(AoaDriverTest, ConnectBurstThatCannotBeHandedOnIsAFailure) {
  openAccessory();
  usb.phoneSends({0x07, 0, 0, 0, 0});
  ASSERT_EQ(aoa_await_connect(session), AOA_CLEAN_END);
  SocketPair sp;
  sp.closeHost();
  EXPECT_EQ(aoa_pump(session, sp.pump), AOA_USB_ERROR);
  EXPECT_TRUE(log.contains("could not hand the client's connect burst to the local socket"));
}

TEST_F(AoaDriverTest, WaitForConnectEndsWhenTheCableGoes) {
  openAccessory();
  usb.unplug();
  EXPECT_EQ(aoa_await_connect(session), AOA_USB_ERROR);
  EXPECT_TRUE(log.contains("cable went away while waiting for the client to connect (ERROR_NO_DEVICE)"));
}

TEST_F(AoaDriverTest, WaitForConnectEndsOnStop) {
  openAccessory();
  auto waiting = std::async(std::launch::async, [this] { return aoa_await_connect(session); });
  ASSERT_TRUE(eventually([&] { return usb.inReads() > 0; }));
  aoa_stop(session);
  EXPECT_EQ(result(waiting), AOA_USB_ERROR);
}

TEST_F(AoaDriverTest, LastShutdownClearsTheMessageSink) {
  // The fixture's user and a second one; the second leaving keeps the sink.
  EventLog other;
  ASSERT_EQ(aoa_global_init(&AoaDriverTest::sink, &other), 0);
  aoa_global_shutdown();
  usb.addDevice(phone(7));
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);
  EXPECT_TRUE(other.contains("sending AOA handshake"));  // each init replaces the sink
  aoa_global_shutdown();
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_UNUSABLE);  // no context any more
  ASSERT_EQ(aoa_global_init(nullptr, nullptr), 0);  // for TearDown's shutdown
  usb.advanceMs(4000);
  EXPECT_EQ(aoa_acquire(nullptr, &session), AOA_SWITCHING);
  EXPECT_EQ(other.count("sending AOA handshake"), 1);
}

}  // namespace
}  // namespace lumenrail::test
