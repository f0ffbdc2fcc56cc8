// The pairing, About and settings windows offscreen. Set LUMENRAIL_UI_SNAPSHOTS
// to a folder to also get every window and settings page as PNG files, light
// and dark.
#include <gtest/gtest.h>

#include <zbar.h>

#include <cstdlib>

#include <QAbstractButton>
#include <QComboBox>
#include <QLayout>
#include <QAbstractItemView>
#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

#include "app/controller/AlertPlacement.hpp"
#include "support/AppPortFakes.hpp"
#include "support/Contrast.hpp"
#include "support/ManualExecutor.hpp"
#include "text/L10n.hpp"
#include "ui/components/DialogLook.hpp"
#include "ui/components/HostBanner.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/qt/MenuBarAlert.hpp"
#include "ui/qt/QtAlertRunner.hpp"
#include "ui/style/FocusRing.hpp"
#include "ui/style/KitParts.hpp"
#include "ui/tray/PanelPopup.hpp"
#include "ui/tray/PanelWindow.hpp"
#include "ui/windows/about/AboutView.hpp"
#include "ui/windows/about/AboutWindowController.hpp"
#include "ui/windows/InputAccessWindow.hpp"
#include "ui/windows/QrWindowController.hpp"
#include "ui/windows/RenameDialog.hpp"
#include "ui/windows/settings/SettingsActions.hpp"
#include "ui/windows/settings/SettingsView.hpp"
#include "ui/windows/settings/SettingsWindowController.hpp"
#include "ui/windows/settings/SidebarButton.hpp"
#include "ui/windows/setup/SetupWindowController.hpp"

