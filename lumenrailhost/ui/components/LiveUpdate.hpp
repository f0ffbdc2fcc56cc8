#pragma once

// Brings a shown widget tree up to date from a tree just built from the same
// model, so that what the user holds (focus, hover, an open menu or picker,
// a switch's slide) survives a model update. Only a tree of the same shape is
// taken over: the same widget classes and names in the same order, with the
// same "liveKey" property where a widget holds what it cannot change in place
// (the closure of a row's menu, a tile's texts).

class QWidget;

namespace lumenrail {

// A drawn widget whose content can change in place.
class LiveContent {
 public:
  virtual ~LiveContent() = default;
  // `fresh` is of the same class.
  virtual void takeContent(const QWidget& fresh) = 0;
};

namespace LiveUpdate {

inline constexpr const char* kKey = "liveKey";

// True when `live` now shows what `fresh` shows; false (nothing changed) when
// the shapes differ and `fresh` should replace it.
bool takeOver(QWidget& live, const QWidget& fresh);

}  // namespace LiveUpdate

}  // namespace lumenrail
