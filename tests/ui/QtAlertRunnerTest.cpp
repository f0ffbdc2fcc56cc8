// Alerts ended from outside: the one ended goes, the one above it stays.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

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

}  // namespace
}  // namespace lumenrail
