// The tray panel, its popup window and the classic menu on the offscreen
// platform. Set LUMENRAIL_UI_SNAPSHOTS to a folder to also get the panel as
// PNG files (stopped and serving, light and dark).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QActionGroup>
#include <QApplication>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "support/Contrast.hpp"
#include "support/ManualExecutor.hpp"
#include "text/StringBundle.hpp"
#include "ui/components/DeviceRow.hpp"
#include "ui/components/FooterButton.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/tray/ClassicMenu.hpp"
#include "ui/tray/HostPanelView.hpp"
#include "ui/tray/PanelPopup.hpp"
#include "ui/tray/PanelWindow.hpp"
#include "ui/windows/RenameDialog.hpp"

namespace lumenrail {
namespace {

using Phase = PanelState::Phase;

const Localizer& english() {
  static const Localizer texts(StringBundle::open(LUMENRAIL_L10N_BUNDLE), {"en"});
  return texts;
}

PanelState stopped() {
  PanelState s;
  s.port = 27184;
  s.usbEnabled = true;
  return s;
}

// Starting, mirroring, with every banner.
PanelState warnings() {
  PanelState s = stopped();
  s.startFailure = "Port 27184 is in use by another program. Quit it, or choose another port in Settings.";
  s.phase = Phase::starting;
  s.extend = false;
  s.inputBlocked = s.awdlWarning = s.servingOpen = true;
  s.clientAppUpdate = "";
  s.update = UpdateRelease{"1.1.0", "https://quillmark.example/dl"};
  return s;
}

PanelState servingTwo() {
  PanelState s = stopped();
  s.phase = Phase::serving;
  s.modeLabel = "2560x1600@60";
  s.penHighRate = true;
  s.penHighRateActive = true;
  s.devices = {{7, "Studio Tab", "aa11", true, true}, {9, "Pixel 8", std::nullopt, false, false}};
  s.update = UpdateRelease{"1.1.0", "https://quillmark.example/dl"};
  return s;
}

QImage render(QWidget& widget) {
  widget.ensurePolished();
  widget.adjustSize();
  QImage image(widget.size() * 2, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(2);
  image.fill(Qt::transparent);
  widget.render(&image);
  return image;
}

void snapshot(QWidget& widget, const std::string& name) {
  const char* folder = std::getenv("LUMENRAIL_UI_SNAPSHOTS");
  if (folder == nullptr || *folder == '\0') return;
  render(widget).save(QString::fromStdString(std::string(folder) + "/" + name + ".png"));
}

TEST(PanelView, RendersStoppedAndServingInBothAppearances) {
  for (const auto kind : {AppearanceKind::light, AppearanceKind::dark}) {
    Appearance::instance().pin(kind);
    for (const auto& [name, state] :
         {std::pair{"stopped", stopped()}, std::pair{"serving", servingTwo()}, std::pair{"warnings", warnings()}}) {
      const PanelState shown = state;
      HostPanelModel model(PanelActions{}, [shown] { return shown; });
      HostPanelView view(model, english());
      const QImage image = render(view);
      EXPECT_EQ(view.width(), HostPanelView::kWidth);
      EXPECT_EQ(image.pixelColor(4, 4), HostStyle::bg());
      if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
        image.save(QString("%1/panel-%2-%3.png").arg(dir, name, kind == AppearanceKind::dark ? "dark" : "light"));
      }
    }
  }
  Appearance::instance().pin(AppearanceKind::light);
}

TEST(PanelView, DrawsWhatThePresenterSaysAndReportsActions) {
  PanelState state = stopped();
  std::vector<std::string> fired;
  PanelActions actions;
  actions.toggleServing = [&] { fired.push_back("toggle"); };
  actions.showQr = [&] { fired.push_back("qr"); };
  actions.setMain = [&](const std::string& fp) { fired.push_back("main " + fp); };
  actions.forget = [&](const std::string& fp) { fired.push_back("forget " + fp); };
  HostPanelModel model(actions, [&] { return state; });
  HostPanelView view(model, english());
  view.show();

  // Stopped: the QR buttons are disabled and drawn faint, never hovered.
  auto footer = view.findChildren<FooterButton*>();
  ASSERT_EQ(footer.size(), 5);
  EXPECT_EQ(footer[0]->symbol(), "qrcode");
  EXPECT_FALSE(footer[0]->isEnabled());
  EXPECT_DOUBLE_EQ(footer[0]->faceOpacity(), 0.4);
  footer[0]->setHovered(true);
  EXPECT_FALSE(footer[0]->isActive());
  EXPECT_TRUE(footer[4]->isEnabled());
  auto* emptyQr = view.findChild<QAbstractButton*>("emptyQr");
  ASSERT_NE(emptyQr, nullptr);
  EXPECT_FALSE(emptyQr->isEnabled());
  QTest::mouseClick(footer[0], Qt::LeftButton);
  QTest::mouseClick(view.findChild<QAbstractButton*>("startStop"), Qt::LeftButton);
  EXPECT_EQ(fired, std::vector<std::string>{"toggle"});

  // A new state reaches the view only through the model.
  state = servingTwo();
  model.refresh();
  const auto rows = view.findChildren<DeviceRow*>();
  ASSERT_EQ(rows.size(), 2);
  EXPECT_EQ(rows[1]->menuButton(), nullptr);  // no fingerprint, no menu
  EXPECT_FALSE(rows[0]->menuButton()->accessibleName().isEmpty());
  ASSERT_NE(rows[0]->menu(), nullptr);
  const auto items = rows[0]->menu()->actions();
  ASSERT_EQ(items.size(), 4);  // set main, disconnect, divider, forget
  EXPECT_FALSE(items[0]->isEnabled());  // already the main device
  items[3]->trigger();
  footer = view.findChildren<FooterButton*>();
  EXPECT_TRUE(footer[0]->isEnabled());
  QTest::mouseClick(footer[0], Qt::LeftButton);
  EXPECT_EQ(fired, (std::vector<std::string>{"toggle", "forget aa11", "qr"}));
}

TEST(PanelView, AnOpenMenuAndTheShownControlsSurviveARefresh) {
  PanelState state = servingTwo();
  HostPanelModel model(PanelActions{}, [&] { return state; });
  HostPanelView view(model, english());
  view.show();
  const auto rows = view.findChildren<DeviceRow*>();
  ASSERT_EQ(rows.size(), 2);
  rows[0]->menuButton()->click();
  ASSERT_TRUE(rows[0]->menu()->isVisible());
  const QPointer<HostSwitch> pen = view.findChild<HostSwitch*>();
  ASSERT_TRUE(pen->isOn());

  // The second's refresh: new texts and states, the same rows.
  state.penHighRate = false;
  state.devices[0].name = "Studio Tab (renamed)";
  model.refresh();
  EXPECT_EQ(view.findChildren<DeviceRow*>(), rows);
  EXPECT_TRUE(rows[0]->menu()->isVisible());
  ASSERT_FALSE(pen.isNull());
  EXPECT_TRUE(pen->isVisible());
  EXPECT_FALSE(pen->isOn());
  EXPECT_EQ(rows[0]->findChild<QWidget*>("name")->accessibleName(), "Studio Tab (renamed)");
  rows[0]->menu()->close();
}

// Whether `menu` lies inside the screen and against `button`: under it or
// above it, its left edge on the button's unless the screen's edge is nearer.
void expectAttached(const QMenu& menu, const QWidget& button) {
  const QRect a = button.screen()->availableGeometry();
  const QRect m = menu.geometry();
  const QRect b(button.mapToGlobal(QPoint(0, 0)), button.size());
  EXPECT_TRUE(a.contains(m)) << "the menu runs off the screen";
  EXPECT_TRUE(m.top() == b.bottom() + 1 || m.bottom() + 1 == b.top()) << "the menu left its row";
  EXPECT_TRUE(m.left() == b.left() || m.right() == a.right()) << "the menu left its row";
}

// Devices come and go: rows are kept by device id and change in place, so a
// menu open on one stays open, its items follow (set-main appears with a
// second device), and it stays with its row and on the screen however the
// row moves and the menu grows.
TEST(PanelView, AnOpenDeviceMenuSurvivesDevicesJoiningAndLeavingAndStaysWithItsRow) {
  PanelState state = servingTwo();
  state.devices = {{7, "Studio Tab", "aa11", true, true}};
  std::vector<std::string> fired;
  PanelActions actions;
  actions.setMain = [&](const std::string& fp) { fired.push_back("main " + fp); };
  HostPanelModel model(actions, [&] { return state; });
  HostPanelView view(model, english());
  view.show();
  // In the screen's bottom right corner: a menu opened in place runs off it.
  const QRect screen = view.screen()->availableGeometry();
  view.move(screen.right() + 1 - view.width(), std::max(screen.top(), screen.bottom() + 1 - view.height()));
  QCoreApplication::processEvents();
  const QPointer<DeviceRow> studio = view.findChild<DeviceRow*>();
  ASSERT_FALSE(studio.isNull());
  studio->menuButton()->click();
  ASSERT_TRUE(studio->menu()->isVisible());
  expectAttached(*studio->menu(), *studio->menuButton());
  const auto setMain = [&] { return studio->menu()->actions().first(); };
  EXPECT_FALSE(setMain()->isVisible());

  const struct {
    const char* step;
    std::vector<PanelDevice> devices;
    size_t rows;
  } steps[] = {
      {"a second joins", {{7, "Studio Tab", "aa11", true, false}, {11, "Galaxy Tab", std::string("cc33"), true, true}}, 2},
      {"a third joins first", {{12, "Pixel", std::nullopt, false, false}, {7, "Studio Tab", "aa11", true, false},
                               {11, "Galaxy Tab", std::string("cc33"), true, true}}, 3},
      {"two leave", {{7, "Studio Tab", "aa11", true, false}}, 1},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.step);
    state.devices = step.devices;
    model.refresh();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(studio.isNull());
    EXPECT_TRUE(studio->menu()->isVisible());
    EXPECT_EQ(view.findChildren<DeviceRow*>().size(), step.rows);
    EXPECT_EQ(setMain()->isVisible(), step.rows > 1);
    // The panel grew or shrank with the list and the rows lie one under the other.
    QCoreApplication::processEvents();
    EXPECT_EQ(view.height(), view.layout()->heightForWidth(HostPanelView::kWidth));
    std::vector<int> tops;
    for (auto* row : view.findChildren<DeviceRow*>()) tops.push_back(row->mapTo(&view, QPoint(0, 0)).y());
    std::sort(tops.begin(), tops.end());
    for (size_t i = 1; i < tops.size(); ++i) EXPECT_GE(tops[i] - tops[i - 1], studio->height());
    expectAttached(*studio->menu(), *studio->menuButton());
    if (std::string(step.step) == "a third joins first") snapshot(view, "panel-devices-three");
  }
  // The popup is placed again (it grew at a bottom tray): the menu goes along.
  view.move(view.pos() - QPoint(120, 60));
  QCoreApplication::processEvents();
  expectAttached(*studio->menu(), *studio->menuButton());
  // The kept row's actions name its device.
  state.devices = steps[0].devices;
  model.refresh();
  setMain()->trigger();
  EXPECT_EQ(fired, std::vector<std::string>{"main aa11"});
  studio->menu()->close();
}

// Tab walks the rows in the order they read, wherever a row was made, and
// goes on to what lies below the list.
TEST(PanelView, TabGoesDownTheDeviceRowsAsTheyReadAfterTheyMove) {
  PanelState state = servingTwo();
  state.devices = {{7, "Studio Tab", "aa11", true, true}, {11, "Galaxy Tab", std::string("cc33"), true, false}};
  HostPanelModel model(PanelActions{}, [&] { return state; });
  HostPanelView view(model, english());
  view.show();
  const auto top = [&](QWidget* w) { return w->mapTo(&view, QPoint(0, 0)).y(); };
  const std::vector<std::vector<PanelDevice>> orders = {
      {{12, "Pixel", std::string("ee55"), true, false}, {7, "Studio Tab", "aa11", true, true},
       {11, "Galaxy Tab", std::string("cc33"), true, false}},
      {{11, "Galaxy Tab", std::string("cc33"), true, false}, {12, "Pixel", std::string("ee55"), true, false},
       {7, "Studio Tab", "aa11", true, true}},
  };
  for (const auto& devices : orders) {
    state.devices = devices;
    model.refresh();
    QCoreApplication::processEvents();
    std::vector<QWidget*> buttons;
    for (auto* row : view.findChildren<DeviceRow*>()) buttons.push_back(row->menuButton());
    std::sort(buttons.begin(), buttons.end(), [&](QWidget* a, QWidget* b) { return top(a) < top(b); });
    ASSERT_EQ(buttons.size(), 3u);
    QWidget* stop = buttons.front();
    for (size_t i = 1; i < buttons.size(); ++i) {
      do stop = stop->nextInFocusChain();
      while (!(stop->focusPolicy() & Qt::TabFocus) || !stop->isVisible());
      EXPECT_EQ(stop, buttons[i]) << devices[0].name << ": stop " << i;
    }
    do stop = stop->nextInFocusChain();
    while (!(stop->focusPolicy() & Qt::TabFocus) || !stop->isVisible());
    EXPECT_GT(top(stop), top(buttons.back())) << devices[0].name << ": after the list";
  }
}

TEST(PanelPopup, RefreshesWhileOpenAndToggleClosesIt) {
  int snapshots = 0;
  HostPanelModel model(PanelActions{}, [&] {
    ++snapshots;
    return stopped();
  });
  auto main = std::make_shared<test::ManualExecutor>();
  PanelPopup popup(model, main, english());
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect icon(screen.right() - 30, screen.top(), 24, 24);

  popup.toggle(icon);
  ASSERT_TRUE(popup.isOpen());
  EXPECT_TRUE(popup.windowFlags().testFlag(Qt::Popup));
  EXPECT_TRUE(screen.contains(popup.frameGeometry()));
  EXPECT_EQ(popup.y(), icon.bottom() + 1 + 4);
  EXPECT_EQ(main->pending(), 1u);
  const int before = snapshots;
  main->advance(PanelPopup::kRefreshNs);
  EXPECT_EQ(snapshots, before + 1);

  popup.toggle(icon);  // a click on the icon while open closes it
  EXPECT_FALSE(popup.isOpen());
  EXPECT_EQ(main->pending(), 0u);

  // Closed by a press outside (the click on the icon): the icon's own
  // activation right after does not reopen it; a later click does.
  popup.open(icon);
  QTest::mousePress(&popup, Qt::LeftButton, {}, QPoint(-20, -20));
  EXPECT_FALSE(popup.isOpen());
  main->clockJump(100 * kNsPerMs);
  popup.toggle(icon);
  EXPECT_FALSE(popup.isOpen());
  main->clockJump(kNsPerSecond);
  popup.toggle(QRect());  // no icon geometry: at the pointer
  EXPECT_TRUE(popup.isOpen());
  EXPECT_TRUE(screen.contains(popup.frameGeometry()));
  popup.close();
}

// At start the panel is built from one snapshot and shown with the next
// (serving has begun): its first showing is a live update of every row, and
// must still be as tall as what it holds, in the window and in the popup.
TEST(PanelWindow, TheFirstShowingIsAsTallAsItsContent) {
  PanelState built = stopped();
  built.phase = Phase::starting;
  built.inputBlocked = true;
  PanelState shown = built;
  shown.phase = Phase::serving;
  shown.modeLabel = "1280x720@60";
  shown.extend = false;
  for (const auto kind : {AppearanceKind::light, AppearanceKind::dark}) {
    Appearance::instance().pin(kind);
    HostPanelModel alone(PanelActions{}, [&] { return shown; });
    const int needed = HostPanelView(alone, english()).height();
    for (const bool popup : {false, true}) {
      SCOPED_TRACE(std::string(popup ? "popup, " : "window, ") + (kind == AppearanceKind::dark ? "dark" : "light"));
      int snapshots = 0;
      HostPanelModel model(PanelActions{}, [&] { return snapshots++ == 0 ? built : shown; });
      auto main = std::make_shared<test::ManualExecutor>();
      std::unique_ptr<QWidget> window;
      HostPanelView* view = nullptr;
      if (popup) {
        auto p = std::make_unique<PanelPopup>(model, main, english());
        p->open(QRect(100, 0, 20, 20));
        view = p->view();
        window = std::move(p);
      } else {
        auto w = std::make_unique<PanelWindow>(model, main, english());
        w->present();
        view = w->view();
        window = std::move(w);
      }
      ASSERT_GE(snapshots, 2);  // shown with the second snapshot
      // As first mapped, and once the layouts have settled.
      EXPECT_EQ(window->height(), needed);
      QCoreApplication::sendPostedEvents();
      EXPECT_EQ(view->height(), needed);
      EXPECT_EQ(window->height(), needed);
      for (const QLabel* label : view->findChildren<QLabel*>()) {
        if (label->wordWrap()) {
          EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
        }
      }
      if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
        window->grab().save(QString("%1/panel-first-%2-%3.png")
                                .arg(dir, popup ? "popup" : "window", kind == AppearanceKind::dark ? "dark" : "light"));
      }
    }
  }
  Appearance::instance().pin(AppearanceKind::light);
}

