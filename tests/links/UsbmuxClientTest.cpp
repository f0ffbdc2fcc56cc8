#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "links/UsbmuxClient.hpp"
#include "support/FakeUsbmuxd.hpp"
#include "support/HexBytes.hpp"

namespace lumenrail {
namespace {

using test::FakeUsbmuxd;
using UsbmuxClient::Device;
using UsbmuxClient::UsbmuxError;
using Reply = FakeUsbmuxd::Reply;

Reply sendBody(const std::string& body) { return Reply{Reply::Action::send, FakeUsbmuxd::message(body), false}; }
Reply sendDict(const std::string& inner) { return sendBody(FakeUsbmuxd::plistDict(inner)); }
Reply sendRaw(std::vector<uint8_t> bytes) { return Reply{Reply::Action::send, std::move(bytes), false}; }

UsbmuxClient::Endpoint at(const FakeUsbmuxd& fake, int64_t timeoutMs = 10000) { return {fake.path(), timeoutMs}; }

template <typename F>
UsbmuxError caught(F&& f) {
  try {
    f();
  } catch (const UsbmuxError& e) {
    return e;
  }
  ADD_FAILURE() << "no UsbmuxError thrown";
  return UsbmuxError::io("none");
}

// --- Requests as the daemon reads them -------------------------------------------

TEST(UsbmuxClientTest, ListDevicesRequestHasTheHeaderAndDictionary) {
  FakeUsbmuxd fake([](const auto&) { return sendDict("<key>DeviceList</key><array/>\n"); });
  EXPECT_TRUE(UsbmuxClient::listDevices(at(fake)).empty());
  const auto requests = fake.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.length, 16 + r.body.size());
  EXPECT_EQ(r.version, 1u);
  EXPECT_EQ(r.type, 8u);
  EXPECT_EQ(r.tag, 1u);
  EXPECT_TRUE(r.body.starts_with("<?xml")) << r.body;
  EXPECT_NE(r.body.find("<plist version=\"1.0\">"), std::string::npos);
  EXPECT_EQ(r.strings, (std::map<std::string, std::string>{{"MessageType", "ListDevices"},
                                                            {"ClientVersionString", "lumenrail-host"},
                                                            {"ProgName", "lumenrailhost"}}));
  EXPECT_EQ(r.integers, (std::map<std::string, int64_t>{{"kLibUSBMuxVersion", 3}}));
}

TEST(UsbmuxClientTest, ConnectRequestCarriesTheDeviceAndTheByteSwappedPort) {
  FakeUsbmuxd fake([](const auto&) { return sendDict("<key>Number</key><integer>3</integer>\n"); });
  (void)caught([&] { UsbmuxClient::connect(7, 27184, at(fake)); });
  const auto requests = fake.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.length, 16 + r.body.size());
  EXPECT_EQ(r.version, 1u);
  EXPECT_EQ(r.type, 8u);
  EXPECT_EQ(r.tag, 2u);
  EXPECT_EQ(r.strings, (std::map<std::string, std::string>{{"MessageType", "Connect"},
                                                            {"ClientVersionString", "lumenrail-host"},
                                                            {"ProgName", "lumenrailhost"}}));
  EXPECT_EQ(r.integers,
            (std::map<std::string, int64_t>{{"DeviceID", 7}, {"PortNumber", 12394}, {"kLibUSBMuxVersion", 3}}));
}

TEST(UsbmuxClientTest, PortGoesInNetworkOrderReadAsAHostInteger) {
  EXPECT_EQ(UsbmuxClient::networkOrderPort(27184), 12394);
  EXPECT_EQ(UsbmuxClient::networkOrderPort(0x1234), 0x3412);
  EXPECT_EQ(UsbmuxClient::networkOrderPort(1), 256);
  EXPECT_EQ(UsbmuxClient::networkOrderPort(0xFF00), 0x00FF);
}

// --- Listing ----------------------------------------------------------------------

