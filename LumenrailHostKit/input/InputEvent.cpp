#include "input/InputEvent.hpp"

namespace lumenrail {

std::optional<int64_t> InputEvent::intField(uint32_t field) const {
  const auto found = intFields.find(field);
  if (found == intFields.end()) return std::nullopt;
  return found->second;
}

std::optional<double> InputEvent::doubleField(uint32_t field) const {
  const auto found = doubleFields.find(field);
  if (found == doubleFields.end()) return std::nullopt;
  return found->second;
}

bool InputEvent::isPen() const {
  if (type == EventType::tabletProximity) return true;
  const bool pointing = type == EventType::leftMouseDown || type == EventType::leftMouseUp ||
                        type == EventType::rightMouseDown || type == EventType::rightMouseUp ||
                        type == EventType::mouseMoved || type == EventType::leftMouseDragged ||
                        type == EventType::rightMouseDragged;
  return pointing && intField(EventField::mouseSubtype) == EventValue::subtypeTabletPoint;
}

}  // namespace lumenrail
