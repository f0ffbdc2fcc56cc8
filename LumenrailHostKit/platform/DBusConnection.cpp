#include "platform/DBusConnection.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"

namespace lumenrail {

namespace {

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

int timeoutMs(uint64_t ns) {
  return int(std::clamp<uint64_t>((ns + kNsPerMs - 1) / kNsPerMs, 1, uint64_t(G_MAXINT)));
}

DBusError errorFrom(GError* error, const std::string& what) {
  std::string name;
  if (g_dbus_error_is_remote_error(error)) {
    gchar* remote = g_dbus_error_get_remote_error(error);
    name = remote ? remote : "";
    g_free(remote);
    g_dbus_error_strip_remote_error(error);
  }
  const bool timedOut = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
                        name == "org.freedesktop.DBus.Error.Timeout" || name == "org.freedesktop.DBus.Error.NoReply";
  DBusError result(name, what + ": " + error->message, timedOut);
  g_error_free(error);
  return result;
}

GVariant* toVariant(const DBusValue& v) {
  using T = DBusValue::Type;
  switch (v.type()) {
    case T::none:
      return g_variant_new_tuple(nullptr, 0);
    case T::boolean:
      return g_variant_new_boolean(v.asBool());
    case T::int32:
      return g_variant_new_int32(int32_t(v.asInt()));
    case T::uint32:
      return g_variant_new_uint32(uint32_t(v.asInt()));
    case T::int64:
      return g_variant_new_int64(v.asInt());
    case T::uint64:
      return g_variant_new_uint64(v.asUint());
    case T::real:
      return g_variant_new_double(v.asReal());
    case T::string:
      return g_variant_new_string(v.asString().c_str());
    case T::objectPath:
      return g_variant_new_object_path(
          g_variant_is_object_path(v.asString().c_str()) ? v.asString().c_str() : "/");
    case T::structure: {
      std::vector<GVariant*> children;
      for (const auto& item : v.items()) children.push_back(toVariant(item));
      return g_variant_new_tuple(children.data(), children.size());
    }
    case T::array: {
      if (v.items().empty()) return g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0);
      std::vector<GVariant*> children;
      for (const auto& item : v.items()) children.push_back(toVariant(item));
      return g_variant_new_array(nullptr, children.data(), children.size());
    }
    case T::dict: {
      GVariantBuilder builder;
      g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
      for (const auto& [key, value] : v.entries()) {
        g_variant_builder_add(&builder, "{sv}", key.c_str(), toVariant(value));
      }
      return g_variant_builder_end(&builder);
    }
  }
  return g_variant_new_tuple(nullptr, 0);
}

DBusValue fromVariant(GVariant* v) {
  switch (g_variant_classify(v)) {
    case G_VARIANT_CLASS_BOOLEAN:
      return DBusValue::boolean(g_variant_get_boolean(v));
    case G_VARIANT_CLASS_BYTE:
      return DBusValue::uint32(g_variant_get_byte(v));
    case G_VARIANT_CLASS_INT16:
      return DBusValue::int32(g_variant_get_int16(v));
    case G_VARIANT_CLASS_UINT16:
      return DBusValue::uint32(g_variant_get_uint16(v));
    case G_VARIANT_CLASS_INT32:
      return DBusValue::int32(g_variant_get_int32(v));
    case G_VARIANT_CLASS_HANDLE:
      return DBusValue::int32(g_variant_get_handle(v));
    case G_VARIANT_CLASS_UINT32:
      return DBusValue::uint32(g_variant_get_uint32(v));
    case G_VARIANT_CLASS_INT64:
      return DBusValue::int64(g_variant_get_int64(v));
    case G_VARIANT_CLASS_UINT64:
      return DBusValue::uint64(g_variant_get_uint64(v));
    case G_VARIANT_CLASS_DOUBLE:
      return DBusValue::real(g_variant_get_double(v));
    case G_VARIANT_CLASS_STRING:
    case G_VARIANT_CLASS_SIGNATURE:
      return DBusValue::string(g_variant_get_string(v, nullptr));
    case G_VARIANT_CLASS_OBJECT_PATH:
      return DBusValue::objectPath(g_variant_get_string(v, nullptr));
    case G_VARIANT_CLASS_VARIANT:
    case G_VARIANT_CLASS_MAYBE: {
      GVariant* inner = g_variant_get_child_value(v, 0);
      if (!inner) return {};
      DBusValue d = fromVariant(inner);
      g_variant_unref(inner);
      return d;
    }
    case G_VARIANT_CLASS_ARRAY:
      if (g_variant_type_is_dict_entry(g_variant_type_element(g_variant_get_type(v)))) {
        DBusValue::Entries entries;
        const gsize n = g_variant_n_children(v);
        for (gsize i = 0; i < n; ++i) {
          GVariant* entry = g_variant_get_child_value(v, i);
          GVariant* key = g_variant_get_child_value(entry, 0);
          GVariant* value = g_variant_get_child_value(entry, 1);
          const DBusValue k = fromVariant(key);
          std::string keyText = k.asString();
          if (k.type() != DBusValue::Type::string && k.type() != DBusValue::Type::objectPath) {
            keyText = std::to_string(k.asInt());
          }
          entries.emplace_back(std::move(keyText), fromVariant(value));
          g_variant_unref(value);
          g_variant_unref(key);
          g_variant_unref(entry);
        }
        return DBusValue::dict(std::move(entries));
      }
      [[fallthrough]];
    case G_VARIANT_CLASS_TUPLE:
    case G_VARIANT_CLASS_DICT_ENTRY: {
      std::vector<DBusValue> items;
      const gsize n = g_variant_n_children(v);
      items.reserve(n);
      for (gsize i = 0; i < n; ++i) {
        GVariant* child = g_variant_get_child_value(v, i);
        items.push_back(fromVariant(child));
        g_variant_unref(child);
      }
      return DBusValue::list(std::move(items));
    }
  }
  return {};
}

}  // namespace

