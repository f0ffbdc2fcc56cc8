#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Clock.hpp"
#include "platform/DBusValue.hpp"

namespace lumenrail {

// A failed connect or call: `name` is the D-Bus error name where the peer
// gave one ("org.freedesktop.DBus.Error.ServiceUnknown"), else empty.
class DBusError : public std::exception {
 public:
  DBusError(std::string name, std::string message, bool timedOut = false);
  std::string name;
  std::string message;
  bool timedOut;  // the deadline passed before a reply
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// Wraps a GDBus connection of its own: one private connection per object
// (so everything a service keeps for this client goes when it closes), a
// thread running the connection's main context, where signals and the
// closed notice are delivered. Calls block the calling thread for at most
// their deadline and may come from any thread, a handler's included (GDBus
// reads replies on a worker of its own).
class DBusConnection final {
 public:
  // Arguments: the sender's unique name, the object path and the signal's arguments.
  using SignalHandler = std::function<void(const std::string& sender, const std::string& path, const DBusValue& args)>;

  static constexpr uint64_t kDefaultCallTimeoutNs = 5 * kNsPerSecond;

  // `address` empty: the session bus of $DBUS_SESSION_BUS_ADDRESS. Throws
  // DBusError when the bus cannot be reached within the deadline.
  static std::shared_ptr<DBusConnection> connect(const std::string& address = {},
                                                 uint64_t timeoutNs = kDefaultCallTimeoutNs);

  ~DBusConnection();
  DBusConnection(const DBusConnection&) = delete;
  DBusConnection& operator=(const DBusConnection&) = delete;

  // Calls `method` with `args` (a tuple, or none for no arguments) and
  // returns the reply's tuple. Throws DBusError on an error reply, a closed
  // connection or a deadline passed.
  DBusValue call(const std::string& destination, const std::string& path, const std::string& interface,
                 const std::string& method, const DBusValue& args = {},
                 uint64_t timeoutNs = kDefaultCallTimeoutNs);
  // The same without waiting: `done` is told on the connection's thread with
  // the reply, or with nothing on an error or a passed deadline; it is not
  // told once the connection is closed.
  void callAsync(const std::string& destination, const std::string& path, const std::string& interface,
                 const std::string& method, const DBusValue& args, uint64_t timeoutNs,
                 std::function<void(std::optional<DBusValue>)> done);
  // The D-Bus type of `args` as call() sends them: a tuple's members without
  // the parentheses ("sud" for a text, a uint32 and a double; "" for none).
  static std::string signature(const DBusValue& args);
  // org.freedesktop.DBus.Properties.Get, unwrapped.
  DBusValue property(const std::string& destination, const std::string& path, const std::string& interface,
                     const std::string& name, uint64_t timeoutNs = kDefaultCallTimeoutNs);
  bool nameHasOwner(const std::string& name, uint64_t timeoutNs = kDefaultCallTimeoutNs);

  // Subscribes to a signal; empty strings match anything. Returns an id for
  // unsubscribe(). Handlers run on the connection's thread.
  unsigned subscribe(const std::string& sender, const std::string& interface, const std::string& member,
                     const std::string& path, SignalHandler handler);
  // Once it returns, the handler does not run again (unless called from it).
  void unsubscribe(unsigned id);
  // Told once (on the connection's thread) when `name` loses its owner.
  unsigned watchNameVanished(const std::string& name, std::function<void()> handler);
  // Told on the connection's thread each time `name` changes hands, with the
  // new owner's unique name (empty: none).
  unsigned watchNameOwner(const std::string& name, std::function<void(const std::string& owner)> handler);

  // Told once, on the connection's thread, when the bus or the peer closes it.
  void setOnClosed(std::function<void()> handler);
  bool isClosed() const;
  const std::string& uniqueName() const;

  // Closes the connection and joins the thread (bounded); no handler runs
  // once it returns. The destructor does the same.
  void close();

  static constexpr uint64_t kCloseJoinNs = 5 * kNsPerSecond;

  // For a stop that cannot wait for a service that does not answer: closes
  // every open connection of the process, so each call blocked on one
  // returns with an error at once. Their owners still close them.
  static void cutAll();

 private:
  struct Impl;
  explicit DBusConnection(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumenrail
