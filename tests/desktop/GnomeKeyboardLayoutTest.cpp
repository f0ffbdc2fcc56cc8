// The keyboard layout on GNOME: the input source in use (mru-sources before
// sources) is followed through GSettings while the session runs, and
// punctuation that the layout types with Shift or AltGr gets them. The
// settings live in a private keyfile that another process (gsettings, as
// GNOME Shell would) changes.
#include <gio/gio.h>
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gsettingsbackend.h>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <stdlib.h>
#include <sys/wait.h>

#include "desktop/gnome/GnomeInputSources.hpp"
#include "desktop/gnome/GnomeKeyboardLayout.hpp"
#include "input/InputEvent.hpp"
#include "input/KeyComboInjector.hpp"
#include "input/KeyStateSync.hpp"
#include "support/ChildProcess.hpp"
#include "support/TempFolder.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using GnomeInputSources::Source;
using GnomeInputSources::XkbLayout;

TEST(GnomeInputSources, TheSourceInUseIsTheLatestStillConfiguredOne) {
  const Source us{"xkb", "us"}, de{"xkb", "de+nodeadkeys"}, fr{"xkb", "fr"}, anthy{"ibus", "anthy"};
  struct Row {
    std::vector<Source> mru, sources;
    std::optional<XkbLayout> expected;
  };
  const std::vector<Row> rows = {
      {{}, {us, de}, XkbLayout{"us", "", ""}},
      {{de, us}, {us, de}, XkbLayout{"de", "nodeadkeys", ""}},
      {{fr, de}, {us, de}, XkbLayout{"de", "nodeadkeys", ""}},  // fr was removed since
      {{anthy, de}, {us, anthy, de}, XkbLayout{"de", "nodeadkeys", ""}},
      {{anthy}, {anthy}, std::nullopt},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(GnomeInputSources::activeLayout(rows[i].mru, rows[i].sources), rows[i].expected) << "row " << i;
  }
}

// The evdev keys a chord becomes at the desktop.
std::vector<KeyStateSync::KeyAction> evdevOf(const std::vector<KeyComboInjector::Keystroke>& strokes) {
  KeyStateSync sync;
  std::vector<KeyStateSync::KeyAction> out;
  for (const auto& s : strokes) {
    for (const auto& a : sync.apply(s.keyCode, s.down, s.flags)) out.push_back(a);
  }
  return out;
}

std::vector<KeyStateSync::KeyAction> tap(const std::optional<KeyboardLayoutMap>& map, uint8_t vk,
                                         uint16_t modifiers = 0) {
  const auto strokes = KeyComboInjector::expand({modifiers, Wire::KeyComboAction::tap, {vk}}, map);
  return strokes ? evdevOf(*strokes) : std::vector<KeyStateSync::KeyAction>{};
}

std::vector<KeyStateSync::KeyAction> pressed(std::initializer_list<uint16_t> modifiers, uint16_t key) {
  std::vector<KeyStateSync::KeyAction> out;
  for (const uint16_t m : modifiers) out.push_back({m, true});
  out.push_back({key, true});
  out.push_back({key, false});
  for (auto it = std::rbegin(modifiers); it != std::rend(modifiers); ++it) out.push_back({*it, false});
  return out;
}

bool gsettingsSet(const test::TempFolder& dir, const std::vector<std::string>& env, const std::string& key,
                  const std::string& value) {
  const pid_t pid = test::spawnLogged({"/usr/bin/gsettings", "set", "org.gnome.desktop.input-sources", key, value},
                                      env, dir.path("gsettings.log"), true);
  int status = -1;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(GnomeKeyboardLayout, FollowsTheSourceTheUserSwitchesToAndTypesItsPunctuation) {
  if (::access("/usr/bin/gsettings", X_OK) != 0) GTEST_SKIP() << "gsettings is not installed";
  test::TempFolder dir("lumenrail-gnome-keys");
  const std::vector<std::string> env = {"GSETTINGS_BACKEND=keyfile", "XDG_CONFIG_HOME=" + dir.path("config")};
  for (const std::string& entry : env) ::putenv(::strdup(entry.c_str()));
  GSettingsSchemaSource* schemas = g_settings_schema_source_get_default();
  GSettingsSchema* schema = schemas ? g_settings_schema_source_lookup(schemas, "org.gnome.desktop.input-sources", TRUE)
                                    : nullptr;
  if (!schema) GTEST_SKIP() << "GNOME's input-sources schema is not installed (gsettings-desktop-schemas)";
  g_settings_schema_unref(schema);
  ASSERT_TRUE(gsettingsSet(dir, env, "sources", "[('xkb', 'us'), ('xkb', 'de')]"));

  auto source = GnomeKeyboardLayout::source();
  ASSERT_TRUE(source->watches());
  GSettingsBackend* chosen = g_settings_backend_get_default();
  const std::string backend = G_OBJECT_TYPE_NAME(chosen);
  g_object_unref(chosen);
  if (backend != "GKeyfileSettingsBackend") GTEST_SKIP() << "GSettings chose " << backend << " before this test";
  std::optional<KeyboardLayoutMap> map = source->current();
  ASSERT_TRUE(map);
  // US: y and z where they are printed; "/" unmodified.
  EXPECT_EQ(tap(map, 0x59), pressed({}, KEY_Y));
  EXPECT_EQ(tap(map, 0x5A), pressed({}, KEY_Z));
  EXPECT_EQ(tap(map, 0xBF), pressed({}, KEY_SLASH));
  EXPECT_FALSE(source->changed());

  // The user switches to German in the panel: GNOME Shell puts it first.
  ASSERT_TRUE(gsettingsSet(dir, env, "mru-sources", "[('xkb', 'de'), ('xkb', 'us')]"));
  ASSERT_TRUE(test::eventually([&] { return source->changed(); })) << "the switch was not noticed";
  map = source->current();
  ASSERT_TRUE(map);
  EXPECT_EQ(tap(map, 0x59), pressed({}, KEY_Z));  // German y and z trade places
  EXPECT_EQ(tap(map, 0x5A), pressed({}, KEY_Y));
  EXPECT_EQ(tap(map, 0x5A, Wire::KeyModifier::ctrl), pressed({KEY_LEFTCTRL}, KEY_Y));
  EXPECT_EQ(tap(map, 0xBF), pressed({KEY_LEFTSHIFT}, KEY_7));                    // "/" is Shift+7
  EXPECT_EQ(tap(map, 0xBF, Wire::KeyModifier::ctrl), pressed({KEY_LEFTCTRL, KEY_LEFTSHIFT}, KEY_7));
  EXPECT_EQ(tap(map, 0xBA), pressed({KEY_LEFTSHIFT}, KEY_COMMA));                // ";" is Shift+,
  EXPECT_EQ(tap(map, 0xDB), pressed({KEY_RIGHTALT}, KEY_8));                     // "[" is AltGr+8
  EXPECT_EQ(tap(map, 0xDC), pressed({KEY_RIGHTALT}, KEY_MINUS));                 // "\" is AltGr+ß
  EXPECT_EQ(tap(map, 0xBD), pressed({}, KEY_SLASH));                             // "-" is plain
  EXPECT_FALSE(source->changed());

  // And back.
  ASSERT_TRUE(gsettingsSet(dir, env, "mru-sources", "[('xkb', 'us'), ('xkb', 'de')]"));
  ASSERT_TRUE(test::eventually([&] { return source->changed(); }));
  EXPECT_EQ(tap(source->current(), 0x59), pressed({}, KEY_Y));
}

}  // namespace
}  // namespace lumenrail
