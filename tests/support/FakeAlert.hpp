#pragma once

#include <functional>
#include <optional>

#include "ports/Alerts.hpp"

namespace lumenrail::test {

// A modal alert that returns `answer` at once when it has one; else it stays
// up, turning the test's main loop through `turn`, until it is ended (or the
// loop has nothing left: -1).
struct FakeAlert final : ModalAlert {
  AlertRunner::Content content;
  std::optional<int> answer;
  std::optional<int> endedWith;
  std::function<bool()> turn;  // runs one piece of main-loop work; false when there is none

  int runModal() override {
    if (answer) return *answer;
    while (!endedWith && turn && turn()) {
    }
    return endedWith.value_or(-1);
  }
  void end(int response) override {
    if (!endedWith) endedWith = response;
  }
};

}  // namespace lumenrail::test
