#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumenrail {

// A D-Bus value as the host builds arguments and reads replies, so no GLib
// type crosses a header. Variants in replies are unwrapped: a dictionary's
// values are the values inside. Dictionaries are keyed by text (integer keys
// are written out as decimal text).
class DBusValue final {
 public:
  enum class Type : uint8_t {
    none,
    boolean,
    int32,
    uint32,
    int64,
    uint64,
    real,
    string,
    objectPath,
    array,      // also a struct in a reply
    structure,  // a tuple argument list
    dict,       // a{sv} when built here
  };
  using Entries = std::vector<std::pair<std::string, DBusValue>>;

  DBusValue() = default;
  static DBusValue boolean(bool v);
  static DBusValue int32(int32_t v);
  static DBusValue uint32(uint32_t v);
  static DBusValue int64(int64_t v);
  static DBusValue uint64(uint64_t v);
  static DBusValue real(double v);
  static DBusValue string(std::string v);
  static DBusValue objectPath(std::string v);
  static DBusValue tuple(std::vector<DBusValue> items);
  // Sent as a{sv}: each value wrapped in a variant.
  static DBusValue vardict(Entries entries);
  // Replies only: arrays and structs of what came.
  static DBusValue list(std::vector<DBusValue> items);
  static DBusValue dict(Entries entries);

  Type type() const { return type_; }
  bool isNone() const { return type_ == Type::none; }
  bool asBool() const { return type_ == Type::boolean && int_ != 0; }
  // Any integer type; 0 for other types.
  int64_t asInt() const;
  uint64_t asUint() const { return uint64_t(asInt()); }
  double asReal() const;
  // Strings and object paths; empty for other types.
  const std::string& asString() const { return text_; }
  // Elements of a tuple, array or struct; empty for other types.
  const std::vector<DBusValue>& items() const { return items_; }
  // Element `i` of a tuple, array or struct; none when out of range.
  const DBusValue& at(size_t i) const;
  const Entries& entries() const { return entries_; }
  // A dictionary's value for `key`; none when missing.
  const DBusValue& find(const std::string& key) const;

  bool operator==(const DBusValue&) const = default;

 private:
  Type type_ = Type::none;
  int64_t int_ = 0;
  double real_ = 0;
  std::string text_;
  std::vector<DBusValue> items_;
  Entries entries_;
};

}  // namespace lumenrail
