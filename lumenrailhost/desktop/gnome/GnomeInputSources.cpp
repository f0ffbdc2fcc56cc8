#include "desktop/gnome/GnomeInputSources.hpp"

#include <gio/gio.h>

#include <algorithm>

namespace lumenrail::GnomeInputSources {

namespace {

constexpr const char* kSchema = "org.gnome.desktop.input-sources";

std::vector<Source> readSources(GSettings* settings, const char* key) {
  std::vector<Source> out;
  GVariant* value = g_settings_get_value(settings, key);
  GVariantIter iter;
  g_variant_iter_init(&iter, value);
  const gchar* type = nullptr;
  const gchar* id = nullptr;
  while (g_variant_iter_next(&iter, "(&s&s)", &type, &id)) out.push_back({type, id});
  g_variant_unref(value);
  return out;
}

std::string readOptions(GSettings* settings) {
  gchar** options = g_settings_get_strv(settings, "xkb-options");
  std::string out;
  for (gchar** o = options; o && *o; ++o) {
    if (!out.empty()) out += ",";
    out += *o;
  }
  g_strfreev(options);
  return out;
}

}  // namespace

XkbLayout parse(const std::string& source) {
  const auto plus = source.find('+');
  if (plus == std::string::npos) return {source, "", ""};
  return {source.substr(0, plus), source.substr(plus + 1), ""};
}

std::optional<XkbLayout> activeLayout(const std::vector<Source>& mru, const std::vector<Source>& sources) {
  std::vector<Source> order;
  for (const Source& s : mru) {
    if (std::find(sources.begin(), sources.end(), s) != sources.end()) order.push_back(s);
  }
  order.insert(order.end(), sources.begin(), sources.end());
  for (const Source& s : order) {
    if (s.type == "xkb") return parse(s.id);
  }
  return std::nullopt;
}

struct Watch::Impl {
  GMainContext* context = nullptr;
  GSettings* settings = nullptr;
  ~Impl() {
    if (settings) g_object_unref(settings);
    if (context) g_main_context_unref(context);
  }
};

std::unique_ptr<Watch> Watch::open() {
  GSettingsSchemaSource* schemas = g_settings_schema_source_get_default();
  if (!schemas) return nullptr;
  GSettingsSchema* schema = g_settings_schema_source_lookup(schemas, kSchema, TRUE);
  if (!schema) return nullptr;
  bool complete = true;
  for (const char* key : {"sources", "mru-sources", "xkb-options"}) complete = complete && g_settings_schema_has_key(schema, key);
  g_settings_schema_unref(schema);
  if (!complete) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->context = g_main_context_new();
  // The object's change notices go to the context that is the thread's
  // default while it is made.
  g_main_context_push_thread_default(impl->context);
  impl->settings = g_settings_new(kSchema);
  g_main_context_pop_thread_default(impl->context);
  return std::unique_ptr<Watch>(new Watch(std::move(impl)));
}

Watch::Watch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Watch::~Watch() = default;

std::optional<XkbLayout> Watch::active() {
  std::optional<XkbLayout> layout =
      activeLayout(readSources(impl_->settings, "mru-sources"), readSources(impl_->settings, "sources"));
  if (layout) layout->options = readOptions(impl_->settings);
  return layout;
}

void Watch::pump() {
  while (g_main_context_iteration(impl_->context, FALSE)) {
  }
}

}  // namespace lumenrail::GnomeInputSources
