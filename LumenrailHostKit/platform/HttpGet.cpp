#include "platform/HttpGet.hpp"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace lumenrail {

namespace {

void ensureCurlGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

bool startsWithHttpScheme(std::string_view url) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  const std::string_view prefix = "http:";
  if (url.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (lower(url[i]) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

void HttpCancel::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

bool HttpCancel::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void HttpCancel::attach(void* multi) {
  std::lock_guard lock(mutex_);
  multi_ = multi;
}

void HttpCancel::detach() {
  // Under the lock, so no wakeup can reach a multi handle being cleaned up.
  std::lock_guard lock(mutex_);
  multi_ = nullptr;
}

struct HttpTransfer {
  HttpGetResult result;
  size_t maxBodyBytes = 0;
  HttpCancel* cancel = nullptr;

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<HttpTransfer*>(user);
    const size_t n = size * count;
    if (self->cancel != nullptr && self->cancel->isCancelled()) return 0;
    // Stop while downloading: an oversized body is never held whole.
    if (n > self->maxBodyBytes - self->result.body.size()) {
      self->result.bodyTooLarge = true;
      return 0;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    self->result.body.insert(self->result.body.end(), bytes, bytes + n);
    return n;
  }

  static void attach(HttpCancel* cancel, CURLM* multi) {
    if (cancel != nullptr) cancel->attach(multi);
  }
  static void detach(HttpCancel* cancel) {
    if (cancel != nullptr) cancel->detach();
  }
};

HttpGetResult httpGet(const std::string& url, const HttpGetOptions& options, HttpCancel* cancel) {
  ensureCurlGlobalInit();
  HttpTransfer transfer;
  transfer.maxBodyBytes = options.maxBodyBytes;
  transfer.cancel = cancel;
  HttpGetResult& result = transfer.result;

  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!easy || !multi) {
    result.error = "could not create a transfer";
    return result;
  }
  char errorText[CURL_ERROR_SIZE] = {0};
  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);  // threads: no SIGALRM for name look-ups
  // A cancelled or finished transfer abandons a look-up still running on
  // libcurl's resolver thread instead of joining it: a slow name server must
  // not hold up whoever cancels.
  curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
  // A plain-http request is a local override; real checks never downgrade.
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, startsWithHttpScheme(url) ? "http,https" : "https");
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeoutMs));
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeoutMs));
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, static_cast<long>((options.idleTimeoutMs + 999) / 1000));
  // Refuses a declared length over the cap before any body byte arrives.
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxBodyBytes));
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &HttpTransfer::onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
  // No cookie engine is enabled, and libcurl keeps no cache.

  if (curl_multi_add_handle(multi.get(), e) != CURLM_OK) {
    result.error = "could not start the transfer";
    return result;
  }
  HttpTransfer::attach(cancel, multi.get());

  CURLcode code = CURLE_OK;
  bool done = false;
  int running = 1;
  while (!done) {
    if (cancel != nullptr && cancel->isCancelled()) {
      result.cancelled = true;
      break;
    }
    const CURLMcode mc = curl_multi_perform(multi.get(), &running);
    if (mc != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      result.error = curl_multi_strerror(mc);
      break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) {
        code = msg->data.result;
        done = true;
      }
    }
    if (done || running == 0) break;
    // Wakes on socket activity, on libcurl's own timers, or on a cancel.
    if (curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK) {
      result.error = "transfer poll failed";
      break;
    }
  }
  HttpTransfer::detach(cancel);

  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  result.status = status;
  curl_multi_remove_handle(multi.get(), e);

  if (result.cancelled || (cancel != nullptr && cancel->isCancelled())) {
    result.cancelled = true;
    result.error.reset();
    return result;
  }
  if (result.error) return result;
  if (code == CURLE_FILESIZE_EXCEEDED) result.bodyTooLarge = true;
  if (result.bodyTooLarge) {
    // The size cap, not the network, ended the transfer.
    result.body.clear();
    return result;
  }
  if (code != CURLE_OK) {
    result.error = errorText[0] != '\0' ? std::string(errorText) : std::string(curl_easy_strerror(code));
  }
  return result;
}

bool isWellFormedUrl(std::string_view text) {
  if (text.empty()) return false;
  std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
  if (!handle) return false;
  const std::string copy(text);
  return curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
}

}  // namespace lumenrail
