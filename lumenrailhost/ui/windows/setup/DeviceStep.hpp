#pragma once

// The last page: where the phone or tablet gets the client (a QR code of
// the download page and its address), the open-at-login choice, where the
// host lives afterwards, and a warning while screen capture is not allowed.

#include <QWidget>

#include "app/windows/SetupModel.hpp"

namespace lumenrail {

namespace Brand {
// The maker's page where the client application is obtained.
inline constexpr const char* kUrlGetApp = "https://quillmark.example/lumenrail/get";
}  // namespace Brand

class DeviceStep final : public QWidget {
  Q_OBJECT

 public:
  // `installed`: only an installed host can start at login, so the box is
  // disabled otherwise (its value still reaches the finish).
  DeviceStep(SetupModel& model, bool installed, QWidget* parent = nullptr);
};

}  // namespace lumenrail
