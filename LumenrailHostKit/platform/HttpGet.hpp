#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.hpp"

namespace lumenrail {

// Cancels one transfer from any thread. The transfer notices at once, not at
// its next network event, so whoever cancels never waits for the network.
class HttpCancel final {
 public:
  HttpCancel() = default;
  HttpCancel(const HttpCancel&) = delete;
  HttpCancel& operator=(const HttpCancel&) = delete;

  void cancel();
  bool isCancelled() const;

 private:
  friend struct HttpTransfer;
  // Set while a transfer polls; a cancel wakes that poll.
  void attach(void* multi);
  void detach();

  mutable std::mutex mutex_;
  bool cancelled_ = false;
  void* multi_ = nullptr;
};

struct HttpGetOptions {
  int64_t connectTimeoutMs = 10'000;
  // The transfer fails when no byte arrives for this long.
  int64_t idleTimeoutMs = 10'000;
  int64_t totalTimeoutMs = 20'000;
  // A body over this size ends the transfer as it arrives.
  size_t maxBodyBytes = 65'536;
};

struct HttpGetResult {
  // Why the transfer failed, when it did for a reason other than the body
  // size or a cancel.
  std::optional<std::string> error;
  // The final HTTP status; 0 when no HTTP response arrived.
  int64_t status = 0;
  bool bodyTooLarge = false;
  bool cancelled = false;
  Bytes body;

  bool operator==(const HttpGetResult&) const = default;
};

// One GET over http or https without cookies, cache or extra headers;
// redirects are followed, to https only unless the request itself was http.
// Blocks the calling thread until the transfer ends.
HttpGetResult httpGet(const std::string& url, const HttpGetOptions& options, HttpCancel* cancel = nullptr);

// True when `text` is an absolute URL with a scheme (any scheme) that the URL
// parser accepts as it stands.
bool isWellFormedUrl(std::string_view text);

}  // namespace lumenrail