DBusError::DBusError(std::string n, std::string m, bool t) : name(std::move(n)), message(std::move(m)), timedOut(t) {
  text_ = name.empty() ? message : name + ": " + message;
}

namespace {

// The process's open connections, for cutAll().
struct OpenConnections {
  std::mutex mutex;
  std::set<GDBusConnection*> open;
};
OpenConnections& openConnections() {
  static auto* open = new OpenConnections;  // never destroyed: used until the process ends
  return *open;
}

}  // namespace

struct DBusConnection::Impl {
  GMainContext* context = g_main_context_new();
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  GDBusConnection* connection = nullptr;
  std::string uniqueName;
  NamedThread thread;

  std::mutex mutex;  // guards the fields below
  std::map<unsigned, std::shared_ptr<SignalHandler>> handlers;
  std::set<unsigned> subscriptions;  // still subscribed with GDBus, handler or not
  std::function<void()> onClosed;
  bool closedTold = false;
  bool closing = false;

  ~Impl() {
    // Dropped here, not left to the connection's end: another reference
    // (GDBus's worker) may outlive this, and the destroy notices it would
    // queue then would find no one to run them.
    if (connection) {
      for (const unsigned id : subscriptions) g_dbus_connection_signal_unsubscribe(connection, id);
      g_object_unref(connection);
    }
    // The thread is gone: what GDBus still queued here (the subscriptions'
    // destroy notices, finished calls) runs now, so nothing is leaked.
    for (int i = 0; i < 1000 && g_main_context_iteration(context, FALSE); ++i) {
    }
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }

