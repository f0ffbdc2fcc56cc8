#pragma once

// Brings a shown widget tree up to date from a tree just built from the same
// model, so that what the user holds (focus, hover, an open menu or picker,
// a switch's slide) survives a model update. Only a tree of the same shape is
// taken over: the same widget classes and names in the same order, with the
// same "liveKey" property where a widget holds what it cannot change in place
// (the closure of a row's menu, a tile's texts).

#include <vector>

#include <QByteArray>

class QWidget;

namespace lumenrail {

// A drawn widget whose content can change in place.
class LiveContent {
 public:
  virtual ~LiveContent() = default;
  // `fresh` is of the same class.
  virtual void takeContent(const QWidget& fresh) = 0;
  // True for a list that adds, keeps and drops its own children in
  // `takeContent`: the take-over neither compares nor walks them.
  virtual bool ownsChildren() const { return false; }
};

namespace LiveUpdate {

inline constexpr const char* kKey = "liveKey";

// True when `live` now shows what `fresh` shows; false (nothing changed) when
// the shapes differ and `fresh` should replace it.
bool takeOver(QWidget& live, const QWidget& fresh);

// Where keyboard focus sits under `root` (the window's focus widget, so it
// holds while a dialog is up): the path of child positions down to it.
struct FocusPlace {
  std::vector<int> path;
  std::vector<int> siblings;  // how many widgets stood at each level of the path
  QByteArray className;
  bool empty() const { return path.empty(); }
};
FocusPlace focusPlace(const QWidget& root);

// After `root` was built anew: focus goes to the widget at the same place
// when it is one of the same class that takes focus, else to the first that
// does under the deepest place that is still there. A level that lost or
// gained widgets (a row forgotten) ends the path there: the same index now
// names another row's control, a Forget the user never pointed at.
void restoreFocus(QWidget& root, const FocusPlace& place);

}  // namespace LiveUpdate

}  // namespace lumenrail