TEST(UsbmuxClientTest, DeviceListKeepsOrderAndFillsMissingFields) {
  FakeUsbmuxd fake([](const auto&) {
    return sendDict(
        "<key>DeviceList</key><array>\n"
        "<dict><key>DeviceID</key><integer>3</integer><key>MessageType</key><string>Attached</string>"
        "<key>Properties</key><dict><key>ConnectionType</key><string>Network</string>"
        "<key>SerialNumber</key><string>net-1</string></dict></dict>\n"
        "<dict><key>Properties</key><dict><key>ConnectionType</key><string>USB</string></dict></dict>\n"
        "<dict><key>DeviceID</key><string>9</string></dict>\n"
        "<dict><key>DeviceID</key><integer>5</integer><key>Properties</key><dict>"
        "<key>ConnectionType</key><string>USB</string><key>SerialNumber</key><string>00008030-ABC</string>"
        "<key>LocationID</key><integer>1</integer></dict></dict>\n"
        "<dict><key>DeviceID</key><integer>6</integer></dict>\n"
        "<dict><key>DeviceID</key><integer>8</integer><key>Properties</key><string>odd</string></dict>\n"
        "<string>not a device</string>\n"
        "</array>\n");
  });
  const auto devices = UsbmuxClient::listDevices(at(fake));
  const std::vector<Device> expected = {
      {3, "net-1", "Network"}, {5, "00008030-ABC", "USB"}, {6, "?", "?"}, {8, "?", "?"}};
  EXPECT_EQ(devices, expected);
  EXPECT_FALSE(devices[0].isUSB());
  EXPECT_TRUE(devices[1].isUSB());
  EXPECT_FALSE(devices[2].isUSB());
}

TEST(UsbmuxClientTest, ReplyWithoutDeviceListNamesItsKeys) {
  FakeUsbmuxd fake([](const auto&) {
    return sendDict("<key>Number</key><integer>1</integer><key>MessageType</key><string>Result</string>\n");
  });
  const auto e = caught([&] { UsbmuxClient::listDevices(at(fake)); });
  EXPECT_EQ(e.kind, UsbmuxError::Kind::badReply);
  EXPECT_EQ(e.description(), "usbmuxd bad reply: no DeviceList in [\"MessageType\", \"Number\"]");
}

// --- Connect ----------------------------------------------------------------------