  // Runs `fn` on the connection's thread and waits for it; false when the
  // thread did not take it within the deadline.
  bool runOnLoop(std::function<void()> fn, uint64_t timeoutNs = kDefaultCallTimeoutNs) {
    if (g_main_context_is_owner(context)) {
      fn();
      return true;
    }
    struct Job {
      std::function<void()> fn;
      OneShotEvent done;
    };
    auto job = std::make_shared<Job>();
    job->fn = std::move(fn);
    auto* held = new std::shared_ptr<Job>(job);
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          auto& j = *static_cast<std::shared_ptr<Job>*>(data);
          j->fn();
          j->done.signal();
          return G_SOURCE_REMOVE;
        },
        held, [](gpointer data) { delete static_cast<std::shared_ptr<Job>*>(data); });
    return job->done.waitFor(timeoutNs);
  }

  // Queued, so a loop that has not started running yet still ends.
  void stopLoop() {
    g_main_context_invoke(
        context,
        [](gpointer data) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(data));
          return G_SOURCE_REMOVE;
        },
        loop);
  }

  void tellClosed() {
    std::function<void()> handler;
    {
      std::lock_guard guard(mutex);
      if (closedTold || closing) return;
      closedTold = true;
      handler = onClosed;
    }
    if (handler) handler();
  }

  static void onSignal(GDBusConnection*, const gchar* sender, const gchar* path, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
    auto* self = static_cast<std::pair<Impl*, unsigned>*>(data);
    std::shared_ptr<SignalHandler> handler;
    {
      std::lock_guard guard(self->first->mutex);
      if (self->first->closing) return;
      auto it = self->first->handlers.find(self->second);
      if (it == self->first->handlers.end()) return;
      handler = it->second;
    }
    (*handler)(sender ? sender : "", path ? path : "", fromVariant(parameters));
  }

  unsigned subscribe(const std::string& sender, const std::string& interface, const std::string& member,
                     const std::string& path, const std::string& arg0, SignalHandler handler) {
    auto shared = std::make_shared<SignalHandler>(std::move(handler));
    auto id = std::make_shared<std::atomic<unsigned>>(0);
    // Everything by value: a thread busy past the deadline may run this late.
    runOnLoop([this, shared, id, sender, interface, member, path, arg0] {
      const auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
      // The id is known only after subscribing, so the user data is filled in after.
      auto* data = new std::pair<Impl*, unsigned>(this, 0);
      const unsigned subscribed = g_dbus_connection_signal_subscribe(
          connection, orNull(sender), orNull(interface), orNull(member), orNull(path), orNull(arg0),
          G_DBUS_SIGNAL_FLAGS_NONE, &Impl::onSignal, data,
          [](gpointer d) { delete static_cast<std::pair<Impl*, unsigned>*>(d); });
      data->second = subscribed;
      std::lock_guard guard(mutex);
      handlers[subscribed] = shared;
      subscriptions.insert(subscribed);
      id->store(subscribed);
    });
    return id->load();
  }
};

std::shared_ptr<DBusConnection> DBusConnection::connect(const std::string& address, uint64_t timeoutNs) {
  auto impl = std::make_unique<Impl>();
  Impl* raw = impl.get();
  raw->thread = NamedThread("lumenrail-dbus", [raw] {
    g_main_context_push_thread_default(raw->context);
    g_main_loop_run(raw->loop);
    g_main_context_pop_thread_default(raw->context);
  });

  std::string busAddress = address;
  GError* error = nullptr;
  if (busAddress.empty()) {
    gchar* found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!found) {
      DBusError e = errorFrom(error, "no session bus");
      raw->stopLoop();
      raw->thread.join();
      throw e;
    }
    busAddress = found;
    g_free(found);
  }

  // Connected on the thread, so the closed notice and signals are dispatched there.
  GCancellable* cancellable = g_cancellable_new();
  struct Outcome {
    GDBusConnection* connection = nullptr;
    GError* error = nullptr;
  };
  auto outcome = std::make_shared<Outcome>();
  const bool ran = raw->runOnLoop(
      // Its own reference: after a timeout the thread may finish this late.
      [outcome, busAddress, cancellable = static_cast<GCancellable*>(g_object_ref(cancellable))] {
        outcome->connection = g_dbus_connection_new_for_address_sync(
            busAddress.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, cancellable, &outcome->error);
        g_object_unref(cancellable);
      },
      timeoutNs);
  if (!ran) {
    // Stuck on a bus that does not answer: cancel, and let the thread end by itself.
    g_cancellable_cancel(cancellable);
    raw->stopLoop();
    if (!raw->thread.joinFor(kCloseJoinNs)) {
      raw->thread.detach();
      (void)impl.release();  // still in use by the thread
    } else {
      if (outcome->connection) g_object_unref(outcome->connection);
      if (outcome->error) g_error_free(outcome->error);
    }
    g_object_unref(cancellable);
    throw DBusError("", "connect to " + busAddress + ": no answer before the deadline", true);
  }
  g_object_unref(cancellable);
  GDBusConnection* connection = outcome->connection;
  if (!connection) {
    DBusError e = errorFrom(outcome->error, "connect to " + busAddress);
    raw->stopLoop();
    raw->thread.join();
    throw e;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  raw->connection = connection;
  {
    OpenConnections& o = openConnections();
    std::lock_guard guard(o.mutex);
    o.open.insert(connection);
  }
  raw->uniqueName = g_dbus_connection_get_unique_name(connection);
  raw->runOnLoop([raw] {
    g_signal_connect(raw->connection, "closed",
                     G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
                       static_cast<Impl*>(data)->tellClosed();
                     }),
                     raw);
  });
  return std::shared_ptr<DBusConnection>(new DBusConnection(std::move(impl)));
}

