#include "input/PenButtons.hpp"

namespace lumenrail {

PenButtons::Step PenButtons::step(const PenMapper::Event& event) {
  const auto found = pens_.find(event.pointerId);
  const State prev = found == pens_.end() ? State{} : found->second;

  if (event.action == PenMapper::Action::hoverExit) {
    if (found != pens_.end()) pens_.erase(found);
    return prev.held ? Step::up(*prev.held) : Step::move();
  }

  const bool contact = event.action == PenMapper::Action::down || event.action == PenMapper::Action::drag;
  const bool barrel = event.barrel;
  State next{prev.held, contact, barrel};
  Step result = Step::move();

  if (prev.held == Button::left) {
    // The barrel does not matter while the tip holds the left button.
    if (contact) {
      result = Step::drag(Button::left);
    } else {
      result = Step::up(Button::left);
      next.held.reset();
    }
  } else if (prev.held == Button::right) {
    // The right button stays down while either the tip or the barrel is.
    if (contact || barrel) {
      result = Step::drag(Button::right);
    } else {
      result = Step::up(Button::right);
      next.held.reset();
    }
  } else if (contact && barrel) {
    if (!(prev.prevContact && prev.prevBarrel)) {
      result = Step::down(Button::right);
      next.held = Button::right;
    }
  } else if (contact) {
    if (!prev.prevContact) {
      result = Step::down(Button::left);
      next.held = Button::left;
    }
  } else if (barrel && !prev.prevBarrel) {
    // A barrel press while hovering is a right click in the air.
    result = Step::down(Button::right);
    next.held = Button::right;
  }

  pens_[event.pointerId] = next;
  return result;
}

bool PenButtons::anyHeld() const {
  for (const auto& [id, state] : pens_) {
    if (state.held) return true;
  }
  return false;
}

}  // namespace lumenrail