namespace lumenrail {
namespace {

// Every symbol zbar finds in an 8-bit grey image.
std::vector<std::string> decode(const QImage& picture) {
  using namespace zbar;
  const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
  std::vector<uint8_t> pixels;
  for (int y = 0; y < grey.height(); ++y) {
    const uchar* row = grey.constScanLine(y);
    pixels.insert(pixels.end(), row, row + grey.width());
  }
  zbar_image_scanner_t* scanner = zbar_image_scanner_create();
  zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
  zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
  zbar_image_t* image = zbar_image_create();
  zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
  zbar_image_set_size(image, static_cast<unsigned>(grey.width()), static_cast<unsigned>(grey.height()));
  zbar_image_set_data(image, pixels.data(), pixels.size(), nullptr);
  std::vector<std::string> found;
  if (zbar_scan_image(scanner, image) > 0) {
    for (auto* s = zbar_image_first_symbol(image); s != nullptr; s = zbar_symbol_next(s)) {
      found.emplace_back(zbar_symbol_get_data(s), zbar_symbol_get_data_length(s));
    }
  }
  zbar_image_destroy(image);
  zbar_image_scanner_destroy(scanner);
  return found;
}

QImage render(QWidget& widget) {
  widget.ensurePolished();
  if (widget.layout() != nullptr) widget.layout()->activate();
  QImage image(widget.size() * 2, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(2);
  image.fill(Qt::white);
  widget.render(&image);
  return image;
}

void snapshot(QWidget& widget, const std::string& name) {
  const char* folder = std::getenv("LUMENRAIL_UI_SNAPSHOTS");
  if (folder == nullptr || *folder == '\0') return;
  const std::string look = Appearance::isDark() ? "dark" : "light";
  render(widget).save(QString::fromStdString(std::string(folder) + "/" + name + "-" + look + ".png"));
}

const std::vector<LanAddress::Candidate> kOneAddress = {{"192.168.1.20", "wlan0", "Wi-Fi", true}};

QrWindowModel::Ports qrPorts(std::shared_ptr<Clipboard> clipboard, const std::shared_ptr<test::ManualExecutor>& main,
                             std::vector<LanAddress::Candidate> addresses = kOneAddress) {
  QrWindowModel::Ports ports;
  ports.clientCount = [] { return int64_t{0}; };
  ports.candidates = [addresses] { return addresses; };
  ports.clipboard = std::move(clipboard);
  ports.main = main;
  ports.log = [](const std::string&) {};
  return ports;
}

TEST(QrWindow, TheCodeOnScreenAndTheImageScanToTheExactLink) {
  Appearance::instance().pin(AppearanceKind::light);
  auto main = std::make_shared<test::ManualExecutor>();
  auto clipboard = std::make_shared<test::FakeClipboard>();
  QrWindowController qr(27184, Bytes{1, 2, 3, 0xFB, 0xFF, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 42}, qrPorts(clipboard, main));
  qr.show(false);
  const std::string link = *qr.model().link();
  ASSERT_NE(link.find("#k="), std::string::npos);
  EXPECT_EQ(decode(render(*qr.window())), std::vector<std::string>{link});
  EXPECT_EQ(decode(QrWindowController::qrImage(link, 6)), std::vector<std::string>{link});
  EXPECT_TRUE(QrWindowController::qrImage("", 6).isNull());

  // Copy: the clipboard holds exactly that link; the button reads "copied" until the delay runs.
  auto buttons = qr.window()->findChildren<QAbstractButton*>();
  auto copy = std::find_if(buttons.begin(), buttons.end(),
                           [](auto* b) { return b->text().toStdString() == L10n::text("qr.copyLink"); });
  ASSERT_NE(copy, buttons.end());
  QTest::mouseClick(*copy, Qt::LeftButton);
  EXPECT_EQ(clipboard->text, link);
  EXPECT_EQ((*copy)->text().toStdString(), L10n::text("qr.copied"));
  main->advance(1'499'000'000);
  EXPECT_EQ((*copy)->text().toStdString(), L10n::text("qr.copied"));
  main->advance(1'000'000);
  EXPECT_EQ((*copy)->text().toStdString(), L10n::text("qr.copyLink"));
  snapshot(*qr.window(), "qr-stopped");
  qr.close();
  EXPECT_FALSE(qr.window()->isVisible());
  EXPECT_FALSE(qr.model().watching());
}

TEST(QrWindow, SnapshotsWithAChooserAndWithoutANetwork) {
  for (auto look : {AppearanceKind::light, AppearanceKind::dark}) {
    Appearance::instance().pin(look);
    auto main = std::make_shared<test::ManualExecutor>();
    QrWindowController many(27184, std::nullopt,
                            qrPorts(nullptr, main, {{"192.168.1.20", "wlan0", "Wi-Fi", true},
                                                      {"10.0.0.7", "eth0", "Ethernet", false}}));
    many.show(true);
    ASSERT_NE(many.window()->findChild<QComboBox*>(), nullptr);
    EXPECT_EQ(many.window()->findChild<QComboBox*>()->count(), 2);
    snapshot(*many.window(), "qr-addresses");
    QrWindowController none(27184, std::nullopt, qrPorts(nullptr, main, {}));
    none.show(true);
    EXPECT_EQ(none.window()->findChild<QComboBox*>(), nullptr);
    snapshot(*none.window(), "qr-nonetwork");
    if (look == AppearanceKind::light) continue;
    QrWindowController one(27184, std::nullopt, qrPorts(nullptr, main));
    one.show(false);
    snapshot(*one.window(), "qr-stopped");
  }
  Appearance::instance().pin(AppearanceKind::light);
}

struct SettingsHarness {
  std::shared_ptr<test::RecordingStore> store = std::make_shared<test::RecordingStore>();
  std::shared_ptr<HostSettingsModel> model;
  std::shared_ptr<test::ManualExecutor> main = std::make_shared<test::ManualExecutor>();
  SettingsPorts ports;
  std::vector<PairedDevice> paired;
  int removals = 0;
  SettingsHarness(const SettingsHarness&) = delete;

  explicit SettingsHarness(std::string alias = "Studio tablet") {
    paired = {{"3f9a1c0b7d2e4a5f8c6b1d0e9f7a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c", {}, "Pixel Tablet", 1.7e9, {}, 1,
               alias},
              {"aa11bb22cc33dd44ee55ff6677889900aabbccddeeff00112233445566778899", {}, "iPad Pro", 1.6e9, {}, 4, {}}};
    HostSettingsModel::Callbacks callbacks;
    callbacks.refreshPaired = [this] { return paired; };
    callbacks.onRename = [this](const std::string& fingerprint, const std::string& alias) {
      for (auto& device : paired) {
        if (device.fingerprint == fingerprint) device.alias = alias;
      }
    };
    callbacks.onForget = [this](const std::string& fingerprint) {
      std::erase_if(paired, [&](const PairedDevice& device) { return device.fingerprint == fingerprint; });
    };
    callbacks.onRemoveData = [this] { ++removals; };
    HostSettings running = HostSettings::shipDefaults();
    model = std::make_shared<HostSettingsModel>(HostSettings::shipDefaults(), running, true, store, callbacks);
    ports.clipboard = std::make_shared<test::FakeClipboard>();
    ports.opener = std::make_shared<test::FakeOpener>();
    ports.loginItem = std::make_shared<test::FakeLoginItem>();
    ports.main = main;
    ports.logFile = "/nonexistent/Lumenrail/host.log";
  }
};

// Linux has no privacy pane: the window names the grant, copies its command
// and notices the grant within one re-check.
TEST(InputAccessWindow, ShowsTheCommandCopiesItAndRechecksWhileShown) {
  bool allowed = false;
  auto clipboard = std::make_shared<test::FakeClipboard>();
  auto main = std::make_shared<test::ManualExecutor>();
  const std::string command = "sudo /opt/l/libexec/lumenrail/grant-input-access";
  InputAccessWindow window(command, [&] { return allowed; }, clipboard, main);
  window.present();
  EXPECT_EQ(window.windowTitle(), "Allow Pen and Touch Input");
  EXPECT_EQ(window.windowType(), Qt::Window);
  ASSERT_NE(window.findChild<QLabel*>("command"), nullptr);
  EXPECT_EQ(window.findChild<QLabel*>("command")->text().toStdString(), command);
  auto* copy = window.findChild<QAbstractButton*>("copy");
  QTest::mouseClick(copy, Qt::LeftButton);
  EXPECT_EQ(clipboard->text, command);
  // Copy says it was done, then reads Copy again.
  EXPECT_EQ(copy->text(), "Copied");
  main->advance(InputAccessWindow::kCopiedForNs);
  EXPECT_EQ(copy->text(), "Copy");
  EXPECT_FALSE(window.showsAllowed());
  if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
    QImage image(window.size() * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    window.render(&image);
    image.save(QString("%1/input-access.png").arg(dir));
  }
  allowed = true;
  main->advance(InputAccessWindow::kRecheckNs);
  EXPECT_TRUE(window.showsAllowed());
  QTest::mouseClick(window.findChild<QAbstractButton*>("done"), Qt::LeftButton);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(main->pending(), 0u);
}

TEST(SettingsWindow, PortFieldSavesOnceWhenEditingEndsNotWhileTyping) {
  SettingsHarness h;
  SettingsView view(h.model, h.ports, SettingsSection::connection, false);
  view.show();
  auto* field = view.page()->findChild<QLineEdit*>();
  ASSERT_NE(field, nullptr);
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, "80");
  EXPECT_TRUE(h.store->saves.empty());  // "8" and "80" were never clamped and saved
  // A publish meanwhile (the owner's sync) does not end the editing by rebuilding the page.
  h.model->setServing(true);
  QCoreApplication::processEvents();
  EXPECT_EQ(view.page()->findChild<QLineEdit*>(), field);
  EXPECT_TRUE(h.store->saves.empty());
  QTest::keyClick(field, Qt::Key_Return);
  ASSERT_EQ(h.store->saves.size(), 1u);
  EXPECT_EQ(h.store->saves[0].port, 1024);
  EXPECT_EQ(h.model->settings().port, 1024);
  // Serving with another port than the session's: the banner names it.
  QCoreApplication::processEvents();
  ASSERT_NE(view.banner(), nullptr);
  EXPECT_EQ(view.page()->findChild<QLineEdit*>()->text(), "1024");
}

TEST(SettingsWindow, ASwitchKeepsFocusAndAnOpenPickerStaysThroughUpdates) {
  SettingsHarness h;
  SettingsView view(h.model, h.ports, SettingsSection::pen);
  view.show();
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  const QPointer<HostSwitch> toggle = view.page()->findChild<HostSwitch*>();
  ASSERT_FALSE(toggle.isNull());
  toggle->setFocus();
  ASSERT_TRUE(toggle->hasFocus());
  const bool was = toggle->isOn();
  QTest::keyClick(toggle, Qt::Key_Space);
  ASSERT_TRUE(QTest::qWaitFor([&] { return toggle.isNull() || toggle->isOn() != was; }, 5000));
  ASSERT_FALSE(toggle.isNull());  // the page took the new value in place
  EXPECT_TRUE(toggle->isVisible());
  EXPECT_TRUE(toggle->hasFocus());

  view.setSection(SettingsSection::display);
  const QPointer<QComboBox> picker = view.page()->findChild<QComboBox*>();
  ASSERT_FALSE(picker.isNull());
  picker->showPopup();
  ASSERT_TRUE(picker->view()->isVisible());
  h.model->setServing(true);
  QCoreApplication::processEvents();
  ASSERT_FALSE(picker.isNull());
  EXPECT_TRUE(picker->view()->isVisible());
  picker->hidePopup();
}

TEST(SettingsWindow, ALongDeviceNameKeepsTheRowsControlsOnThePage) {
  SettingsHarness h(std::string(70, 'W'));
  SettingsView view(h.model, h.ports, SettingsSection::pairing);
  view.show();
  view.page()->layout()->activate();
  QWidget* page = view.page();
  const QRect inside = view.rect();
  const auto controls = page->findChildren<QAbstractButton*>();
  ASSERT_EQ(controls.size(), 4);  // rename and forget for two devices
  for (QWidget* control : page->findChildren<QWidget*>()) {
    if (qobject_cast<QAbstractButton*>(control) == nullptr && qobject_cast<HostSwitch*>(control) == nullptr) continue;
    const QRect at(control->mapTo(&view, QPoint(0, 0)), control->size());
    EXPECT_TRUE(inside.contains(at)) << control->metaObject()->className() << " at " << at.x() << "+" << at.width()
                                     << " outside the window";
  }
  const auto* name = page->findChild<KitLabel*>("deviceName");
  EXPECT_TRUE(name->shownText().endsWith(QChar(0x2026)));
  EXPECT_EQ(name->toolTip().size(), 70);
  snapshot(view, "settings-pairing-long");
}

TEST(SettingsWindow, SectionsHeadersAndTheCopyButton) {
  SettingsHarness h;
  SettingsWindowController window(h.model, h.ports);
  SettingsView& view = *window.view();
  EXPECT_EQ(view.section(), SettingsSection::startup);
  EXPECT_EQ(view.banner(), nullptr);  // nothing pending
  QTest::mouseClick(view.sidebarButton(SettingsSection::about), Qt::LeftButton);
  EXPECT_EQ(view.section(), SettingsSection::about);
  EXPECT_TRUE(view.sidebarButton(SettingsSection::about)->isSelected());
  EXPECT_FALSE(view.sidebarButton(SettingsSection::startup)->isSelected());
  // Assistive technology hears the selected section.
  EXPECT_TRUE(QAccessible::queryAccessibleInterface(view.sidebarButton(SettingsSection::about))->state().selected);
  EXPECT_FALSE(QAccessible::queryAccessibleInterface(view.sidebarButton(SettingsSection::startup))->state().selected);
  EXPECT_NE(dynamic_cast<AboutView*>(view.page()), nullptr);

  QTest::mouseClick(view.copyButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return view.copyResult().has_value(); }, 5000));
  EXPECT_EQ(view.copyResult(), true);
  EXPECT_EQ(view.copyButton()->text().toStdString(), L10n::text("settings.copied"));
  h.main->advance(2'499'000'000);
  EXPECT_EQ(view.copyButton()->text().toStdString(), L10n::text("settings.copied"));
  h.main->advance(1'000'000);
  EXPECT_EQ(view.copyButton()->text().toStdString(), L10n::text("settings.copySupport"));
}

TEST(SettingsWindow, EveryPageAndTheAboutWindowRender) {
  for (auto look : {AppearanceKind::light, AppearanceKind::dark}) {
    Appearance::instance().pin(look);
    SettingsHarness h;
    h.model->set(&HostSettings::port, uint16_t{8080});
    h.model->set(&HostSettings::pairingEnabled, false);
    h.model->set(&HostSettings::secureWifi, false);
    for (auto section : SettingsSections::allCases) {
      SettingsView view(h.model, h.ports, section, false);
      ASSERT_NE(view.page(), nullptr);
      const QImage image = render(view);
      EXPECT_EQ(image.size(), QSize(780 * 2, 560 * 2));
      snapshot(view, "settings-" + SettingsSections::rawValue(section));
    }
    AboutWindowController about(h.ports.clipboard, h.ports.opener);
    snapshot(*about.window(), "about");
  }
  Appearance::instance().pin(AppearanceKind::light);
}


// Shows `window` active, as a user would have it before pressing a key.
void showActive(QWidget& window) {
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

QWidget* focusIn(QWidget& window) { return window.focusWidget() != nullptr ? window.focusWidget() : &window; }

TEST(CloseKeys, EscapeAndControlWCloseEveryWindow) {
  SettingsHarness h;
  auto main = std::make_shared<test::ManualExecutor>();
  HostPanelModel panel(PanelActions{}, [] { return PanelState{}; });
  const auto setupDefaults = std::make_shared<UserDefaults>("/nonexistent/lumenrail-closekeys.json", "lumenrail");
  auto setupModel = std::make_shared<SetupModel>(
      [](bool) {}, SetupModel::Step::welcome,
      SetupModel::Ports{setupDefaults, std::make_shared<test::FakeProbe>(), {}, true, [](const std::string&) {}, {},
                        {}});
  AboutWindowController about(h.ports.clipboard, h.ports.opener);
  SettingsWindowController settings(h.model, h.ports);
  SetupWindowController setup(setupModel, {});
  QrWindowController qr(27184, std::nullopt, qrPorts(nullptr, main));
  PanelWindow panelWindow(panel, main);
  InputAccessWindow inputAccess("sudo grant", [] { return false; }, nullptr, main);
  PanelPopup popup(panel, main);
  const std::vector<std::pair<const char*, std::function<QWidget*()>>> windows = {
      {"about", [&] { return about.window(); }},
      {"settings", [&] { return settings.window(); }},
      {"setup", [&] { return setup.window(); }},
      {"qr", [&] { qr.show(true); return qr.window(); }},
      {"panel window", [&] { return static_cast<QWidget*>(&panelWindow); }},
      {"input access", [&] { return static_cast<QWidget*>(&inputAccess); }},
      {"popup", [&] { popup.open(QRect(100, 0, 20, 20)); return static_cast<QWidget*>(&popup); }},
  };
  for (const auto& [name, open] : windows) {
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
      SCOPED_TRACE(std::string(name) + " " + key.toString().toStdString());
      QWidget* window = open();
      ASSERT_NO_FATAL_FAILURE(showActive(*window));
      QTest::keyClick(focusIn(*window), key[0].key(), key[0].keyboardModifiers());
      EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 5000));
      window->hide();
    }
  }
}

