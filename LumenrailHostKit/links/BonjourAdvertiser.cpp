#include "links/BonjourAdvertiser.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "links/AvahiPublisher.hpp"
#include "links/DefaultRoutes.hpp"
#include "platform/Utf8.hpp"

namespace lumenrail {

namespace {

constexpr size_t kMaxAdvertisedIPv4 = 4;

std::string joined(const std::vector<std::string>& items, size_t limit = SIZE_MAX) {
  std::string out;
  for (size_t i = 0; i < items.size() && i < limit; ++i) {
    if (i) out += ',';
    out += items[i];
  }
  return out;
}

// PRETTY_HOSTNAME of /etc/machine-info: the name the user gave the computer.
std::string prettyHostname() {
  std::ifstream in("/etc/machine-info");
  std::string line;
  size_t total = 0;
  while (total < 65536 && std::getline(in, line)) {
    total += line.size() + 1;
    static constexpr std::string_view key = "PRETTY_HOSTNAME=";
    if (!std::string_view(line).starts_with(key)) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

}  // namespace

std::shared_ptr<BonjourAdvertiser> BonjourAdvertiser::create(std::optional<std::string> name, uint16_t port) {
  std::string chosen = name && !name->empty() ? *name : defaultName();
  return std::shared_ptr<BonjourAdvertiser>(new BonjourAdvertiser(std::move(chosen), port));
}

BonjourAdvertiser::BonjourAdvertiser(std::string name, uint16_t port) : name_(std::move(name)), port_(port) {}

BonjourAdvertiser::~BonjourAdvertiser() { stop(); }

std::string BonjourAdvertiser::defaultName() {
  std::string pretty = prettyHostname();
  if (!pretty.empty()) return pretty;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return host;
  return "Lumenrail Host";
}

std::string BonjourAdvertiser::instanceName(std::string_view name, const std::optional<std::string>& fingerprint) {
  std::string base = Utf8::decodeRepairing(name);
  std::string suffix;
  if (fingerprint && !fingerprint->empty()) {
    // The low 16 bits of 32-bit FNV-1a.
    uint32_t hash = 0x9DC5;
    for (const char c : *fingerprint) hash = ((hash ^ static_cast<uint8_t>(c)) * 403) & 0xFFFF;
    static constexpr char hex[] = "0123456789abcdef";
    suffix = " (";
    for (int shift = 12; shift >= 0; shift -= 4) suffix += hex[(hash >> shift) & 0xF];
    suffix += ")";
  }
  // A longer label is refused by DNS-SD; never cut inside a character.
  const size_t room = maxInstanceNameBytes - suffix.size();
  if (base.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<uint8_t>(base[cut]) & 0xC0) == 0x80) --cut;
    base.resize(cut);
  }
  return base + suffix;
}

std::vector<std::string> BonjourAdvertiser::lanAddresses(std::vector<ServiceIPv4> services,
                                                         const std::optional<std::string>& primary) {
  std::erase_if(services, [](const ServiceIPv4& s) { return !s.hasRouter; });
  const auto key = [&](const ServiceIPv4& s) { return std::make_pair(!(primary && s.id == *primary), s.id); };
  std::stable_sort(services.begin(), services.end(), [&](const auto& a, const auto& b) { return key(a) < key(b); });
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& s : services) {
    for (const auto& a : s.addresses) {
      if (std::string_view(a).starts_with("169.254.")) continue;
      if (seen.insert(a).second) out.push_back(a);
    }
  }
  return out;
}

std::vector<std::string> BonjourAdvertiser::lanIPv4() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  const auto routes = DefaultRoutes::read();
  std::vector<ServiceIPv4> services;
  std::map<std::string, size_t> index;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_name || !it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !(it->ifa_flags & IFF_UP)) continue;
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr, text, sizeof text)) {
      continue;
    }
    auto [pos, added] = index.emplace(it->ifa_name, services.size());
    if (added) {
      ServiceIPv4 s;
      s.id = it->ifa_name;
      s.hasRouter = std::any_of(routes.begin(), routes.end(), [&](const auto& r) { return r.interfaceName == s.id; });
      services.push_back(std::move(s));
    }
    services[pos->second].addresses.push_back(text);
  }
  ::freeifaddrs(list);
  return lanAddresses(std::move(services), DefaultRoutes::primaryInterface(routes));
}

void BonjourAdvertiser::report(const std::string& line) const {
  if (onEvent) onEvent(line);
}

void BonjourAdvertiser::Outbox::post(SerialQueue::Task task) {
  std::lock_guard lock(mutex);
  if (queue) queue->async(std::move(task));
}

void BonjourAdvertiser::Outbox::close() {
  std::lock_guard lock(mutex);
  queue = nullptr;
}

