#pragma once

#include <optional>
#include <string>

namespace lumenrail {

// The rename dialog: a text field under a title and a message, placed like
// every alert. Gives the field's text when the owner chose Rename, nothing
// when the dialog ended any other way.
class RenamePrompt {
 public:
  struct Request {
    std::string title;
    std::string message;
    std::string text;         // the current alias, "" when none
    std::string placeholder;  // the label the device sent
    std::string accept;       // first button
    std::string cancel;
    bool operator==(const Request&) const = default;
  };
  virtual ~RenamePrompt() = default;
  virtual std::optional<std::string> ask(const Request& request) = 0;
};

}  // namespace lumenrail