TEST(CloseKeys, ControlWLeavesAWindowAloneWhileATextFieldHasFocusEscapeStillCloses) {
  SettingsHarness h;
  SettingsWindowController window(h.model, h.ports);
  window.view()->setSection(SettingsSection::connection);
  ASSERT_NO_FATAL_FAILURE(showActive(*window.window()));
  auto* field = window.view()->page()->findChild<QLineEdit*>();
  ASSERT_NE(field, nullptr);
  field->setFocus();
  ASSERT_TRUE(field->hasFocus());
  QTest::keyClick(field, Qt::Key_W, Qt::ControlModifier);
  QCoreApplication::processEvents();
  EXPECT_TRUE(window.window()->isVisible());
  QTest::keyClick(field, Qt::Key_Escape);
  EXPECT_FALSE(window.window()->isVisible());
}

// An alert ends on Ctrl+W as on Escape: with its refusal.
TEST(CloseKeys, ControlWEndsAnAlertWithItsRefusal) {
  QMessageBox box;
  box.setText("Allow “Tab” to connect?");
  MenuBarAlert::addButton(box, "Allow");
  MenuBarAlert::addButton(box, "Deny");
  bool stayedUp = false;
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&box));
    QTest::keyClick(focusIn(box), Qt::Key_W, Qt::ControlModifier);
    if (box.isVisible()) {
      stayedUp = true;
      box.done(0);
    }
  });
  EXPECT_EQ(MenuBarAlert::runModalOnMenuBarScreen(box), AlertPlacement::kFirstButton + 1);
  EXPECT_FALSE(stayedUp);
}

