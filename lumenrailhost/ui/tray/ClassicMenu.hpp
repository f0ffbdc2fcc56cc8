#pragma once

// The classic tray menu made from its description. The tray attaches one
// ClassicMenu for good (trays that export menus over D-Bus need it there
// before the click) and it rebuilds itself from a fresh description every
// time it is about to show.

#include <functional>

#include <QMenu>

#include "app/panel/MenuDescription.hpp"

namespace lumenrail {

class ClassicMenu final : public QMenu {
  Q_OBJECT

 public:
  using Describe = std::function<MenuDescription()>;
  using Run = std::function<void(const MenuItem& item)>;

  ClassicMenu(Describe describe, Run run, QWidget* parent = nullptr);

  // Empties `menu` and fills it from `items`; `run` gets each triggered item.
  static void fill(QMenu& menu, const std::vector<MenuItem>& items, const Run& run);

  // Rebuilds now (the aboutToShow handler).
  void rebuild();

 private:
  Describe describe_;
  Run run_;
};

}  // namespace lumenrail
