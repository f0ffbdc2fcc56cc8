#include "desktop/gnome/GnomeTabletMapping.hpp"

#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>

#include <cstdio>

namespace lumenrail {

namespace {

constexpr const char* kSchema = "org.gnome.desktop.peripherals.tablet";
constexpr const char* kKey = "output";

}  // namespace

struct GnomeTabletMapping::Impl {
  GSettings* settings = nullptr;
  GVariant* before = nullptr;  // the user's own value at open; null: the default
  bool changed = false;

  ~Impl() {
    if (before) g_variant_unref(before);
    if (settings) g_object_unref(settings);
  }
};

std::string GnomeTabletMapping::pathFor(uint16_t vendorId, uint16_t productId) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%.4x:%.4x", vendorId, productId);
  return std::string("/org/gnome/desktop/peripherals/tablets/") + ids + "/";
}

std::unique_ptr<GnomeTabletMapping> GnomeTabletMapping::open(uint16_t vendorId, uint16_t productId, std::string* why,
                                                             Store store) {
  // GSettings aborts the process on a schema it does not know: look it up first.
  GSettingsSchemaSource* schemas = g_settings_schema_source_get_default();
  GSettingsSchema* schema = schemas ? g_settings_schema_source_lookup(schemas, kSchema, TRUE) : nullptr;
  const bool usable = schema && g_settings_schema_has_key(schema, kKey);
  if (!usable) {
    if (schema) g_settings_schema_unref(schema);
    if (why) *why = std::string("GNOME's tablet settings (") + kSchema + ") are not installed";
    return nullptr;
  }
  GSettingsBackend* backend = store == Store::memory ? g_memory_settings_backend_new() : nullptr;
  auto impl = std::make_unique<Impl>();
  impl->settings = g_settings_new_full(schema, backend, pathFor(vendorId, productId).c_str());
  g_settings_schema_unref(schema);
  if (backend) g_object_unref(backend);
  impl->before = g_settings_get_user_value(impl->settings, kKey);
  return std::unique_ptr<GnomeTabletMapping>(new GnomeTabletMapping(std::move(impl)));
}

GnomeTabletMapping::GnomeTabletMapping(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

GnomeTabletMapping::~GnomeTabletMapping() { restore(); }

void GnomeTabletMapping::mapTo(const Output& output) {
  const gchar* value[] = {output.vendor.c_str(), output.product.c_str(), output.serial.c_str(), nullptr};
  g_settings_set_strv(impl_->settings, kKey, value);
  impl_->changed = true;
}

GnomeTabletMapping::Output GnomeTabletMapping::current() const {
  gchar** value = g_settings_get_strv(impl_->settings, kKey);
  Output out;
  std::string* fields[] = {&out.vendor, &out.product, &out.serial};
  for (size_t i = 0; i < 3 && value[i]; ++i) *fields[i] = value[i];
  g_strfreev(value);
  return out;
}

void GnomeTabletMapping::restore() {
  if (!impl_->changed) return;
  impl_->changed = false;
  if (impl_->before) {
    g_settings_set_value(impl_->settings, kKey, impl_->before);
  } else {
    g_settings_reset(impl_->settings, kKey);
  }
  // The process may end right after: the write must have left it.
  g_settings_sync();
}

}  // namespace lumenrail