// Return in a destructive confirmation is Cancel, also after Tab has moved
// focus to the destructive button: a reflexive key press destroys nothing.
// Tabbed to, that button wears the ring and its danger face, and Cancel the
// default's fill, so where Space acts never looks like where Return acts.
TEST(SettingsWindow, ReturnInADestructiveConfirmationLeavesSettingsAndDataAlone) {
  const struct {
    const char* button;
    const char* name;
    bool tabToAction;
    AppearanceKind look;
  } cases[] = {{"settings.advanced.reset.button", "confirm-reset", false, AppearanceKind::light},
               {"settings.advanced.reset.button", "confirm-reset-tabbed", true, AppearanceKind::dark},
               {"settings.advanced.remove.button", "confirm-remove", false, AppearanceKind::dark},
               {"settings.advanced.remove.button", "confirm-remove-tabbed", true, AppearanceKind::light}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Appearance::instance().pin(c.look);
    SettingsHarness h;
    h.model->set(&HostSettings::port, uint16_t{8080});
    const size_t savesBefore = h.store->saves.size();
    SettingsWindowController window(h.model, h.ports);
    window.view()->setSection(SettingsSection::advanced);
    ASSERT_NO_FATAL_FAILURE(showActive(*window.window()));
    auto buttons = window.view()->page()->findChildren<QAbstractButton*>();
    auto opener = std::find_if(buttons.begin(), buttons.end(),
                               [&](auto* b) { return b->text().toStdString() == L10n::text(c.button); });
    ASSERT_NE(opener, buttons.end());
    QString defaultTitle;
    bool stayedUp = false;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      // As the window manager does for a dialog over its window.
      box->activateWindow();
      ASSERT_TRUE(QTest::qWaitFor([box] { return QApplication::activeWindow() == box; }));
      QPushButton* cancel = box->defaultButton();
      if (cancel != nullptr) defaultTitle = cancel->text();
      if (c.tabToAction) {
        QTest::keyClick(focusIn(*box), Qt::Key_Tab);
        QCoreApplication::sendPostedEvents();
        auto* action = qobject_cast<QPushButton*>(box->focusWidget());
        ASSERT_NE(action, nullptr);
        ASSERT_NE(action, cancel);
        EXPECT_TRUE(DialogLook::isDanger(*action));
        EXPECT_TRUE(FocusRing::shownAround(*action));
        EXPECT_FALSE(FocusRing::shownAround(*cancel));
        EXPECT_EQ(box->defaultButton(), cancel);
        const QImage shot = render(*box);
        const auto at = [&](QWidget* w, double dx, double dy) {
          const QPoint p = w->mapTo(box, QPoint(0, 0));
          return shot.pixelColor(int((p.x() + dx) * 2), int((p.y() + dy) * 2));
        };
        const double mid = action->height() / 2.0;
        const QColor ring = at(action, -FocusRing::kGap - 1, mid), band = at(action, -1, mid);
        EXPECT_GE(test::contrast(ring, band), 3.0) << "no ring around the focused button";
        EXPECT_EQ(at(cancel, 3, mid), BrandTheme::controlTint()) << "the default lost its fill";
        EXPECT_GE(test::contrast(at(action, 0.5, mid), HostStyle::bgInset()), 1.8) << "no warn edge on the action";
      }
      snapshot(*box, c.name);
      QTest::keyClick(focusIn(*box), Qt::Key_Return);
      if (box->isVisible()) {
        stayedUp = true;
        box->reject();
      }
    });
    (*opener)->click();
    EXPECT_FALSE(stayedUp);
    EXPECT_EQ(defaultTitle.toStdString(), L10n::text("action.cancel"));
    EXPECT_EQ(h.model->settings().port, 8080);
    EXPECT_EQ(h.store->saves.size(), savesBefore);
    EXPECT_EQ(h.removals, 0);
    EXPECT_TRUE(std::static_pointer_cast<test::FakeLoginItem>(h.ports.loginItem)->calls.empty());
  }
  Appearance::instance().pin(AppearanceKind::light);
}

