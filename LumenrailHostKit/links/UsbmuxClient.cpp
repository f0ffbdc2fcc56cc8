#include "links/UsbmuxClient.hpp"

#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/ByteOrder.hpp"
#include "platform/Bytes.hpp"
#include "platform/CReply.hpp"
#include "platform/Clock.hpp"

namespace lumenrail::UsbmuxClient {

std::string socketPathFromEnvironment() {
  const char* value = std::getenv("USBMUXD_SOCKET_ADDRESS");
  if (!value) return defaultSocketPath;
  std::string_view text = value;
  if (text.starts_with("UNIX:")) text.remove_prefix(5);
  // A TCP address ("host:port") is not a socket this client can use.
  if (!text.starts_with("/")) return defaultSocketPath;
  return std::string(text);
}

// --- Errors -------------------------------------------------------------------

UsbmuxError::UsbmuxError(Kind k) : kind(k) {}

UsbmuxError UsbmuxError::socket(int32_t err) {
  UsbmuxError e(Kind::socket);
  e.err = err;
  e.print();
  return e;
}

UsbmuxError UsbmuxError::connectSocket(int32_t err, const std::string& path) {
  UsbmuxError e(Kind::connectSocket);
  e.err = err;
  e.path = path;
  e.print();
  return e;
}

UsbmuxError UsbmuxError::io(std::string text) {
  UsbmuxError e(Kind::io);
  e.text = std::move(text);
  e.print();
  return e;
}

UsbmuxError UsbmuxError::badReply(std::string text) {
  UsbmuxError e(Kind::badReply);
  e.text = std::move(text);
  e.print();
  return e;
}

UsbmuxError UsbmuxError::connectRefused(int64_t result) {
  UsbmuxError e(Kind::connectRefused);
  e.result = result;
  e.print();
  return e;
}

void UsbmuxError::print() {
  switch (kind) {
    case Kind::socket: printed_ = "socket(" + std::to_string(err) + ")"; break;
    case Kind::connectSocket: printed_ = "connectSocket(" + std::to_string(err) + ")"; break;
    case Kind::io: printed_ = "io(\"" + text + "\")"; break;
    case Kind::badReply: printed_ = "badReply(\"" + text + "\")"; break;
    case Kind::connectRefused: printed_ = "connectRefused(" + std::to_string(result) + ")"; break;
  }
}

namespace {

// "No such file or directory (errno 2)": the words for the user, the number for a search.
std::string errnoText(int32_t err) { return std::string(std::strerror(err)) + " (errno " + std::to_string(err) + ")"; }

}  // namespace

std::string UsbmuxError::description() const {
  switch (kind) {
    case Kind::socket: return "usbmuxd socket() failed: " + errnoText(err);
    case Kind::connectSocket: return "connect(" + path + ") failed: " + errnoText(err);
    case Kind::io: return "usbmuxd I/O: " + text;
    case Kind::badReply: return "usbmuxd bad reply: " + text;
    case Kind::connectRefused: {
      std::string s = "usbmuxd Connect refused: Result " + std::to_string(result);
      if (result == 2) s += " (device not connected)";
      if (result == 3) s += " (port not available — is the app listening?)";
      return s;
    }
  }
  return {};
}

// --- The exchange -------------------------------------------------------------

namespace {

constexpr uint32_t kHeaderLength = 16;
constexpr uint32_t kVersion = 1;
constexpr uint32_t kMessagePlist = 8;
constexpr uint32_t kTagListDevices = 1;
constexpr uint32_t kTagConnect = 2;

struct PlistFree {
  void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

// Closes the control socket unless the caller takes it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool setTimeout(int fd, int option, int64_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

int openControlSocket(const Endpoint& endpoint) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw UsbmuxError::socket(errno);
  Fd guard(fd);
  // Set before connect: on a Unix socket the send time-out also bounds a
  // connect to a daemon whose backlog is full.
  if (endpoint.timeoutMs > 0) {
    setTimeout(fd, SO_SNDTIMEO, endpoint.timeoutMs);
    setTimeout(fd, SO_RCVTIMEO, endpoint.timeoutMs);
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (endpoint.socketPath.empty() || endpoint.socketPath.size() >= sizeof addr.sun_path) {
    throw UsbmuxError::connectSocket(ENAMETOOLONG, endpoint.socketPath);
  }
  std::memcpy(addr.sun_path, endpoint.socketPath.data(), endpoint.socketPath.size());
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) break;
    if (errno == EINTR) continue;
    throw UsbmuxError::connectSocket(errno, endpoint.socketPath);
  }
  return guard.release();
}

using ByteOrder::appendLE32;

Bytes encode(plist_t dict, uint32_t tag) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(dict, &xml, &length);
  if (!xml) throw UsbmuxError::io("cannot serialise the request");
  Bytes out;
  out.reserve(size_t(length) + kHeaderLength);
  appendLE32(out, length + kHeaderLength);
  appendLE32(out, kVersion);
  appendLE32(out, kMessagePlist);
  appendLE32(out, tag);
  out.insert(out.end(), xml, xml + length);
  plist_to_xml_free(xml);
  return out;
}