// Without a tray the panel is a window the desktop lists; closing it only hides it.
TEST(PanelWindow, IsATitledNormalWindowWithThePanelsControlsAndClosingHidesIt) {
  int snapshots = 0;
  std::vector<std::string> fired;
  PanelActions actions;
  actions.toggleServing = [&] { fired.push_back("toggle"); };
  actions.quit = [&] { fired.push_back("quit"); };
  HostPanelModel model(actions, [&] {
    ++snapshots;
    return stopped();
  });
  auto main = std::make_shared<test::ManualExecutor>();
  PanelWindow window(model, main, english());
  window.present();
  ASSERT_TRUE(window.isVisible());
  EXPECT_EQ(window.windowTitle(), "Lumenrail");
  EXPECT_EQ(window.windowType(), Qt::Window);
  EXPECT_EQ(window.width(), HostPanelView::kWidth);
  const int before = snapshots;
  main->advance(kNsPerSecond);
  EXPECT_EQ(snapshots, before + 1);

  QTest::mouseClick(window.findChild<QAbstractButton*>("startStop"), Qt::LeftButton);
  const auto footer = window.findChildren<FooterButton*>();
  ASSERT_EQ(footer.size(), 5);
  EXPECT_EQ(footer[4]->symbol(), "power");
  QTest::mouseClick(footer[4], Qt::LeftButton);
  EXPECT_EQ(fired, (std::vector<std::string>{"toggle", "quit"}));

  EXPECT_TRUE(window.close());
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(main->pending(), 0u);
  window.present();
  EXPECT_TRUE(window.isVisible());
  if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
    QImage image(window.size() * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    window.render(&image);
    image.save(QString("%1/panel-window.png").arg(dir));
  }
}