DBusConnection::DBusConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DBusConnection::~DBusConnection() {
  close();
  // Dropped by a handler on its own thread: the loop still runs there, so its
  // state must outlive this object; the thread ends as the handler returns.
  if (impl_ && impl_->thread.isCurrent()) {
    impl_->thread.detach();
    (void)impl_.release();
  }
}

DBusValue DBusConnection::call(const std::string& destination, const std::string& path, const std::string& interface,
                               const std::string& method, const DBusValue& args, uint64_t timeoutNs) {
  if (!g_dbus_is_name(destination.c_str()) || !g_variant_is_object_path(path.c_str()) ||
      !g_dbus_is_interface_name(interface.c_str()) || !g_dbus_is_member_name(method.c_str())) {
    throw DBusError("org.freedesktop.DBus.Error.InvalidArgs", "malformed call " + interface + "." + method);
  }
  if (args.type() != DBusValue::Type::none && args.type() != DBusValue::Type::structure) {
    throw DBusError("org.freedesktop.DBus.Error.InvalidArgs", interface + "." + method + ": arguments not a tuple");
  }
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(impl_->connection, destination.c_str(), path.c_str(),
                                                interface.c_str(), method.c_str(), toVariant(args), nullptr,
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs(timeoutNs), nullptr, &error);
  if (!reply) throw errorFrom(error, interface + "." + method);
  DBusValue result = fromVariant(reply);
  g_variant_unref(reply);
  return result;
}

std::string DBusConnection::signature(const DBusValue& args) {
  GVariant* value = g_variant_ref_sink(toVariant(args));
  std::string type = g_variant_get_type_string(value);
  g_variant_unref(value);
  const bool tuple = args.type() == DBusValue::Type::none || args.type() == DBusValue::Type::structure;
  return tuple ? type.substr(1, type.size() - 2) : type;
}

void DBusConnection::callAsync(const std::string& destination, const std::string& path,
                               const std::string& interface, const std::string& method, const DBusValue& args,
                               uint64_t timeoutNs, std::function<void(std::optional<DBusValue>)> done) {
  struct Pending {
    Impl* impl;
    std::function<void(std::optional<DBusValue>)> done;
  };
  auto* pending = new Pending{impl_.get(), std::move(done)};
  GVariant* parameters = g_variant_ref_sink(toVariant(args));
  // Started on the connection's thread, so the reply is dispatched there.
  impl_->runOnLoop(
      [=, this] {
        g_dbus_connection_call(
            impl_->connection, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(), parameters,
            nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs(timeoutNs), nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
              std::unique_ptr<Pending> p(static_cast<Pending*>(data));
              GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
              std::optional<DBusValue> value;
              if (reply) {
                value = fromVariant(reply);
                g_variant_unref(reply);
              }
              {
                std::lock_guard guard(p->impl->mutex);
                if (p->impl->closing) return;
              }
              p->done(std::move(value));
            },
            pending);
        g_variant_unref(parameters);
      },
      0);
}