void writeAll(int fd, const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw UsbmuxError::io("write failed: errno " + std::to_string(n < 0 ? errno : 0));
    sent += size_t(n);
  }
}

// Every wait is bounded by the exchange's deadline (0: none), so a daemon that
// trickles bytes cannot stretch one exchange past its time-out.
void readAll(int fd, uint8_t* out, size_t count, uint64_t deadlineNs) {
  size_t got = 0;
  while (got < count) {
    if (deadlineNs != 0) {
      const uint64_t now = uptimeNs();
      const int leftMs = now >= deadlineNs ? 0 : int(std::min<uint64_t>((deadlineNs - now + kNsPerMs - 1) / kNsPerMs, 60'000));
      pollfd p{fd, POLLIN, 0};
      const int r = leftMs > 0 ? ::poll(&p, 1, leftMs) : 0;
      if (r < 0 && errno == EINTR) continue;
      if (r == 0) {
        throw UsbmuxError::io("read EOF/err after " + std::to_string(got) + "/" + std::to_string(count) +
                              ": errno " + std::to_string(ETIMEDOUT));
      }
    }
    const ssize_t n = ::recv(fd, out + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw UsbmuxError::io("read EOF/err after " + std::to_string(got) + "/" + std::to_string(count) +
                            ": errno " + std::to_string(n < 0 ? errno : 0));
    }
    got += size_t(n);
  }
}

Bytes recv(int fd, uint64_t deadlineNs) {
  uint8_t header[kHeaderLength];
  readAll(fd, header, sizeof header, deadlineNs);
  const uint32_t length = ByteOrder::readLE32(ByteView(header, sizeof header), 0);
  if (length < kHeaderLength || length > maxReplyLength) {
    throw UsbmuxError::badReply("implausible length " + std::to_string(length));
  }
  Bytes body(length - kHeaderLength);
  if (!body.empty()) readAll(fd, body.data(), body.size(), deadlineNs);
  return body;
}

// libplist keeps a NUL character inside a binary plist's text, and reading
// such a key back aborts the process (an assertion in the library). Its XML
// form writes the NUL out, which no daemon's reply carries.
bool holdsNulCharacter(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  const bool nul = xml == nullptr || std::memchr(xml, 0, length) != nullptr;
  plist_to_xml_free(xml);
  return nul;
}

// libplist parses, writes and frees a plist recursively: a reply nested a few
// hundred thousand levels deep would overflow the stack. A device list is four
// levels deep, so an XML body nested past 32 levels is refused, and a binary
// one of more than 4096 objects (it cannot have more levels than objects).
constexpr int kMaxXmlNesting = 32;
constexpr uint64_t kMaxBinaryObjects = 4096;

bool tooDeepForTheLibrary(ByteView body, bool binary) {
  if (binary) {
    constexpr size_t kTrailer = 32;  // ... object count (BE64), top object, offset table offset
    if (body.size() < 8 + kTrailer) return false;
    uint64_t objects = 0;
    for (size_t i = body.size() - 24; i < body.size() - 16; ++i) objects = objects << 8 | body[i];
    return objects > kMaxBinaryObjects;
  }
  const std::string_view xml(reinterpret_cast<const char*>(body.data()), body.size());
  int depth = 0;
  for (size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    const size_t end = xml.find('>', at);
    if (end == std::string_view::npos) break;
    const std::string_view tag = xml.substr(at + 1, end - at - 1);
    if (tag == "/array" || tag == "/dict") {
      --depth;
    } else if ((tag.starts_with("array") || tag.starts_with("dict")) && !tag.ends_with("/")) {
      if (++depth > kMaxXmlNesting) return true;
    }
  }
  return false;
}

Plist replyDictionary(ByteView body) {
  const auto* text = reinterpret_cast<const char*>(body.data());
  const bool binary = plist_is_binary(text, uint32_t(body.size())) != 0;
  if (tooDeepForTheLibrary(body, binary)) throw UsbmuxError::badReply("body is not a plist dict");
  plist_t parsed = nullptr;
  if (!body.empty()) plist_from_memory(text, uint32_t(body.size()), &parsed);
  Plist reply(parsed);
  if (!reply || plist_get_node_type(parsed) != PLIST_DICT ||
      (binary && holdsNulCharacter(parsed))) {
    throw UsbmuxError::badReply("body is not a plist dict");
  }
  return reply;
}

// The reply's keys as a sorted list, for error texts.
std::string printedKeys(plist_t dict) {
  std::vector<std::string> keys;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dict, &it);
  const CReply<void> iteration(it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dict, it, &key, &value);
    const auto owned = ownReply(key);
    if (!owned) break;
    keys.emplace_back(owned.get());
  }
  std::sort(keys.begin(), keys.end());
  std::string out = "[";
  for (size_t i = 0; i < keys.size(); ++i) out += (i ? ", \"" : "\"") + keys[i] + "\"";
  return out + "]";
}