TEST(PanelPopup, ARightClickOrControlClickOnTheIconAsksForTheClassicMenu) {
  HostPanelModel model(PanelActions{}, [] { return stopped(); });
  PanelPopup popup(model, std::make_shared<test::ManualExecutor>(), english());
  QSignalSpy asks(&popup, &PanelPopup::menuRequested);
  const QRect icon(100, 0, 20, 20);
  const struct {
    Qt::MouseButton button;
    Qt::KeyboardModifiers keys;
    QPoint at;
    bool menu;
  } presses[] = {{Qt::RightButton, {}, icon.center(), true},
                 {Qt::LeftButton, Qt::ControlModifier, icon.center(), true},
                 {Qt::LeftButton, {}, icon.center(), false},
                 {Qt::RightButton, {}, QPoint(400, 400), false}};
  for (const auto& press : presses) {
    popup.open(icon);
    ASSERT_TRUE(popup.isOpen());
    const int before = static_cast<int>(asks.count());
    QTest::mousePress(&popup, press.button, press.keys, popup.mapFromGlobal(press.at));
    EXPECT_FALSE(popup.isOpen());
    ASSERT_EQ(asks.count(), before + (press.menu ? 1 : 0));
    if (press.menu) {
      EXPECT_EQ(asks.back()[0].toPoint(), press.at);
    }
  }
}