DBusValue DBusConnection::property(const std::string& destination, const std::string& path,
                                   const std::string& interface, const std::string& name, uint64_t timeoutNs) {
  return call(destination, path, "org.freedesktop.DBus.Properties", "Get",
              DBusValue::tuple({DBusValue::string(interface), DBusValue::string(name)}), timeoutNs)
      .at(0);
}

bool DBusConnection::nameHasOwner(const std::string& name, uint64_t timeoutNs) {
  return call(kBusName, kBusPath, kBusName, "NameHasOwner", DBusValue::tuple({DBusValue::string(name)}), timeoutNs)
      .at(0)
      .asBool();
}

unsigned DBusConnection::subscribe(const std::string& sender, const std::string& interface,
                                   const std::string& member, const std::string& path, SignalHandler handler) {
  return impl_->subscribe(sender, interface, member, path, {}, std::move(handler));
}

void DBusConnection::unsubscribe(unsigned id) {
  {
    std::lock_guard guard(impl_->mutex);
    impl_->handlers.erase(id);
  }
  // Waiting for the thread means a handler running there has returned.
  impl_->runOnLoop([this, id] {
    {
      std::lock_guard guard(impl_->mutex);
      if (impl_->subscriptions.erase(id) == 0) return;
    }
    g_dbus_connection_signal_unsubscribe(impl_->connection, id);
  });
}

unsigned DBusConnection::watchNameVanished(const std::string& name, std::function<void()> handler) {
  auto told = std::make_shared<bool>(false);
  return impl_->subscribe(kBusName, kBusName, "NameOwnerChanged", kBusPath, name,
                          [told, handler = std::move(handler)](const std::string&, const std::string&,
                                                               const DBusValue& args) {
                            if (*told || !args.at(2).asString().empty()) return;
                            *told = true;
                            handler();
                          });
}

unsigned DBusConnection::watchNameOwner(const std::string& name,
                                        std::function<void(const std::string& owner)> handler) {
  return impl_->subscribe(kBusName, kBusName, "NameOwnerChanged", kBusPath, name,
                          [handler = std::move(handler)](const std::string&, const std::string&,
                                                         const DBusValue& args) { handler(args.at(2).asString()); });
}

void DBusConnection::setOnClosed(std::function<void()> handler) {
  std::lock_guard guard(impl_->mutex);
  impl_->onClosed = std::move(handler);
}

bool DBusConnection::isClosed() const { return g_dbus_connection_is_closed(impl_->connection); }

const std::string& DBusConnection::uniqueName() const { return impl_->uniqueName; }

void DBusConnection::cutAll() {
  OpenConnections& o = openConnections();
  std::lock_guard guard(o.mutex);
  // Asynchronous: nothing here waits for the peer that does not answer.
  for (GDBusConnection* c : o.open) g_dbus_connection_close(c, nullptr, nullptr, nullptr);
}

void DBusConnection::close() {
  if (!impl_) return;
  {
    // Listed connections stay referenced by their Impl, so a cut never
    // touches one already released.
    OpenConnections& o = openConnections();
    std::lock_guard guard(o.mutex);
    o.open.erase(impl_->connection);
  }
  bool first = false;
  {
    std::lock_guard guard(impl_->mutex);
    first = !impl_->closing;
    impl_->closing = true;
    impl_->handlers.clear();
  }
  if (first && !g_dbus_connection_is_closed(impl_->connection)) {
    // Flushes what was sent (a Stop, say) and closes the socket; the services see the client go.
    GError* error = nullptr;
    g_dbus_connection_flush_sync(impl_->connection, nullptr, nullptr);
    if (!g_dbus_connection_close_sync(impl_->connection, nullptr, &error)) g_clear_error(&error);
  }
  if (first) impl_->stopLoop();
  // From a handler the loop ends when the handler returns; the destructor joins.
  if (impl_->thread.isCurrent()) return;
  if (impl_->thread.joinable() && !impl_->thread.joinFor(kCloseJoinNs)) {
    impl_->thread.detach();
    (void)impl_.release();  // still in use by the thread
  }
}

}  // namespace lumenrail
