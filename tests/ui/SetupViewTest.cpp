// The setup window offscreen: the page, primary title and Back per step and
// grant, Return pressing the primary button, and the finish handing on the
// open-at-login choice. LUMENRAIL_UI_SNAPSHOTS also writes each page as PNG.
#include <gtest/gtest.h>

#include <cstdlib>

#include <QCheckBox>
#include <QLayout>
#include <QPointer>
#include <QTest>

#include "support/AppPortFakes.hpp"
#include "support/TempFolder.hpp"
#include "text/L10n.hpp"
#include "ui/style/Appearance.hpp"
#include "ui/windows/setup/DeviceStep.hpp"
#include "ui/windows/setup/PermissionsStep.hpp"
#include "ui/windows/setup/SetupView.hpp"
#include "ui/windows/setup/SetupWindowController.hpp"
#include "ui/windows/setup/WelcomeStep.hpp"

namespace lumenrail {
namespace {

using Step = SetupModel::Step;

struct Rig {
  test::TempFolder dir{"lumenrail-setupview"};
  std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(dir.path("defaults.json"), "lumenrail");
  std::shared_ptr<test::FakeProbe> probe = std::make_shared<test::FakeProbe>();
  std::vector<bool> finished;

  std::shared_ptr<SetupModel> model(Step step) {
    return std::make_shared<SetupModel>([this](bool on) { finished.push_back(on); }, step,
                                        SetupModel::Ports{defaults, probe, {}, true, [](const std::string&) {}, {}, {}});
  }
};

QString tr(const char* key) { return QString::fromStdString(L10n::text(key)); }

void snapshot(SetupView& view, const std::string& name) {
  const char* folder = std::getenv("LUMENRAIL_UI_SNAPSHOTS");
  if (folder == nullptr || *folder == '\0') return;
  view.ensurePolished();
  view.layout()->activate();
  QImage image(view.size() * 2, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(2);
  view.render(&image);
  image.save(QString::fromStdString(std::string(folder) + "/" + name + ".png"));
}

TEST(SetupView, PrimaryTitleBackAndPageFollowTheStepAndTheCaptureGrant) {
  struct Case {
    Step step;
    bool captured;
    QString primary;
    bool back;
    const char* page;
  };
  const QString start = QString::fromStdString(L10n::text("setup.start", L10n::kProductName));
  const std::vector<Case> cases = {
      {Step::welcome, false, tr("setup.continue"), false, "lumenrail::WelcomeStep"},
      {Step::permissions, false, tr("setup.skip"), true, "lumenrail::PermissionsStep"},
      {Step::permissions, true, tr("setup.continue"), true, "lumenrail::PermissionsStep"},
      {Step::device, false, tr("setup.finish"), true, "lumenrail::DeviceStep"},
      {Step::device, true, start, true, "lumenrail::DeviceStep"},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.probe->screen = c.captured;
    SetupView view(rig.model(c.step), {});
    SCOPED_TRACE(c.page);
    EXPECT_EQ(view.primaryButton()->text(), c.primary);
    EXPECT_EQ(view.backButton()->isVisibleTo(&view), c.back);
    EXPECT_STREQ(view.page()->metaObject()->className(), c.page);
    const bool grantedShown = view.page()->findChild<QWidget*>("granted") != nullptr;
    EXPECT_EQ(grantedShown, c.step == Step::permissions && c.captured);
    snapshot(view, std::string("setup-") + std::to_string(static_cast<int>(c.step)) + (c.captured ? "-granted" : ""));
  }
}

TEST(SetupView, AGrantFoundByThePollTurnsTheRowAndTheFooterAtOnce) {
  Rig rig;
  const auto model = rig.model(Step::permissions);
  SetupView view(model, {});
  EXPECT_EQ(view.primaryButton()->text(), tr("setup.skip"));
  rig.probe->screen = true;
  model->refresh();
  EXPECT_EQ(view.primaryButton()->text(), tr("setup.continue"));
  EXPECT_NE(view.page()->findChild<QWidget*>("granted"), nullptr);
}

TEST(SetupView, ReturnWalksThroughTheStepsAndFinishesWithTheBoxValue) {
  Rig rig;
  const auto model = rig.model(Step::welcome);
  SetupWindowController window(model, SetupViewPorts{.installed = true, .relaunch = {}});
  window.show();
  QTest::keyClick(window.view(), Qt::Key_Return);
  EXPECT_EQ(model->step(), Step::permissions);
  EXPECT_EQ(rig.defaults->integer(SetupModel::kResumeStepKey), 1);
  QTest::mouseClick(window.view()->backButton(), Qt::LeftButton);
  EXPECT_EQ(model->step(), Step::welcome);
  QTest::keyClick(window.view(), Qt::Key_Return);
  QTest::keyClick(window.view(), Qt::Key_Enter);
  ASSERT_EQ(model->step(), Step::device);
  auto* box = window.view()->page()->findChild<QCheckBox*>();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->isEnabled());
  box->setChecked(true);
  QTest::keyClick(window.view(), Qt::Key_Return);
  EXPECT_EQ(rig.finished, std::vector<bool>{true});
}

// Space ticks the login box and the keyboard stays on it.
TEST(SetupView, SpaceOnTheLoginBoxKeepsFocusThere) {
  Rig rig;
  const auto model = rig.model(Step::device);
  SetupWindowController window(model, SetupViewPorts{.installed = true, .relaunch = {}});
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.window()));
  const QPointer<QCheckBox> box = window.view()->page()->findChild<QCheckBox*>();
  ASSERT_FALSE(box.isNull());
  box->setFocus();
  ASSERT_TRUE(box->hasFocus());
  const bool was = model->openAtLogin();
  for (const bool expected : {!was, was}) {
    QTest::keyClick(box, Qt::Key_Space);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(box.isNull());
    EXPECT_EQ(model->openAtLogin(), expected);
    EXPECT_EQ(box->isChecked(), expected);
    EXPECT_TRUE(box->hasFocus());
  }
}

TEST(SetupView, NotInstalledTheLoginBoxIsShownButDisabled) {
  Rig rig;
  SetupView view(rig.model(Step::device), SetupViewPorts{.installed = false, .relaunch = {}});
  auto* box = view.page()->findChild<QCheckBox*>();
  ASSERT_NE(box, nullptr);
  EXPECT_FALSE(box->isEnabled());
}

}  // namespace
}  // namespace lumenrail
