// Keyboard focus offscreen: the ring is seen on every fill and background and
// is not the look of selection, and every Tab stop of the setup and settings
// windows shows where the keys are. LUMENRAIL_UI_SNAPSHOTS writes the focused
// controls as PNG files, light and dark.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <QApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QTest>
#include <QVBoxLayout>

#include "support/AppPortFakes.hpp"
#include "support/Contrast.hpp"
#include "support/ManualExecutor.hpp"
#include "support/TempFolder.hpp"
#include "ui/components/ChoiceTiles.hpp"
#include "ui/components/FooterButton.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/components/HostCheckBox.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/style/FocusRing.hpp"
#include "ui/windows/settings/SettingsView.hpp"
#include "ui/windows/settings/SettingsWindowController.hpp"
#include "ui/windows/setup/SetupView.hpp"
#include "ui/windows/setup/SetupWindowController.hpp"

namespace lumenrail {
namespace {

const char* appearanceName(AppearanceKind kind) { return kind == AppearanceKind::dark ? "dark" : "light"; }

QColor pixel(const QImage& image, double x, double y) {
  const double scale = image.devicePixelRatio();
  return image.pixelColor(int(x * scale), int(y * scale));
}

void showActive(QWidget& window) {
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

void pressTab(QWidget& window) {
  QWidget* at = QApplication::focusWidget();
  QTest::keyClick(at ? at : &window, Qt::Key_Tab);
  QCoreApplication::sendPostedEvents();
}

TEST(FocusRing, SeenOnTheAccentFillAndEveryBackgroundAndUnlikeSelection) {
  const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS");
  for (const auto kind : {AppearanceKind::light, AppearanceKind::dark}) {
    Appearance::instance().pin(kind);
    SCOPED_TRACE(appearanceName(kind));
    QWidget window;
    window.setAutoFillBackground(true);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, HostStyle::bg());
    window.setPalette(palette);
    auto* column = new QVBoxLayout(&window);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);
    auto* prominent = new HostButton("Continue", HostButtonStyle{.prominent = true});
    auto* tiles = new ChoiceTiles({{true, "rectangle.on.rectangle", "Extend", "A second screen"},
                                   {false, "rectangle.fill.on.rectangle.fill", "Mirror", "The main screen"}},
                                  true, true);
    auto* row = new QHBoxLayout();
    row->setSpacing(16);
    auto* checked = new HostCheckBox("Open at login");
    checked->setChecked(true);
    auto* plain = new HostButton("Rename");
    auto* toggle = new HostSwitch("pen", true);
    auto* footer = new FooterButton("gearshape", "Settings");
    column->addWidget(prominent);
    column->addWidget(tiles);
    column->addLayout(row);
    for (QWidget* w : std::initializer_list<QWidget*>{plain, toggle, checked, footer}) row->addWidget(w);
    row->addStretch(1);
    window.resize(360, 220);
    showActive(window);
    const auto tileList = tiles->findChildren<QAbstractButton*>();
    ASSERT_EQ(tileList.size(), 2);
    const std::vector<QWidget*> stops = {prominent, tileList[0], tileList[1], plain, toggle, checked, footer};

    // Selection draws on the tile; nothing around it.
    prominent->setFocus();
    const QRectF selected = FocusRing::faceOf(*tileList[0]).translated(tileList[0]->mapTo(&window, QPoint()));
    const QImage unfocused = window.grab().toImage();
    EXPECT_EQ(pixel(unfocused, selected.center().x(), selected.top() - 3), HostStyle::bg());

    QTest::keyClick(prominent, Qt::Key_Backtab);  // round to the end, then Tab to the first: by keys
    for (QWidget* stop : stops) {
      pressTab(window);
      ASSERT_EQ(QApplication::focusWidget(), stop);
      ASSERT_TRUE(FocusRing::shownAround(*stop));
      const QRectF face = FocusRing::faceOf(*stop).translated(stop->mapTo(&window, QPoint()));
      const QImage shot = window.grab().toImage();
      const double x = face.center().x();
      const QColor ring = pixel(shot, x, face.top() - FocusRing::kGap - 1);
      const QColor band = pixel(shot, x, face.top() - 1);
      const QColor around = pixel(shot, x, face.top() - FocusRing::kGap - FocusRing::kWidth - 2);
      const std::string name = stop->metaObject()->className();
      EXPECT_GE(test::contrast(ring, band), 3.0) << name;
      EXPECT_GE(test::contrast(ring, around), 3.0) << name;
      if (stop == prominent) {
        EXPECT_GE(test::contrast(ring, pixel(shot, x, face.top() + 3)), 3.0) << "on the accent fill";
        if (dir) shot.copy(0, 0, shot.width(), int(90 * shot.devicePixelRatio()))
                     .save(QString("%1/focus-prominent-%2.png").arg(dir, appearanceName(kind)));
      }
      if (stop == tileList[1] && dir) shot.save(QString("%1/focus-kit-%2.png").arg(dir, appearanceName(kind)));
    }
  }
  Appearance::instance().pin(AppearanceKind::light);
}

// Tabs once round `window`; for each stop, the pixels around it with the
// focus there must differ from those with the focus taken away. Returns the
// stops that showed nothing.
std::vector<std::string> unseenStops(QWidget& window, int* count) {
  std::vector<std::string> unseen;
  std::vector<QWidget*> visited;
  for (int i = 0; i < 200; ++i) {
    pressTab(window);
    QWidget* now = QApplication::focusWidget();
    if (!now || std::find(visited.begin(), visited.end(), now) != visited.end()) break;
    visited.push_back(now);
    const QRect around = QRect(now->mapTo(&window, QPoint()), now->size()).adjusted(-6, -6, 6, 6);
    const QImage focused = window.grab(around).toImage();
    now->clearFocus();
    QCoreApplication::sendPostedEvents();
    const QImage plain = window.grab(around).toImage();
    now->setFocus(Qt::TabFocusReason);
    QCoreApplication::sendPostedEvents();
    if (focused == plain) {
      unseen.push_back(std::string(now->metaObject()->className()) + " " + now->accessibleName().toStdString());
    }
  }
  *count = static_cast<int>(visited.size());
  return unseen;
}

TEST(FocusRing, EveryTabStopOfTheSetupStepsShows) {
  struct Case {
    SetupModel::Step step;
    const char* name;
    int stops;
  };
  // The welcome step has Continue alone: the page itself takes no focus.
  for (const Case& c : {Case{SetupModel::Step::welcome, "welcome", 1}, Case{SetupModel::Step::permissions, "permissions", 4},
                        Case{SetupModel::Step::device, "device", 2}}) {
    SCOPED_TRACE(c.name);
    test::TempFolder dir("lumenrail-focus");
    auto model = std::make_shared<SetupModel>(
        [](bool) {}, c.step,
        SetupModel::Ports{std::make_shared<UserDefaults>(dir.path("defaults.json"), "lumenrail"),
                          std::make_shared<test::FakeProbe>(), {}, true, [](const std::string&) {}, {}, {}});
    SetupWindowController setup(model, {});
    setup.show();
    QWidget& window = *setup.view()->window();
    showActive(window);
    // Return and Space act on the primary button from the start.
    EXPECT_EQ(QApplication::focusWidget(), setup.view()->primaryButton());
    int stops = 0;
    EXPECT_EQ(unseenStops(window, &stops), std::vector<std::string>{});
    EXPECT_EQ(stops, c.stops);
    if (const char* folder = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
      window.grab().save(QString("%1/focus-setup-%2.png").arg(folder, c.name));
    }
  }
}

TEST(FocusRing, EveryTabStopOfTheSettingsWindowShows) {
  HostSettingsModel::Callbacks callbacks;
  callbacks.refreshPaired = [] {
    return std::vector<PairedDevice>{
        {"3f9a1c0b7d2e4a5f8c6b1d0e9f7a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c", {}, "Pixel Tablet", 1.7e9, {}, 1, {}}};
  };
  auto model = std::make_shared<HostSettingsModel>(HostSettings::shipDefaults(), std::nullopt, true,
                                                    std::make_shared<test::RecordingStore>(), callbacks);
  SettingsPorts ports;
  ports.clipboard = std::make_shared<test::FakeClipboard>();
  ports.opener = std::make_shared<test::FakeOpener>();
  ports.loginItem = std::make_shared<test::FakeLoginItem>();
  ports.main = std::make_shared<test::ManualExecutor>();
  ports.logFile = "/nonexistent/Lumenrail/host.log";
  SettingsWindowController settings(model, ports);
  settings.show();
  showActive(*settings.window());
  for (const auto section : SettingsSections::allCases) {
    SCOPED_TRACE(SettingsSections::rawValue(section));
    settings.view()->setSection(section);
    QCoreApplication::sendPostedEvents();
    int stops = 0;
    EXPECT_EQ(unseenStops(*settings.window(), &stops), std::vector<std::string>{});
    EXPECT_GT(stops, 10);  // the sidebar's ten and the page's
    if (const char* folder = std::getenv("LUMENRAIL_UI_SNAPSHOTS"); folder && section == SettingsSection::display) {
      settings.window()->grab().save(QString("%1/focus-settings-display.png").arg(folder));
    }
  }
}

}  // namespace
}  // namespace lumenrail