void BonjourAdvertiser::start(const TxtRecord& txt) {
  std::lock_guard lifecycle(lifecycleMutex_);
  stopLocked();
  auto queue = std::make_unique<SerialQueue>("lumenrail-bonjour");
  auto outbox = std::make_shared<Outbox>();
  outbox->queue = queue.get();
  // Outcomes come on Avahi's thread with its lock held: they only queue a line,
  // never touch mutex_ (setBusy holds mutex_ while it waits for Avahi's lock).
  std::weak_ptr<BonjourAdvertiser> weak = weak_from_this();
  ServicePublisher::Listener listener;
  listener.published = [weak, outbox](const std::string& name) {
    outbox->post([weak, name] {
      if (auto self = weak.lock()) self->report("published as \"" + name + "\"");
    });
  };
  listener.failed = [weak, outbox](const std::string& error) {
    outbox->post([weak, error] {
      if (auto self = weak.lock()) self->report("publish FAILED: " + error);
    });
  };
  std::unique_ptr<ServicePublisher> publisher =
      publisherFactory ? publisherFactory(std::move(listener)) : AvahiPublisher::create(std::move(listener));
  uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    baseTxt_ = txt;
    queue_ = std::move(queue);
    outbox_ = outbox;
    publisher_ = std::move(publisher);
    published_ = false;
    generation = ++generation_;
  }
  outbox->post([weak, generation] {
    if (auto self = weak.lock()) self->run(generation);
  });
}

void BonjourAdvertiser::stop() {
  std::lock_guard lifecycle(lifecycleMutex_);
  stopLocked();
}

void BonjourAdvertiser::stopLocked() {
  std::unique_ptr<ServicePublisher> publisher;
  std::unique_ptr<SerialQueue> queue;
  std::shared_ptr<Outbox> outbox;
  SerialQueue::Timer timer;
  bool wasPublished = false;
  {
    std::lock_guard lock(mutex_);
    publisher = std::move(publisher_);
    queue = std::move(queue_);
    outbox = std::move(outbox_);
    timer = std::move(refreshTimer_);
    wasPublished = published_;
    published_ = false;
    ++generation_;  // a run() still queued finds itself outdated and publishes nothing
  }
  timer.cancel();
  if (publisher) publisher->stop();  // no outcome arrives after this
  if (outbox) outbox->close();       // nor is anything posted, even by a listener kept elsewhere
  publisher.reset();
  queue.reset();  // runs what is queued (outdated runs, result lines) and joins
  if (wasPublished) report("advertise stopped");
}

void BonjourAdvertiser::run(uint64_t generation) {
  std::optional<std::string> fingerprint;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    const auto fp = baseTxt_.find(Txt::fingerprint);
    if (fp != baseTxt_.end()) fingerprint = fp->second;
  }
  const std::string instance = instanceName(name_, fingerprint);
  std::vector<std::string> addresses = addressSource ? addressSource() : lanIPv4();
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_ || !publisher_ || !queue_) return;
    advertisedIPv4_ = addresses;
    publisher_->publish(instance, std::string(serviceType), std::string(domain), port_.load(), txtLocked());
    published_ = true;
    std::weak_ptr<BonjourAdvertiser> weak = weak_from_this();
    refreshTimer_ = queue_->scheduleRepeating(refreshIntervalNs, refreshIntervalNs, [weak] {
      if (auto self = weak.lock()) self->refreshAddresses();
    });
  }
  report("advertising \"" + instance + "\" " + std::string(serviceType) + " on :" + std::to_string(port_.load()) +
         " ip4=" + joined(addresses));
}

void BonjourAdvertiser::refreshAddresses() {
  std::vector<std::string> addresses = addressSource ? addressSource() : lanIPv4();
  {
    std::lock_guard lock(mutex_);
    if (addresses == advertisedIPv4_) return;
    advertisedIPv4_ = addresses;
    if (published_) pushTxtLocked();
  }
  report("ip4 now " + joined(addresses));
}

void BonjourAdvertiser::setBusy(bool busy) {
  std::lock_guard lock(mutex_);
  busy_ = busy;
  if (published_) pushTxtLocked();
}

void BonjourAdvertiser::pushTxtLocked() {
  if (publisher_) publisher_->updateTxt(txtLocked());
}

TxtRecord BonjourAdvertiser::txtLocked() const {
  TxtRecord txt = baseTxt_;
  txt[Txt::busy] = busy_ ? "1" : "0";
  txt.erase(Txt::ip4);
  if (!advertisedIPv4_.empty()) txt[Txt::ip4] = joined(advertisedIPv4_, kMaxAdvertisedIPv4);
  return txt;
}

}  // namespace lumenrail
