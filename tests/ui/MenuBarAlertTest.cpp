// Alerts land on the primary screen by the placement rule and answer with
// the index of the button that ended them; inline Markdown reads inline only.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QGuiApplication>
#include <QScreen>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include "app/controller/AlertPlacement.hpp"
#include "ui/components/MarkdownView.hpp"
#include "ui/qt/MenuBarAlert.hpp"

namespace lumenrail {
namespace {

TEST(MenuBarAlert, RunsPlacedAndAnswersByButtonOrder) {
  for (int pick = 0; pick < 2; ++pick) {
    QMessageBox box;
    box.setText("Pair a new device?");
    box.setInformativeText("Code: 123 456");
    MenuBarAlert::addButton(box, "Allow");
    auto* deny = MenuBarAlert::addButton(box, "Deny");
    QPoint shownAt;
    // Runs inside the alert's own modal loop.
    QTimer::singleShot(0, &box, [&] {
      shownAt = box.pos();
      (pick == 0 ? static_cast<QAbstractButton*>(box.defaultButton()) : deny)->click();
    });
    const int response = MenuBarAlert::runModalOnMenuBarScreen(box);
    EXPECT_EQ(response, 1000 + pick);

    const QRect a = QGuiApplication::primaryScreen()->availableGeometry();
    const auto expected = AlertPlacement::origin({a.x(), a.y(), a.width(), a.height()}, box.width(), box.height());
    EXPECT_EQ(shownAt, QPoint(expected.x, expected.y));
  }

  // Ended from outside: the code it was ended with. A 70-character name is
  // cut in its middle and leaves the alert its usual width.
  QMessageBox box;
  box.setText(QString("Forget “%1”?").arg(QString(70, 'W')));
  MenuBarAlert::addButton(box, "Allow");
  MenuBarAlert::addButton(box, "Deny");
  QTimer::singleShot(0, &box, [&] { box.done(1001); });
  EXPECT_EQ(MenuBarAlert::runModalOnMenuBarScreen(box), 1001);
  bool cut = false;
  for (auto* label : box.findChildren<QLabel*>()) cut = cut || label->text().contains(QChar(0x2026));
  EXPECT_TRUE(cut);
  EXPECT_LT(box.width(), 2 * MenuBarAlert::kMaxWordWidth);
}

TEST(MarkdownView, ReadsInlineMarkdownAndKeepsTheRestAsWritten) {
  // Qt keeps each hard break as a block of its own; none may turn into a heading or a list.
  const std::vector<std::pair<std::string, QString>> cases = {
      {"Find it on the **local network**.", "Find it on the local network."},
      {"# not a heading", "# not a heading"},
      {"- not a list\n2. nor this\n* nor this", "- not a list\n2. nor this\n* nor this"},
      {"first\n\nthird", "first\n\nthird"},
      {"**unbalanced", "**unbalanced"},
      {"    indented", "    indented"},
  };
  for (const auto& [source, plain] : cases) {
    QTextDocument doc;
    doc.setMarkdown(MarkdownView::inlineOnly({source}));
    EXPECT_EQ(doc.toPlainText().replace(QChar(0x00A0), ' '), plain) << source;
    for (auto block = doc.begin(); block.isValid(); block = block.next()) {
      EXPECT_EQ(block.textList(), nullptr) << source;
      EXPECT_EQ(block.blockFormat().headingLevel(), 0) << source;
      EXPECT_FALSE(block.blockFormat().hasProperty(QTextFormat::BlockCodeFence)) << source;
    }
  }
  QTextDocument doc;
  doc.setMarkdown(MarkdownView::inlineOnly({"a **b**"}));
  QTextCursor cursor(&doc);
  cursor.setPosition(3);
  EXPECT_GE(cursor.charFormat().fontWeight(), QFont::Bold);
}

}  // namespace
}  // namespace lumenrail
