#pragma once

// Waits on the Qt event loop: turns it until `condition` holds or the
// deadline passes (D-Bus replies and signals arrive through it).

#include <functional>

#include <QCoreApplication>

#include "support/Waiting.hpp"

namespace lumenrail::test {

inline bool spinUntil(const std::function<bool()>& condition) {
  return eventually([&] {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
  });
}

}  // namespace lumenrail::test
