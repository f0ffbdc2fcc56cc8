#pragma once

#include <QWidget>

#include "app/panel/PanelActions.hpp"
#include "app/panel/PanelPresenter.hpp"
#include "app/text/L10n.hpp"

class QAbstractButton;
class QMenu;

namespace lumenrail {

// One connected client: its link badge, name and detail line, and for a
// paired device the menu of what can be done to it.
class DeviceRow final : public QWidget {
  Q_OBJECT

 public:
  DeviceRow(const PanelDeviceRow& row, const PanelActions& actions, const Localizer& texts = L10n::shared(),
            QWidget* parent = nullptr);

  // Nothing for a device without a fingerprint.
  QAbstractButton* menuButton() const { return menuButton_; }
  QMenu* menu() const { return menu_; }

 private:
  QAbstractButton* menuButton_ = nullptr;
  QMenu* menu_ = nullptr;
};

}  // namespace lumenrail
