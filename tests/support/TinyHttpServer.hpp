#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/NamedThread.hpp"
#include "support/Waiting.hpp"

namespace lumenrail::test {

// A plain-HTTP server on 127.0.0.1 (ephemeral port) for client tests: one
// request per connection, canned responses by path, 404 for anything else.
class TinyHttpServer final {
 public:
  struct Response {
    int status = 200;
    std::string body;
    // Without a length the body ends when the connection closes.
    bool sendContentLength = true;
    // This many spaces follow `body` (for bodies too large to build).
    size_t trailingSpaces = 0;
    // Headers go out at once; the body waits for release().
    bool holdBody = false;
  };

  TinyHttpServer();
  ~TinyHttpServer();
  TinyHttpServer(const TinyHttpServer&) = delete;
  TinyHttpServer& operator=(const TinyHttpServer&) = delete;

  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const;
  void respond(const std::string& path, Response response);
  // Lets every held body (and every later one) go.
  void release();

  std::vector<std::string> requestLines() const;

  EventCounter requests;           // a request was read
  EventCounter holding;            // headers sent, body held
  EventCounter peerClosedWhileHeld;
  EventCounter bodyCutShort;       // the peer closed before the whole body was sent
  EventCounter bodySent;           // a whole body went out

 private:
  void acceptLoop();
  void serve(int fd);
  bool sendAll(int fd, const char* data, size_t size);

  int listenFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  // Readable once the server is being destroyed.
  int stopRead_ = -1;
  int stopWrite_ = -1;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, Response> routes_;
  std::vector<std::string> requestLines_;
  std::vector<std::thread> connections_;
  bool stopping_ = false;
  NamedThread acceptThread_;
};

// A loopback port that refuses every connection: a socket bound to it that
// never listens, held for this object's life so no other test can take it.
class RefusingPort final {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace lumenrail::test
