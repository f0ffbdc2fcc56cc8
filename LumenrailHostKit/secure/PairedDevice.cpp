#include "secure/PairedDevice.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/Base64.hpp"

namespace lumenrail {

const std::string& PairedDevice::displayName() const {
  if (alias && !alias->empty()) return *alias;
  return label;
}

PairingProtocol::DeviceKind PairedDevice::deviceKind() const {
  return kind ? PairingProtocol::deviceKindOf(*kind) : PairingProtocol::DeviceKind::unknown;
}

namespace PairedDeviceFile {

namespace {

using nlohmann::json;

// Absent and null both mean "no value", as for any optional field.
const json* optionalField(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<PairedDevice> decodeRecord(const json& object, std::string& why) {
  if (!object.is_object()) {
    why = "a record is not an object";
    return std::nullopt;
  }
  PairedDevice d;
  const auto fingerprint = object.find("fingerprint");
  const auto publicKey = object.find("publicKey");
  const auto label = object.find("label");
  const auto lastSeen = object.find("lastSeen");
  if (fingerprint == object.end() || !fingerprint->is_string()) {
    why = "a record has no \"fingerprint\" text";
    return std::nullopt;
  }
  if (publicKey == object.end() || !publicKey->is_string()) {
    why = "a record has no \"publicKey\" text";
    return std::nullopt;
  }
  if (label == object.end() || !label->is_string()) {
    why = "a record has no \"label\" text";
    return std::nullopt;
  }
  if (lastSeen == object.end() || !lastSeen->is_number()) {
    why = "a record has no \"lastSeen\" number";
    return std::nullopt;
  }
  auto key = Base64::decode(publicKey->get_ref<const std::string&>());
  if (!key) {
    why = "a record's \"publicKey\" is not Base64";
    return std::nullopt;
  }
  d.fingerprint = fingerprint->get<std::string>();
  d.publicKey = std::move(*key);
  d.label = label->get<std::string>();
  d.lastSeen = lastSeen->get<double>();
  if (const json* v = optionalField(object, "deviceId")) {
    if (!v->is_string()) {
      why = "a record's \"deviceId\" is not text";
      return std::nullopt;
    }
    d.deviceId = v->get<std::string>();
  }
  if (const json* v = optionalField(object, "kind")) {
    if (!v->is_number_integer() || (v->is_number_unsigned() && v->get<uint64_t>() > INT64_MAX)) {
      why = "a record's \"kind\" is not an integer";
      return std::nullopt;
    }
    d.kind = v->get<int64_t>();
  }
  if (const json* v = optionalField(object, "alias")) {
    if (!v->is_string()) {
      why = "a record's \"alias\" is not text";
      return std::nullopt;
    }
    d.alias = v->get<std::string>();
  }
  return d;
}

}  // namespace

std::string encode(const std::vector<PairedDevice>& devices) {
  json array = json::array();
  for (const PairedDevice& d : devices) {
    json object = {
        {"fingerprint", d.fingerprint},
        {"publicKey", Base64::encode(d.publicKey)},
        {"label", d.label},
        // JSON has no infinity or NaN; nlohmann would write null and the next
        // start could not read the file back.
        {"lastSeen", std::isfinite(d.lastSeen) ? d.lastSeen : 0.0},
    };
    if (d.deviceId) object["deviceId"] = *d.deviceId;
    if (d.kind) object["kind"] = *d.kind;
    if (d.alias) object["alias"] = *d.alias;
    array.push_back(std::move(object));
  }
  // Invalid UTF-8 in a name becomes U+FFFD rather than failing the whole write.
  return array.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<std::vector<PairedDevice>> decode(std::string_view text, std::string* why) {
  std::string reason;
  const json parsed = json::parse(text, nullptr, false);
  std::optional<std::vector<PairedDevice>> result;
  if (parsed.is_discarded()) {
    reason = "not JSON";
  } else if (!parsed.is_array()) {
    reason = "not a JSON array";
  } else {
    std::vector<PairedDevice> devices;
    devices.reserve(parsed.size());
    bool ok = true;
    for (const json& item : parsed) {
      auto d = decodeRecord(item, reason);
      if (!d) {
        ok = false;
        break;
      }
      devices.push_back(std::move(*d));
    }
    if (ok) result = std::move(devices);
  }
  if (!result && why != nullptr) *why = reason;
  return result;
}

}  // namespace PairedDeviceFile

}  // namespace lumenrail
