#pragma once

// A stand-in for usbmuxd on a socket path of the test's own. It reads each
// request with its own small reader (header fields, and the flat request
// dictionary pulled out of the XML text) and answers with the bytes the test
// wrote by hand, so the client is checked against an independent reading of
// the exchange.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

namespace lumenrail::test {

class FakeUsbmuxd {
 public:
  struct Request {
    uint32_t length = 0, version = 0, type = 0, tag = 0;
    std::string body;
    std::map<std::string, std::string> strings;  // <key>K</key><string>V</string>
    std::map<std::string, int64_t> integers;     // <key>K</key><integer>N</integer>
  };

  struct Reply {
    enum class Action { send, hang, close };
    Action action = Action::send;
    std::vector<uint8_t> bytes;  // sent as they stand
    // After the bytes the connection is the device's end of a tunnel; the test takes it.
    bool tunnel = false;
    // Close right after the bytes instead of waiting for the client to close.
    bool closeAfter = false;
  };

  using Handler = std::function<Reply(const Request&)>;

  // Listens on a fresh path under the temporary directory.
  explicit FakeUsbmuxd(Handler handler);
  // Listens on `path` (which must not exist yet).
  FakeUsbmuxd(std::string path, Handler handler);
  ~FakeUsbmuxd();
  FakeUsbmuxd(const FakeUsbmuxd&) = delete;
  FakeUsbmuxd& operator=(const FakeUsbmuxd&) = delete;

  const std::string& path() const { return path_; }
  std::vector<Request> requests() const;
  int requestCount() const;
  bool waitForRequests(int count, int timeoutMs = 10000) const;
  // Connections that the client closed after a reply.
  int clientCloses() const;
  bool waitForClientCloses(int count, int timeoutMs = 10000) const;
  // The device end of the next tunnel, or -1 when none comes in time; the caller owns it.
  int takeTunnel(int timeoutMs = 10000);

  // A whole message: the 16-byte header (length, version 1, type 8, tag) and the body.
  static std::vector<uint8_t> message(const std::string& body, uint32_t tag = 0);
  // An XML property list document around the given dictionary contents.
  static std::string plistDict(const std::string& inner);
  // A fresh socket path that nothing listens on.
  static std::string freshPath();

  // Device lists (the DeviceList dictionary contents): device 3 over the
  // network ("net-1") and device 5 on USB ("usb-5"), or device 3 alone.
  static const std::string kNetworkAndUsbDevices;
  static const std::string kNetworkDeviceOnly;
  // A reply carrying a dictionary with these contents.
  static Reply dictReply(const std::string& inner);
  // The Result reply to Connect; 0 opens a tunnel.
  static Reply resultReply(int number);
  static bool isListDevices(const Request& request);

 private:
  void serve();
  void handle(int fd);

  std::string path_;
  Handler handler_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<Request> requests_;
  std::vector<int> tunnels_;
  std::vector<int> held_;
  int clientCloses_ = 0;
};

}  // namespace lumenrail::test