// The Tab stops of `window` that show no ring, once round.
std::vector<std::string> ringless(QWidget& window) {
  std::vector<std::string> missing;
  std::vector<QWidget*> visited;
  while (visited.size() < 40) {
    QTest::keyClick(focusIn(window), Qt::Key_Tab);
    QCoreApplication::sendPostedEvents();
    QWidget* now = QApplication::focusWidget();
    if (!now || std::find(visited.begin(), visited.end(), now) != visited.end()) break;
    visited.push_back(now);
    if (!FocusRing::shownAround(*now)) missing.push_back(now->metaObject()->className());
  }
  if (visited.empty()) missing.push_back("no stop at all");
  return missing;
}

// Every dialog and plain window: each control the keys reach shows the ring.
TEST(FocusRing, EveryStopOfEveryDialogAndPlainWindowShowsTheRing) {
  SettingsHarness h;
  SettingsWindowController settings(h.model, h.ports);
  settings.view()->setSection(SettingsSection::pairing);
  QAbstractButton* rename = nullptr;
  for (auto* b : settings.view()->page()->findChildren<QAbstractButton*>()) {
    if (b->text().toStdString() == L10n::text("action.rename")) rename = b;
  }
  ASSERT_NE(rename, nullptr);
  // Each is checked from inside its own modal loop, then refused.
  const std::pair<const char*, std::function<void()>> dialogs[] = {
      {"alert", [] { QtAlertRunner().make({"Pair a new device?", "Code 123456", {"Allow", "Deny"}})->runModal(); }},
      {"rename", [] { QtRenamePrompt().ask({"Rename “Tab”", "The name it gave", "", "Tab", "Rename", "Cancel"}); }},
      {"rename-settings", [rename] { rename->click(); }},
      {"display-note", [&] { SettingsActions::openDisplaySettings(h.ports, nullptr); }},
  };
  for (const auto& [name, run] : dialogs) {
    std::vector<std::string> missing = {"never shown"};
    QTimer::singleShot(0, [&, name = name] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (!dialog || !QTest::qWaitForWindowActive(dialog)) return;
      missing = ringless(*dialog);
      snapshot(*dialog, std::string("focus-") + name);
      dialog->reject();
    });
    run();
    EXPECT_EQ(missing, std::vector<std::string>{}) << name;
  }
  QrWindowController qr(27184, std::nullopt, qrPorts(nullptr, h.main));
  qr.show(true);
  InputAccessWindow inputAccess("sudo grant", [] { return false; }, nullptr, h.main);
  for (QWidget* window : {qr.window(), static_cast<QWidget*>(&inputAccess)}) {
    showActive(*window);
    EXPECT_EQ(ringless(*window), std::vector<std::string>{}) << window->windowTitle().toStdString();
  }
}

