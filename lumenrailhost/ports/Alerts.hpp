#pragma once

// Modal alerts, as the session's pairing question and the tray controller
// both raise them. The views target implements them with Qt, the tests with
// fakes.

#include <memory>
#include <string>
#include <vector>

namespace lumenrail {

// One modal alert on the primary screen. Responses: 1000 for the first
// button, 1001 for the second.
class ModalAlert {
 public:
  virtual ~ModalAlert() = default;
  // Brings the application forward (unless a peer raised it), shows the
  // alert and returns its response; the main loop keeps turning meanwhile.
  // Main thread.
  virtual int runModal() = 0;
  // Ends this alert (and no other) with `response`; nothing once it has
  // ended. Main thread.
  virtual void end(int response) = 0;
};

class AlertRunner {
 public:
  struct Content {
    std::string title;
    std::string detail;
    std::vector<std::string> buttons;  // the first is the affirmative one
    bool informational = false;
    // Raised by a device, not by the user: it takes no focus from the window
    // the user is typing in (it shows above it, marked urgent), and the last
    // button (the refusal) answers Return, Space and Escape. The others take
    // a click, or Tab to them and Space.
    bool raisedByPeer = false;
  };
  virtual ~AlertRunner() = default;
  virtual std::shared_ptr<ModalAlert> make(const Content& content) = 0;
};

}  // namespace lumenrail
