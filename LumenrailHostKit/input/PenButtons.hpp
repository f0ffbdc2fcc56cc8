#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "input/PenMapper.hpp"

namespace lumenrail {

// Decides, per pen pointer, which synthetic mouse button a pen event presses,
// drags or releases: the tip (pen or eraser) is the left button, the barrel
// the right one, also while hovering.
class PenButtons final {
 public:
  enum class Button : uint8_t { left = 0, right = 1 };

  struct State {
    std::optional<Button> held;  // the button this pointer holds down
    bool prevContact = false;
    bool prevBarrel = false;
    bool operator==(const State&) const = default;
  };

  struct Step {
    enum class Kind : uint8_t { down, drag, up, move };
    Kind kind = Kind::move;
    Button button = Button::left;  // left for a move
    static Step down(Button b) { return {Kind::down, b}; }
    static Step drag(Button b) { return {Kind::drag, b}; }
    static Step up(Button b) { return {Kind::up, b}; }
    static Step move() { return {Kind::move, Button::left}; }
    bool operator==(const Step&) const = default;
  };

  Step step(const PenMapper::Event& event);
  bool anyHeld() const;
  void reset() { pens_.clear(); }

  const std::map<uint8_t, State>& pens() const { return pens_; }

 private:
  std::map<uint8_t, State> pens_;
};

}  // namespace lumenrail