// After a rename the page is built anew (the alias is part of its rows): the
// keyboard is back on the row's Rename button, not on the sidebar.
TEST(SettingsWindow, FocusReturnsToTheRenameButtonAfterTheDialog) {
  SettingsHarness h;
  SettingsWindowController window(h.model, h.ports);
  window.view()->setSection(SettingsSection::pairing);
  ASSERT_NO_FATAL_FAILURE(showActive(*window.window()));
  const auto renameButtons = [&] {
    QList<QAbstractButton*> found;
    for (auto* b : window.view()->page()->findChildren<QAbstractButton*>()) {
      if (b->text().toStdString() == L10n::text("action.rename")) found << b;
    }
    return found;
  };
  ASSERT_EQ(renameButtons().size(), 2);
  renameButtons()[1]->setFocus();
  const QPointer<QWidget> oldPage = window.view()->page();
  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* field = dialog->findChild<QLineEdit*>();
    ASSERT_NE(field, nullptr);
    field->setText("Desk iPad");
    QTest::keyClick(field, Qt::Key_Return);
  });
  QTest::keyClick(renameButtons()[1], Qt::Key_Space);
  ASSERT_EQ(h.paired[1].alias, std::optional<std::string>("Desk iPad"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.view()->page() != oldPage.data(); }, 5000));
  QCoreApplication::processEvents();
  ASSERT_EQ(renameButtons().size(), 2);
  EXPECT_EQ(window.window()->focusWidget(), renameButtons()[1]);
  // The window manager gives the window back its activation.
  ASSERT_NO_FATAL_FAILURE(showActive(*window.window()));
  EXPECT_TRUE(renameButtons()[1]->hasFocus());
}