TEST(PanelPopup, ClosingActionsRunOnTheNextTurnAfterClosing) {
  HostPanelModel model(PanelActions{}, [] { return stopped(); });
  PanelPopup popup(model, std::make_shared<test::ManualExecutor>(), english());
  popup.open(QRect(100, 0, 20, 20));
  bool ran = false;
  bool openWhenRan = true;
  popup.runClosing([&] {
    ran = true;
    openWhenRan = popup.isOpen();
  });
  EXPECT_FALSE(ran);
  EXPECT_FALSE(popup.isOpen());
  EXPECT_TRUE(QTest::qWaitFor([&] { return ran; }, 5000));
  EXPECT_FALSE(openWhenRan);
}

TEST(ClassicMenu, BuiltFromItsDescriptionEveryTimeItShows) {
  int builds = 0;
  std::vector<std::string> ran;
  ClassicMenu menu(
      [&] {
        ++builds;
        MenuItem header;
        header.title = "Host — Serving";
        MenuItem separator;
        separator.kind = MenuItem::Kind::separator;
        MenuItem extend;
        extend.title = "Extend";
        extend.enabled = true;
        extend.checked = builds == 1;
        extend.radio = true;
        extend.command = MenuCommand::chooseExtended;
        MenuItem mirror = extend;
        mirror.title = "Mirror";
        mirror.checked = builds > 1;
        mirror.command = MenuCommand::chooseMirror;
        MenuItem forget;
        forget.title = "Forget Device";
        forget.enabled = true;
        forget.command = MenuCommand::forgetDevice;
        forget.fingerprint = "ab";
        MenuItem device;
        device.title = "Tab";
        device.enabled = true;
        device.submenu = {forget};
        return MenuDescription{{header, separator, extend, mirror, device}};
      },
      [&](const MenuItem& item) { ran.push_back(item.title + " " + item.fingerprint); });
  auto actions = menu.actions();
  ASSERT_EQ(actions.size(), 5);
  EXPECT_FALSE(actions[0]->isEnabled());
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_FALSE(actions[3]->isChecked());
  for (const auto kind : {AppearanceKind::dark, AppearanceKind::light}) {
    Appearance::instance().pin(kind);
    emit menu.aboutToShow();
    // The status lines (disabled items) read on the menu.
    const QPalette& p = menu.palette();
    EXPECT_GE(test::contrast(p.color(QPalette::Disabled, QPalette::WindowText), p.color(QPalette::Window)), 4.5);
  }
  actions = menu.actions();
  // Extend and Mirror are one choice: radio items of one exclusive group.
  ASSERT_NE(actions[2]->actionGroup(), nullptr);
  EXPECT_EQ(actions[2]->actionGroup(), actions[3]->actionGroup());
  EXPECT_TRUE(actions[2]->actionGroup()->isExclusive());
  EXPECT_TRUE(actions[3]->isCheckable() && actions[3]->isChecked());
  ASSERT_NE(actions[4]->menu(), nullptr);
  actions[4]->menu()->actions()[0]->trigger();
  actions[3]->trigger();
  actions[0]->trigger();  // a line of text runs nothing
  EXPECT_EQ(ran, (std::vector<std::string>{"Forget Device ab", "Mirror "}));
  if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
    for (const auto kind : {AppearanceKind::dark, AppearanceKind::light}) {
      Appearance::instance().pin(kind);
      emit menu.aboutToShow();
      menu.adjustSize();
      menu.grab().save(QString("%1/classic-menu-%2.png").arg(dir, kind == AppearanceKind::dark ? "dark" : "light"));
    }
  }
}

TEST(RenameDialog, OffersTheAliasAndReturnsTheField) {
  QtRenamePrompt prompt;
  const RenamePrompt::Request request{"Rename “Studio”", "The name the device gave: Tab", "Studio", "Tab", "Rename",
                                      "Cancel"};
  auto answer = [&](const QString& text, int button) {
    QTimer::singleShot(0, [text, button] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      auto* field = box->findChild<QLineEdit*>("renameField");
      ASSERT_NE(field, nullptr);
      EXPECT_EQ(field->text(), "Studio");
      EXPECT_EQ(field->placeholderText(), "Tab");
      EXPECT_EQ(field->size(), QSize(260, 24));
      // Texts, then the field, then the buttons.
      EXPECT_LE(field->mapTo(box, QPoint(0, field->height())).y(), box->buttons()[0]->mapTo(box, QPoint(0, 0)).y());
      field->setText(text);
      box->buttons()[button]->click();
    });
  };
  answer("", 0);
  EXPECT_EQ(prompt.ask(request), std::optional<std::string>(""));  // empty clears the alias
  answer("Desk", 1);
  EXPECT_EQ(prompt.ask(request), std::nullopt);  // cancelled
}

}  // namespace
}  // namespace lumenrail
