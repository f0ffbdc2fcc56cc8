#pragma once

// Fakes of the tray application's desktop ports, shared by the model and
// view tests.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/AppPorts.hpp"
#include "app/windows/WindowPorts.hpp"
#include "ports/HostPermissions.hpp"
#include "settings/HostSettingsStore.hpp"

namespace lumenrail::test {

struct FakeClipboard final : Clipboard {
  bool takes = true;
  std::string text;
  bool setText(const std::string& t) override {
    text = t;
    return takes;
  }
};

// Answers every link at once with `answers`.
struct FakeOpener final : UrlOpener {
  bool answers = true;
  std::vector<std::string> opened;
  void open(const std::string& url, std::function<void(bool)> done) override {
    opened.push_back(url);
    if (done) done(answers);
  }
};

// Takes each change unless `answer` holds a note, which it returns instead.
struct FakeLoginItem final : LoginItemPort {
  bool installed = true;
  bool enabled = false;
  std::vector<bool> calls;
  std::optional<LoginItem::Note> answer;
  bool available() const override { return installed; }
  bool isEnabled() const override { return enabled; }
  std::optional<LoginItem::Note> setEnabled(bool on) override {
    calls.push_back(on);
    if (!answer) enabled = on;
    return answer;
  }
};

struct FakeProbe final : HostPermissions::Probe {
  bool screen = false;
  bool input = false;
  bool screenCapture() override { return screen; }
  bool mayPostInput() override { return input; }
};

// Keeps every save; loads the last one, the shipped defaults before any.
struct RecordingStore final : HostSettingsStore {
  std::vector<HostSettings> saves;
  HostSettings load() override { return saves.empty() ? HostSettings::shipDefaults() : saves.back(); }
  void save(const HostSettings& s) override { saves.push_back(s); }
};

}  // namespace lumenrail::test
