// Alerts ended from outside: the one ended goes, the one above it stays; and
// what an alert looks like.
#include <gtest/gtest.h>

#include <cstdlib>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include "text/L10n.hpp"
#include "ui/qt/MenuBarAlert.hpp"
#include "ui/qt/QtAlertRunner.hpp"

namespace lumenrail {
namespace {

bool showing(const QString& title) {
  for (auto* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box && box->isVisible() && box->text() == title) return true;
  }
  return false;
}

TEST(QtAlertRunner, EndingAnAlertClosesThatOneAndLeavesTheAlertAboveItUp) {
  QtAlertRunner runner;
  auto below = runner.make({"below", "", {"Open", "OK"}, false});
  auto above = runner.make({"above", "", {"Allow", "Deny"}, true});
  int aboveResponse = -1;
  bool aboveStayed = false;
  bool belowGone = false;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(0, [&] {
      below->end(1001);
      QApplication::processEvents();
      aboveStayed = showing("above");
      belowGone = !showing("below");
      above->end(1000);
    });
    aboveResponse = above->runModal();
  });
  EXPECT_EQ(below->runModal(), 1001);
  EXPECT_EQ(aboveResponse, 1000);
  EXPECT_TRUE(aboveStayed);
  EXPECT_TRUE(belowGone);

  // Ended before it ran: it answers at once with that response.
  auto early = runner.make({"early", "", {"Allow", "Deny"}, true});
  early->end(1001);
  EXPECT_EQ(early->runModal(), 1001);
}

// The kit's mark instead of the style's icons, the product's name over a text
// that carries the title once, and whole phrases per line.
TEST(QtAlertRunner, AlertsWearTheKitsMarkAndTitleAndAreWideEnoughForPhrases) {
  QtAlertRunner runner;
  for (const bool informational : {true, false}) {
    auto alert = runner.make({"Pair with “Tab”?", "A device asks to pair. Allow it only if it is yours and in front of you.",
                              {"Allow", "Deny"}, informational});
    QMessageBox* seen = nullptr;
    QTimer::singleShot(0, [&] {
      for (auto* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) seen = box;
      }
      ASSERT_NE(seen, nullptr);
      EXPECT_EQ(seen->windowTitle(), "Lumenrail");
      EXPECT_EQ(seen->icon(), QMessageBox::NoIcon);  // no stock icon: the mark is ours
      EXPECT_FALSE(seen->iconPixmap().isNull());
      EXPECT_GE(seen->width(), MenuBarAlert::kTextWidth);
      alert->end(1001);
    });
    EXPECT_EQ(alert->runModal(), 1001);
  }
}

// The input-blocked alert's title, and any title of ordinary words, shows
// whole: only a single word wider than the column may be cut.
TEST(QtAlertRunner, ATitleOfOrdinaryWordsShowsWhole) {
  QtAlertRunner runner;
  const QString title = QString::fromStdString(L10n::text("inputBlocked.title"));
  auto alert = runner.make({title.toStdString(), L10n::text("inputBlocked.detail"),
                            {L10n::text("action.openAccessibility"), L10n::text("action.ok")}, false});
  QString shown;
  bool tallEnough = false;
  QTimer::singleShot(0, [&] {
    for (auto* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box || !box->isVisible()) continue;
      if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) {
        shown = label->text();
        tallEnough = label->height() >= label->heightForWidth(label->width());
      }
      if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
        box->grab().save(QString("%1/alert-input-blocked.png").arg(dir));
      }
    }
    alert->end(1001);
  });
  EXPECT_EQ(alert->runModal(), 1001);
  EXPECT_EQ(shown.replace(QChar(0x00A0), ' '), title);  // whole; only its last words are bound
  EXPECT_TRUE(tallEnough);
}

}  // namespace
}  // namespace lumenrail