std::string stringOr(plist_t dict, const char* key, std::string fallback) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_STRING) return fallback;
  uint64_t length = 0;
  const char* s = plist_get_string_ptr(node, &length);
  return s ? std::string(s, size_t(length)) : fallback;
}

std::optional<int64_t> integer(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  uint64_t v = 0;
  plist_get_uint_val(node, &v);
  return static_cast<int64_t>(v);  // the library keeps negative values two's complement
}

Plist request(const char* messageType) {
  Plist dict(plist_new_dict());
  plist_dict_set_item(dict.get(), "MessageType", plist_new_string(messageType));
  return dict;
}

void addClientFields(plist_t dict) {
  plist_dict_set_item(dict, "ClientVersionString", plist_new_string("lumenrail-host"));
  plist_dict_set_item(dict, "ProgName", plist_new_string("lumenrailhost"));
  plist_dict_set_item(dict, "kLibUSBMuxVersion", plist_new_uint(3));
}

uint64_t deadlineFor(const Endpoint& endpoint) {
  return endpoint.timeoutMs > 0 ? uptimeNs() + uint64_t(endpoint.timeoutMs) * kNsPerMs : 0;
}

}  // namespace

uint16_t networkOrderPort(uint16_t port) { return static_cast<uint16_t>((port >> 8) | (port << 8)); }

std::vector<Device> devicesFromReply(ByteView body) {
  Plist reply = replyDictionary(body);
  plist_t list = plist_dict_get_item(reply.get(), "DeviceList");
  if (!list || plist_get_node_type(list) != PLIST_ARRAY) {
    throw UsbmuxError::badReply("no DeviceList in " + printedKeys(reply.get()));
  }
  std::vector<Device> devices;
  const uint32_t count = plist_array_get_size(list);
  for (uint32_t i = 0; i < count; ++i) {
    plist_t entry = plist_array_get_item(list, i);
    if (!entry || plist_get_node_type(entry) != PLIST_DICT) continue;
    const auto id = integer(entry, "DeviceID");
    if (!id) continue;
    Device device;
    device.deviceID = *id;
    plist_t props = plist_dict_get_item(entry, "Properties");
    if (props && plist_get_node_type(props) == PLIST_DICT) {
      device.serial = stringOr(props, "SerialNumber", "?");
      device.connectionType = stringOr(props, "ConnectionType", "?");
    }
    devices.push_back(std::move(device));
  }
  return devices;
}

int64_t connectResultFromReply(ByteView body) {
  Plist reply = replyDictionary(body);
  const auto number = integer(reply.get(), "Number");
  if (!number) throw UsbmuxError::badReply("no Number in Connect reply " + printedKeys(reply.get()));
  return *number;
}

std::vector<Device> listDevices(const Endpoint& endpoint) {
  const uint64_t deadline = deadlineFor(endpoint);
  Fd fd(openControlSocket(endpoint));
  Plist req = request("ListDevices");
  addClientFields(req.get());
  writeAll(fd.get(), encode(req.get(), kTagListDevices));
  return devicesFromReply(recv(fd.get(), deadline));
}

int connect(int64_t deviceID, uint16_t port, const Endpoint& endpoint) {
  const uint64_t deadline = deadlineFor(endpoint);
  Fd fd(openControlSocket(endpoint));
  Plist req = request("Connect");
  plist_dict_set_item(req.get(), "DeviceID", plist_new_uint(static_cast<uint64_t>(deviceID)));
  plist_dict_set_item(req.get(), "PortNumber", plist_new_uint(networkOrderPort(port)));
  addClientFields(req.get());
  writeAll(fd.get(), encode(req.get(), kTagConnect));
  const int64_t number = connectResultFromReply(recv(fd.get(), deadline));
  if (number != 0) throw UsbmuxError::connectRefused(number);
  // From here on the socket is the device's byte stream, read and written by
  // the wire session at its own pace: the exchange's time-outs must not apply.
  setTimeout(fd.get(), SO_SNDTIMEO, 0);
  setTimeout(fd.get(), SO_RCVTIMEO, 0);
  return fd.release();
}

}  // namespace lumenrail::UsbmuxClient
