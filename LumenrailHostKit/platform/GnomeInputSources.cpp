#include "platform/GnomeInputSources.hpp"

#include <gio/gio.h>

namespace lumenrail::GnomeInputSources {

XkbLayout parse(const std::string& source) {
  const auto plus = source.find('+');
  if (plus == std::string::npos) return {source, ""};
  return {source.substr(0, plus), source.substr(plus + 1)};
}

std::optional<XkbLayout> firstXkbLayout() {
  // GSettings aborts the process on a schema it does not know: look it up first.
  GSettingsSchemaSource* schemas = g_settings_schema_source_get_default();
  if (!schemas) return std::nullopt;
  GSettingsSchema* schema = g_settings_schema_source_lookup(schemas, "org.gnome.desktop.input-sources", TRUE);
  if (!schema) return std::nullopt;
  const bool hasKey = g_settings_schema_has_key(schema, "sources");
  g_settings_schema_unref(schema);
  if (!hasKey) return std::nullopt;
  GSettings* settings = g_settings_new("org.gnome.desktop.input-sources");
  GVariant* sources = g_settings_get_value(settings, "sources");
  std::optional<XkbLayout> found;
  GVariantIter iter;
  g_variant_iter_init(&iter, sources);
  const gchar* type = nullptr;
  const gchar* id = nullptr;
  while (!found && g_variant_iter_next(&iter, "(&s&s)", &type, &id)) {
    if (std::string(type) == "xkb") found = parse(id);
  }
  g_variant_unref(sources);
  g_object_unref(settings);
  return found;
}

}  // namespace lumenrail::GnomeInputSources
