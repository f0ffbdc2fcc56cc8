#include "links/AvahiPublisher.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

namespace lumenrail {

namespace {

// Avahi wants names without the root label's dot.
std::string withoutTrailingDot(std::string s) {
  while (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

// Built back to front: Avahi prepends, so the record comes out in key order.
AvahiStringList* stringList(const TxtRecord& txt) {
  AvahiStringList* list = nullptr;
  for (auto it = txt.rbegin(); it != txt.rend(); ++it) {
    list = avahi_string_list_add_pair_arbitrary(list, it->first.c_str(),
                                                reinterpret_cast<const uint8_t*>(it->second.data()),
                                                it->second.size());
  }
  return list;
}

class PollLock {
 public:
  explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) { avahi_threaded_poll_lock(poll_); }
  ~PollLock() { avahi_threaded_poll_unlock(poll_); }
  PollLock(const PollLock&) = delete;
  PollLock& operator=(const PollLock&) = delete;

 private:
  AvahiThreadedPoll* poll_;
};

constexpr const char* kNoDaemon =
    " — discovery is off: no avahi-daemon runs on this computer, so devices cannot find it by name;"
    " they can still join with the pairing link or its QR code";

// Without the daemon nothing on the network learns of this host; say so in a
// user's words, and that the pairing link (printed by a serve, shown by the
// tray's QR window) does not need it.
std::string describe(int error) {
  std::string text = avahi_strerror(error);
  if (error == AVAHI_ERR_NO_DAEMON) text += kNoDaemon;
  return text;
}

}  // namespace

struct AvahiPublisher::Callbacks {
  static void client(AvahiClient* c, AvahiClientState state, void* userdata) {
    auto* self = static_cast<AvahiPublisher*>(userdata);
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self->running_ = true;
        if (self->wanted_) self->addService(c);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon's host name changed; our records come back once it runs again.
        self->running_ = false;
        if (self->group_) avahi_entry_group_reset(self->group_);
        break;
      case AVAHI_CLIENT_FAILURE:
        self->running_ = false;
        self->fail(describe(avahi_client_errno(c)));
        break;
      case AVAHI_CLIENT_CONNECTING:
        // Only while no daemon answers; the service goes up once one does.
        self->running_ = false;
        self->fail(std::string(avahi_strerror(AVAHI_ERR_NO_DAEMON)) + kNoDaemon + " (published once it runs)");
        break;
    }
  }

  static void group(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
    auto* self = static_cast<AvahiPublisher*>(userdata);
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        if (self->listener_.published) self->listener_.published(self->name_);
        break;
      case AVAHI_ENTRY_GROUP_COLLISION: {
        // Someone else on the link has this name: take the next alternative.
        char* alternative = avahi_alternative_service_name(self->name_.c_str());
        self->name_ = alternative;
        avahi_free(alternative);
        avahi_entry_group_reset(g);
        self->addService(avahi_entry_group_get_client(g));
        break;
      }
      case AVAHI_ENTRY_GROUP_FAILURE:
        self->fail(describe(avahi_client_errno(avahi_entry_group_get_client(g))));
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }
};

std::unique_ptr<ServicePublisher> AvahiPublisher::create(Listener listener) {
  return std::unique_ptr<ServicePublisher>(new AvahiPublisher(std::move(listener)));
}

AvahiPublisher::AvahiPublisher(Listener listener) : listener_(std::move(listener)) {
  poll_ = avahi_threaded_poll_new();
  if (!poll_) {
    setupError_ = "cannot create the Avahi event loop";
    return;
  }
  int error = 0;
  // The callback runs inside avahi_client_new already, before client_ is set:
  // it only ever uses the client it is given.
  client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, Callbacks::client, this, &error);
  if (!client_) {
    setupError_ = describe(error);
    return;
  }
  if (avahi_threaded_poll_start(poll_) < 0) {
    setupError_ = "cannot start the Avahi event loop";
    avahi_client_free(client_);
    client_ = nullptr;
  }
}

AvahiPublisher::~AvahiPublisher() { stop(); }

void AvahiPublisher::publish(const std::string& name, const std::string& type, const std::string& domain,
                             uint16_t port, const TxtRecord& txt) {
  if (!client_) {
    if (listener_.failed) listener_.failed(setupError_.empty() ? "Avahi is not available" : setupError_);
    return;
  }
  PollLock lock(poll_);
  name_ = name;
  type_ = withoutTrailingDot(type);
  domain_ = withoutTrailingDot(domain);
  port_ = port;
  txt_ = txt;
  wanted_ = true;
  if (running_) addService(client_);
}

void AvahiPublisher::updateTxt(const TxtRecord& txt) {
  if (!client_) return;
  PollLock lock(poll_);
  txt_ = txt;
  if (!group_ || avahi_entry_group_is_empty(group_)) return;  // the next registration carries it
  AvahiStringList* list = stringList(txt_);
  avahi_entry_group_update_service_txt_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                              name_.c_str(), type_.c_str(), domain_.c_str(), list);
  avahi_string_list_free(list);
}

void AvahiPublisher::stop() {
  if (poll_) avahi_threaded_poll_stop(poll_);  // joins the poll thread: no callback after this
  if (client_) avahi_client_free(client_);      // frees the group; the daemon withdraws the records
  if (poll_) avahi_threaded_poll_free(poll_);
  client_ = nullptr;
  group_ = nullptr;
  poll_ = nullptr;
}

void AvahiPublisher::addService(AvahiClient* client) {
  if (!group_) {
    group_ = avahi_entry_group_new(client, Callbacks::group, this);
    if (!group_) {
      fail(describe(avahi_client_errno(client)));
      return;
    }
  }
  if (!avahi_entry_group_is_empty(group_)) return;
  for (int attempt = 0; attempt < 16; ++attempt) {
    AvahiStringList* list = stringList(txt_);
    const int result =
        avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                             name_.c_str(), type_.c_str(), domain_.c_str(), nullptr, port_, list);
    avahi_string_list_free(list);
    if (result == AVAHI_ERR_COLLISION) {
      // A local service already has this name.
      char* alternative = avahi_alternative_service_name(name_.c_str());
      name_ = alternative;
      avahi_free(alternative);
      avahi_entry_group_reset(group_);
      continue;
    }
    if (result < 0) {
      fail(avahi_strerror(result));
      return;
    }
    const int committed = avahi_entry_group_commit(group_);
    if (committed < 0) fail(avahi_strerror(committed));
    return;
  }
  fail("no free service name");
}

void AvahiPublisher::fail(const std::string& what) {
  if (listener_.failed) listener_.failed(what);
}

}  // namespace lumenrail
