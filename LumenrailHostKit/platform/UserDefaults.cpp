#include "platform/UserDefaults.hpp"

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <limits>

#include "platform/Paths.hpp"
#include "platform/PrivateFile.hpp"

namespace lumenrail {

namespace {

// Defaults files are small; anything larger is not ours.
constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;
// Our values are flat. Copying or writing a value recurses once per level, so
// a file nested a million deep would overflow the stack at every start.
constexpr int kMaxNesting = 64;

int64_t leadingInteger(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const int d = s[i] - '0';
    if (v > (std::numeric_limits<int64_t>::max() - d) / 10) return negative ? std::numeric_limits<int64_t>::min()
                                                                            : std::numeric_limits<int64_t>::max();
    v = v * 10 + d;
  }
  return negative ? -v : v;
}

bool leadingTruth(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n')) ++i;
  if (i < s.size() && (s[i] == 'Y' || s[i] == 'y' || s[i] == 'T' || s[i] == 't')) return true;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  return i < s.size() && s[i] >= '1' && s[i] <= '9';
}

}  // namespace

UserDefaults::UserDefaults(std::string filePath, std::string domain, Log::Sink log)
    : filePath_(std::move(filePath)), domain_(std::move(domain)), log_(std::move(log)) {
  std::lock_guard lock(mutex_);
  reloadLocked();
}

// Reads the file again so that a change never drops what another domain or
// another holder of the same file wrote meanwhile.
void UserDefaults::reloadLocked() {
  // Refused once, kept in memory for good: reading again would warn again,
  // and writing would put our settings where the stranger can change them.
  if (!refused_.empty()) return;
  const std::filesystem::path path(filePath_);
  std::optional<Bytes> bytes;
  bool good = true;
  try {
    // Settings decide whether the desktop is served open, so they are trusted
    // like the pairing files: only when no one else can have written them.
    PrivateFile::requireOwnFolder(path.parent_path());
    bytes = PrivateFile::readOwn(path, kMaxFileBytes);
  } catch (const PrivateFile::NotPrivate& e) {
    refuseLocked(e.what());
    return;
  } catch (const std::system_error& e) {
    // Too large is the content's fault; any other failure says nothing about
    // the file, which is neither set aside nor overwritten.
    if (e.code().value() != EFBIG) {
      refuseLocked(e.what());
      return;
    }
    good = false;
  }
  if (good && !bytes) {
    file_ = nlohmann::json::object();  // no file (yet): empty defaults
    return;
  }
  if (good) {
    bool tooDeep = false;
    auto parsed = nlohmann::json::parse(
        bytes->begin(), bytes->end(),
        [&tooDeep](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
          // Dropping what lies deeper also keeps the parse from building it.
          if (depth > kMaxNesting) tooDeep = true;
          return !tooDeep;
        },
        false);
    good = !tooDeep && !parsed.is_discarded() && parsed.is_object();
    if (good) {
      file_ = std::move(parsed);
      return;
    }
  }
  file_ = nlohmann::json::object();
  const auto aside = PrivateFile::setAside(filePath_);
  if (log_) {
    log_("[app] WARN: the settings file " + filePath_ + " could not be read" +
         (aside ? "; kept as " + aside->string() : std::string(" and could not be set aside")) +
         " — starting from the defaults");
  }
}

void UserDefaults::refuseLocked(const std::string& why) {
  refused_ = why;
  file_ = nlohmann::json::object();
  if (log_) {
    log_("[app] WARN: the settings file " + filePath_ + " is not used (" + why +
         ") — starting from the defaults; changes are kept in memory only");
  }
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  static std::shared_ptr<UserDefaults> shared = std::make_shared<UserDefaults>(
      Paths::defaultsFile(), kStandardDomain, [](const std::string& line) { Log::line(line); });
  return shared;
}

std::optional<nlohmann::json> UserDefaults::value(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto d = file_.find(domain_);
  if (d == file_.end() || !d->is_object()) return std::nullopt;
  auto v = d->find(key);
  if (v == d->end() || v->is_null()) return std::nullopt;
  return *v;
}

bool UserDefaults::hasObject(const std::string& key) const { return value(key).has_value(); }

int64_t UserDefaults::integer(const std::string& key) const {
  const auto v = value(key);
  if (!v) return 0;
  if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
  // Unsigned first: the JSON library counts unsigned numbers as integers too,
  // and reading one above the signed range as signed would wrap it.
  if (v->is_number_unsigned()) {
    const uint64_t u = v->get<uint64_t>();
    return u > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(u);
  }
  if (v->is_number_integer()) return v->get<int64_t>();
  if (v->is_number_float()) {
    const double d = std::trunc(v->get<double>());
    if (!std::isfinite(d)) return 0;
    if (d >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
  }
  if (v->is_string()) return leadingInteger(v->get<std::string>());
  return 0;
}

bool UserDefaults::boolean(const std::string& key) const {
  const auto v = value(key);
  if (!v) return false;
  if (v->is_boolean()) return v->get<bool>();
  if (v->is_number()) return v->get<double>() != 0.0;
  if (v->is_string()) return leadingTruth(v->get<std::string>());
  return false;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  if (v->is_string()) return v->get<std::string>();
  if (v->is_number_unsigned()) return std::to_string(v->get<uint64_t>());
  if (v->is_number_integer()) return std::to_string(v->get<int64_t>());
  if (v->is_number_float()) return v->dump();
  return std::nullopt;
}

std::optional<std::vector<std::string>> UserDefaults::stringArray(const std::string& key) const {
  const auto v = value(key);
  if (!v || !v->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& entry : *v) {
    if (!entry.is_string()) return std::nullopt;
    out.push_back(entry.get<std::string>());
  }
  return out;
}

std::string UserDefaults::set(const nlohmann::json& values) {
  if (!values.is_object()) return "defaults values must be an object";
  std::lock_guard lock(mutex_);
  reloadLocked();
  auto& d = file_[domain_];
  if (!d.is_object()) d = nlohmann::json::object();
  for (auto it = values.begin(); it != values.end(); ++it) d[it.key()] = it.value();
  return writeLocked();
}

std::string UserDefaults::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  reloadLocked();
  auto d = file_.find(domain_);
  // A refused file is reported even with nothing to remove in memory: what it holds stays.
  if (d == file_.end() || !d->is_object() || !d->contains(key)) return refused_.empty() ? std::string() : writeLocked();
  d->erase(key);
  return writeLocked();
}

std::string UserDefaults::removePersistentDomain() {
  std::lock_guard lock(mutex_);
  reloadLocked();
  if (!file_.contains(domain_)) return refused_.empty() ? std::string() : writeLocked();
  file_.erase(domain_);
  return writeLocked();
}

std::string UserDefaults::writeLocked() {
  if (!refused_.empty()) return filePath_ + " is not used (" + refused_ + "); the change is kept in memory only";
  const std::string text = file_.dump(2) + "\n";
  try {
    PrivateFile::ensureDirectory(std::filesystem::path(filePath_).parent_path());
    PrivateFile::writeAtomically(filePath_, ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  } catch (const std::system_error& e) {
    return e.what();
  }
  return {};
}

}  // namespace lumenrail