TEST(UsbmuxClientTest, ConnectResultZeroReturnsTheControlSocketAsTheTunnel) {
  FakeUsbmuxd fake([](const auto&) {
    auto reply = sendDict("<key>MessageType</key><string>Result</string><key>Number</key><integer>0</integer>\n");
    reply.tunnel = true;
    return reply;
  });
  const int tunnel = UsbmuxClient::connect(5, 27184, at(fake, 2000));
  ASSERT_GE(tunnel, 0);
  const int device = fake.takeTunnel();
  ASSERT_GE(device, 0);
  // The exchange's time-outs are gone: the wire session reads at its own pace.
  timeval tv{1, 1};
  socklen_t len = sizeof tv;
  ASSERT_EQ(::getsockopt(tunnel, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_EQ(tv.tv_usec, 0);
  tv = {1, 1};
  ASSERT_EQ(::getsockopt(tunnel, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_EQ(tv.tv_usec, 0);
  // Bytes flow both ways, nothing of the reply left over.
  ASSERT_EQ(::send(device, "ping", 4, MSG_NOSIGNAL), 4);
  char buf[8] = {};
  ASSERT_EQ(::recv(tunnel, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  ASSERT_EQ(::send(tunnel, "pong", 4, MSG_NOSIGNAL), 4);
  ASSERT_EQ(::recv(device, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "pong");
  ::close(tunnel);
  ::close(device);
}

TEST(UsbmuxClientTest, ConnectAcceptsABinaryPropertyList) {
  // {"Number": 0} in the binary format, assembled by hand.
  const auto body = test::fromHex(
      "62706c697374303" "0" "d10102" "564e756d626572" "1000" "080b12" "000000000000" "0101"
      "0000000000000003" "0000000000000000" "0000000000000014");
  FakeUsbmuxd fake([&](const auto&) {
    Reply reply = sendRaw(FakeUsbmuxd::message(std::string(body.begin(), body.end())));
    reply.tunnel = true;
    return reply;
  });
  const int tunnel = UsbmuxClient::connect(1, 80, at(fake));
  EXPECT_GE(tunnel, 0);
  ::close(tunnel);
}

TEST(UsbmuxClientTest, RefusalsCarryTheResultNumberAndItsMeaning) {
  struct Case {
    int number;
    std::string description;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {2, "usbmuxd Connect refused: Result 2 (device not connected)", "connectRefused(2)"},
      {3, "usbmuxd Connect refused: Result 3 (port not available — is the app listening?)", "connectRefused(3)"},
      {1, "usbmuxd Connect refused: Result 1", "connectRefused(1)"},
      {6, "usbmuxd Connect refused: Result 6", "connectRefused(6)"},
  };
  for (const auto& c : cases) {
    FakeUsbmuxd fake([&](const auto&) {
      return sendDict("<key>Number</key><integer>" + std::to_string(c.number) + "</integer>\n");
    });
    const auto e = caught([&] { UsbmuxClient::connect(5, 27184, at(fake)); });
    EXPECT_EQ(e.kind, UsbmuxError::Kind::connectRefused);
    EXPECT_EQ(e.result, c.number);
    EXPECT_EQ(e.description(), c.description);
    EXPECT_STREQ(e.what(), c.printed.c_str());
    // The control socket is closed on refusal.
    EXPECT_TRUE(fake.waitForClientCloses(1));
  }
}

TEST(UsbmuxClientTest, ConnectReplyWithoutNumberIsABadReply) {
  FakeUsbmuxd fake([](const auto&) { return sendDict("<key>Number</key><string>0</string>\n"); });
  const auto e = caught([&] { UsbmuxClient::connect(5, 27184, at(fake)); });
  EXPECT_EQ(e.kind, UsbmuxError::Kind::badReply);
  EXPECT_EQ(e.description(), "usbmuxd bad reply: no Number in Connect reply [\"Number\"]");
  EXPECT_TRUE(fake.waitForClientCloses(1));
}

// --- Hostile and broken replies -----------------------------------------------------

TEST(UsbmuxClientTest, ImplausibleLengthsFailBeforeAnyBodyIsRead) {
  for (uint32_t length : {0u, 15u, 0x800001u, 0xFFFFFFFFu}) {
    // Only the header arrives; a client that waited for the body would hang here.
    FakeUsbmuxd fake([&](const auto&) {
      return sendRaw({uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24), 1, 0, 0,
                      0, 8, 0, 0, 0, 1, 0, 0, 0});
    });
    const auto e = caught([&] { UsbmuxClient::listDevices(at(fake)); });
    EXPECT_EQ(e.kind, UsbmuxError::Kind::badReply);
    EXPECT_EQ(e.description(), "usbmuxd bad reply: implausible length " + std::to_string(length));
    EXPECT_STREQ(e.what(), ("badReply(\"implausible length " + std::to_string(length) + "\")").c_str());
  }
}

TEST(UsbmuxClientTest, BodiesThatAreNotADictionaryAreRejected) {
  const std::vector<std::string> bodies = {
      "",  // length exactly 16
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>DeviceList</string></plist>",
      "not a property list at all",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>DeviceList</key><array>",
      std::string("bplist00\xd1\x01\x02", 11),
      // {"N\0o": 0} with a UTF-16 key: the library would abort the process
      // when the missing DeviceList made the client name the reply's keys.
      [] {
        const auto bytes = test::fromHex(
            "62706c6973743030" "d10102" "63004e0000006f" "1000" "080b12" "000000000000" "0101"
            "0000000000000003" "0000000000000000" "0000000000000014");
        return std::string(bytes.begin(), bytes.end());
      }(),
      // Nested 200000 deep, far past a device list's four levels: the
      // library's recursion would overflow the stack.
      [] {
        std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>DeviceList</key>";
        for (int i = 0; i < 200000; ++i) xml += "<array>";
        for (int i = 0; i < 200000; ++i) xml += "</array>";
        return xml + "</dict></plist>";
      }(),
      [] {
        // {"DeviceList": [[[...]]]} in the binary format: 4-byte references and offsets.
        const uint32_t levels = 200000, objects = levels + 2;
        auto be32 = [](std::string& out, uint32_t v) {
          for (int shift = 24; shift >= 0; shift -= 8) out += char(v >> shift);
        };
        std::string bin = "bplist00", offsets;
        be32(offsets, uint32_t(bin.size()));
        bin += '\xd1';
        be32(bin, 1);
        be32(bin, 2);
        be32(offsets, uint32_t(bin.size()));
        bin += "\x5a" "DeviceList";
        for (uint32_t i = 0; i < levels; ++i) {
          be32(offsets, uint32_t(bin.size()));
          bin += i + 1 < levels ? '\xa1' : '\xa0';
          if (i + 1 < levels) be32(bin, 3 + i);
        }
        const auto table = uint32_t(bin.size());
        bin += offsets + std::string(6, '\0') + "\x04\x04" + std::string(4, '\0');
        be32(bin, objects);
        bin += std::string(8 + 4, '\0');  // top object 0, then the table's offset
        be32(bin, table);
        return bin;
      }(),
  };
  for (const auto& body : bodies) {
    FakeUsbmuxd fake([&](const auto&) { return sendBody(body); });
    const auto e = caught([&] { UsbmuxClient::listDevices(at(fake)); });
    EXPECT_EQ(e.kind, UsbmuxError::Kind::badReply) << body;
    EXPECT_EQ(e.description(), "usbmuxd bad reply: body is not a plist dict") << body;
    EXPECT_TRUE(fake.waitForClientCloses(1));
  }
}

TEST(UsbmuxClientTest, ShortReplyAndClosedConnectionAreIoErrors) {
  FakeUsbmuxd closing([](const auto&) { return Reply{Reply::Action::close, {}, false}; });
  auto e = caught([&] { UsbmuxClient::listDevices(at(closing)); });
  EXPECT_EQ(e.kind, UsbmuxError::Kind::io);
  EXPECT_EQ(e.description(), "usbmuxd I/O: read EOF/err after 0/16: errno 0");

  // The header promises 100 bytes of body; 10 arrive, then the daemon closes.
  FakeUsbmuxd shortBody([](const auto&) {
    auto bytes = FakeUsbmuxd::message(std::string(100, ' '));
    bytes.resize(26);
    Reply reply = sendRaw(bytes);
    reply.closeAfter = true;
    return reply;
  });
  e = caught([&] { UsbmuxClient::listDevices(at(shortBody)); });
  EXPECT_EQ(e.kind, UsbmuxError::Kind::io);
  EXPECT_EQ(e.description(), "usbmuxd I/O: read EOF/err after 10/100: errno 0");
}

TEST(UsbmuxClientTest, ADaemonThatNeverAnswersTimesOut) {
  FakeUsbmuxd fake([](const auto&) { return Reply{Reply::Action::hang, {}, false}; });
  auto e = caught([&] { UsbmuxClient::listDevices(at(fake, 100)); });
  EXPECT_EQ(e.kind, UsbmuxError::Kind::io);
  EXPECT_EQ(e.description(), "usbmuxd I/O: read EOF/err after 0/16: errno " + std::to_string(ETIMEDOUT));
  e = caught([&] { UsbmuxClient::connect(1, 27184, at(fake, 100)); });
  EXPECT_EQ(e.kind, UsbmuxError::Kind::io);
}

TEST(UsbmuxClientTest, AMissingDaemonIsUnreachableNotAnEmptyList) {
  const std::string path = FakeUsbmuxd::freshPath();
  auto e = caught([&] { UsbmuxClient::listDevices({path, 1000}); });
  EXPECT_EQ(e.kind, UsbmuxError::Kind::connectSocket);
  EXPECT_EQ(e.err, ENOENT);
  EXPECT_TRUE(e.daemonUnreachable());
  EXPECT_EQ(e.description(), "connect(" + path + ") failed: No such file or directory (errno 2)");
  EXPECT_STREQ(e.what(), ("connectSocket(" + std::to_string(ENOENT) + ")").c_str());

  e = caught([&] { UsbmuxClient::connect(1, 27184, {std::string(200, 'x'), 1000}); });
  EXPECT_EQ(e.kind, UsbmuxError::Kind::connectSocket);
  EXPECT_EQ(e.err, ENAMETOOLONG);
}

TEST(UsbmuxClientTest, ErrorTextsForTheDefaultPath) {
  EXPECT_EQ(UsbmuxError::connectSocket(2).description(),
            "connect(/var/run/usbmuxd) failed: No such file or directory (errno 2)");
  EXPECT_EQ(UsbmuxError::socket(24).description(), "usbmuxd socket() failed: Too many open files (errno 24)");
  EXPECT_STREQ(UsbmuxError::socket(24).what(), "socket(24)");
  EXPECT_EQ(UsbmuxError::io("x").description(), "usbmuxd I/O: x");
  EXPECT_STREQ(UsbmuxError::io("x").what(), "io(\"x\")");
  EXPECT_FALSE(UsbmuxError::io("x").daemonUnreachable());
  EXPECT_EQ(UsbmuxClient::Endpoint{}.socketPath, "/var/run/usbmuxd");
}

}  // namespace
}  // namespace lumenrail
