#pragma once

#include <map>

#include <QWidget>

#include "app/panel/PanelActions.hpp"
#include "app/panel/PanelPresenter.hpp"
#include "text/L10n.hpp"
#include "ui/components/LiveUpdate.hpp"

class QAbstractButton;
class QAction;
class QMenu;
class QVBoxLayout;

namespace lumenrail {

class IconBadge;
class KitLabel;

// One connected client: its link badge, name and detail line, and for a
// paired device the menu of what can be done to it. It shows a new state of
// the same device in place, so its menu stays open through a refresh, and
// the menu goes where the row goes.
class DeviceRow final : public QWidget {
  Q_OBJECT

 public:
  DeviceRow(const PanelDeviceRow& row, const PanelActions& actions, const Localizer& texts = L10n::shared(),
            QWidget* parent = nullptr);

  void showRow(const PanelDeviceRow& row);
  int32_t id() const { return row_.id; }

  // Nothing for a device without a fingerprint.
  QAbstractButton* menuButton() const;
  QMenu* menu() const { return row_.fingerprint ? menu_ : nullptr; }

 private:
  PanelDeviceRow row_;
  IconBadge* badge_;
  QWidget* name_;
  KitLabel* detail_;
  QAbstractButton* menuButton_;
  QMenu* menu_;
  QAction* setMain_;
};

// The panel's devices, one row per device id: a refresh updates the rows of
// devices still there, adds and drops only the others, and puts a divider
// before every row but the first. An open row menu survives devices coming
// and going, and stays with its row.
class DeviceList final : public QWidget, public LiveContent {
  Q_OBJECT

 public:
  DeviceList(const std::vector<PanelDeviceRow>& rows, const PanelActions& actions,
             const Localizer& texts = L10n::shared(), QWidget* parent = nullptr);

  void showRows(const std::vector<PanelDeviceRow>& rows);
  void takeContent(const QWidget& fresh) override;
  bool ownsChildren() const override { return true; }

 private:
  void followTabOrder(const std::vector<PanelDeviceRow>& rows);

  const PanelActions& actions_;
  const Localizer& texts_;
  std::vector<PanelDeviceRow> rows_;
  QVBoxLayout* column_;
  std::map<int32_t, DeviceRow*> shown_;
};

}  // namespace lumenrail