// Forget acts at once: after one, focus must not land on the next device's
// Forget button, where one more Space would forget a device the user never chose.
TEST(SettingsWindow, AfterAForgetFocusIsNotOnAnotherDevicesForgetButton) {
  SettingsHarness h;
  SettingsWindowController window(h.model, h.ports);
  window.view()->setSection(SettingsSection::pairing);
  ASSERT_NO_FATAL_FAILURE(showActive(*window.window()));
  const auto buttons = [&](const char* key) {
    QList<QAbstractButton*> found;
    for (auto* b : window.view()->page()->findChildren<QAbstractButton*>()) {
      if (b->isVisible() && b->text().toStdString() == L10n::text(key)) found << b;
    }
    return found;
  };
  ASSERT_EQ(buttons("action.forget").size(), 2);
  const QPointer<QWidget> oldPage = window.view()->page();
  buttons("action.forget")[0]->setFocus();
  QTest::keyClick(buttons("action.forget")[0], Qt::Key_Space);
  ASSERT_EQ(h.paired.size(), 1u);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.view()->page() != oldPage.data(); }, 5000));
  QCoreApplication::processEvents();
  ASSERT_EQ(buttons("action.forget").size(), 1);
  EXPECT_NE(window.window()->focusWidget(), buttons("action.forget")[0]);
}

}  // namespace
}  // namespace lumenrail
