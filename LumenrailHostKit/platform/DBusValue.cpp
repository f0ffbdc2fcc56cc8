#include "platform/DBusValue.hpp"

namespace lumenrail {

namespace {
const DBusValue kNone;
}  // namespace

DBusValue DBusValue::boolean(bool v) {
  DBusValue d;
  d.type_ = Type::boolean;
  d.int_ = v ? 1 : 0;
  return d;
}

DBusValue DBusValue::int32(int32_t v) {
  DBusValue d;
  d.type_ = Type::int32;
  d.int_ = v;
  return d;
}

DBusValue DBusValue::uint32(uint32_t v) {
  DBusValue d;
  d.type_ = Type::uint32;
  d.int_ = v;
  return d;
}

DBusValue DBusValue::int64(int64_t v) {
  DBusValue d;
  d.type_ = Type::int64;
  d.int_ = v;
  return d;
}

DBusValue DBusValue::uint64(uint64_t v) {
  DBusValue d;
  d.type_ = Type::uint64;
  d.int_ = int64_t(v);
  return d;
}

DBusValue DBusValue::real(double v) {
  DBusValue d;
  d.type_ = Type::real;
  d.real_ = v;
  return d;
}

DBusValue DBusValue::string(std::string v) {
  DBusValue d;
  d.type_ = Type::string;
  d.text_ = std::move(v);
  return d;
}

DBusValue DBusValue::objectPath(std::string v) {
  DBusValue d;
  d.type_ = Type::objectPath;
  d.text_ = std::move(v);
  return d;
}

DBusValue DBusValue::tuple(std::vector<DBusValue> items) {
  DBusValue d;
  d.type_ = Type::structure;
  d.items_ = std::move(items);
  return d;
}

DBusValue DBusValue::vardict(Entries entries) { return dict(std::move(entries)); }

DBusValue DBusValue::list(std::vector<DBusValue> items) {
  DBusValue d;
  d.type_ = Type::array;
  d.items_ = std::move(items);
  return d;
}

DBusValue DBusValue::dict(Entries entries) {
  DBusValue d;
  d.type_ = Type::dict;
  d.entries_ = std::move(entries);
  return d;
}

int64_t DBusValue::asInt() const {
  switch (type_) {
    case Type::boolean:
    case Type::int32:
    case Type::uint32:
    case Type::int64:
    case Type::uint64:
      return int_;
    default:
      return 0;
  }
}

double DBusValue::asReal() const {
  if (type_ == Type::real) return real_;
  return double(asInt());
}

const DBusValue& DBusValue::at(size_t i) const { return i < items_.size() ? items_[i] : kNone; }

const DBusValue& DBusValue::find(const std::string& key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) return v;
  }
  return kNone;
}

}  // namespace lumenrail
