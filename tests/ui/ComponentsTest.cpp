// The style components drawn offscreen. Set LUMENRAIL_UI_SNAPSHOTS to a
// folder to also get the gallery as PNG files, one per appearance.
#include <gtest/gtest.h>

#include <cmath>

#include <QAccessible>
#include <QApplication>
#include <QPainter>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "support/Contrast.hpp"
#include "ui/components/ChoiceTiles.hpp"
#include "ui/components/FooterButton.hpp"
#include "ui/components/HostBanner.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/components/HostCard.hpp"
#include "ui/components/HostCheckBox.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/components/SettingRow.hpp"
#include "ui/components/TagChip.hpp"
#include "ui/style/AppIcon.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/KitParts.hpp"
#include "ui/style/SpectrumMark.hpp"

namespace lumenrail {
namespace {

QImage render(QWidget& widget) {
  widget.ensurePolished();
  widget.resize(widget.sizeHint().expandedTo(widget.size()));
  QImage image(widget.size() * 2, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(2);
  image.fill(Qt::transparent);
  widget.render(&image);
  return image;
}

class Gallery final : public QWidget {
 public:
  Gallery() {
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, HostStyle::bg());
    setPalette(p);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);
    auto* marks = new QHBoxLayout();
    marks->addWidget(new SpectrumMark(16));
    marks->addWidget(new SpectrumMark(48));
    marks->addWidget(new TagChip("live"));
    marks->addStretch(1);
    column->addLayout(marks);
    column->addWidget(new SectionLabel("Display"));
    auto* card = new HostCard();
    card->addContent(new SettingRow("Start serving at launch", QString("Serve as soon as the host starts."), false,
                                    QString("live"), new HostSwitch("on", true)));
    card->addContent(new RowDivider());
    card->addContent(new SettingRow("Encrypt Wi-Fi", QString("The stream crosses the network unencrypted."), true,
                                    std::nullopt, new HostSwitch("off", false)));
    card->addContent(new RowDivider());
    auto* disabled = new HostSwitch("disabled", true);
    disabled->setEnabled(false);
    card->addContent(new SettingRow("High-rate pen", std::nullopt, false, std::nullopt, disabled));
    column->addWidget(card);
    column->addWidget(new HostBanner("exclamationmark.triangle.fill", "Peer-to-peer Wi-Fi is on",
                                     "It can make the stream stutter. Turn it off while you work.",
                                     HostBanner::Action{"Open…", {}}, HostBanner::warnTint(),
                                     HostBanner::warnBackground()));
    column->addWidget(new ChoiceTiles({{true, "rectangle.on.rectangle", "Extend", "A second screen"},
                                       {false, "rectangle.fill.on.rectangle.fill", "Mirror", "Show the main screen"}},
                                      true, true));
    column->addWidget(new ChoiceTiles({{true, "rectangle.on.rectangle", "Extend", "Use the device as a second screen."},
                                       {false, "rectangle.fill.on.rectangle.fill", "Mirror", "Show the main screen."}},
                                      false, false));
    auto* buttons = new QHBoxLayout();
    auto* start = new HostButton("Start Serving", {true, false, false});
    start->setSymbol("play.fill");
    buttons->addWidget(start);
    buttons->addWidget(new HostButton("QR Code"));
    auto* hovered = new HostButton("Forget", {false, true, false});
    hovered->setHovered(true);
    buttons->addWidget(hovered);
    auto* off = new HostButton("Disabled");
    off->setEnabled(false);
    buttons->addWidget(off);
    buttons->addStretch(1);
    column->addLayout(buttons);
    column->addWidget(new HostButton("Full width", {false, false, true}));
    setFixedWidth(460);
  }
};

TEST(StyleComponents, RenderOffscreenInBothAppearances) {
  for (const auto kind : {AppearanceKind::light, AppearanceKind::dark}) {
    Appearance::instance().pin(kind);
    Gallery gallery;
    const QImage image = render(gallery);
    ASSERT_FALSE(image.isNull());
    // The window background is the palette's bg.
    EXPECT_EQ(image.pixelColor(4, 4), HostStyle::bg());
    if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
      image.save(QString("%1/components-%2.png").arg(dir, kind == AppearanceKind::dark ? "dark" : "light"));
    }
  }
  Appearance::instance().pin(AppearanceKind::light);
}

QImage symbol(const QString& name, int scale, const QColor& ink = Qt::black) {
  QImage canvas(24 * scale, 24 * scale, QImage::Format_ARGB32_Premultiplied);
  canvas.fill(Qt::transparent);
  QPainter painter(&canvas);
  HostSymbols::paint(painter, name, QRectF(0, 0, 24 * scale, 24 * scale), ink);
  return canvas;
}

TEST(StyleSymbols, OneTableEachNameDrawnOnceAndInItsShape) {
  const QStringList names = HostSymbols::names();
  EXPECT_EQ(QSet<QString>(names.begin(), names.end()).size(), names.size());
  for (const QString& name : names) {
    for (int scale : {1, 2}) {
      const QImage image = symbol(name, scale);
      bool inked = false;
      for (int y = 0; y < image.height() && !inked; ++y) {
        for (int x = 0; x < image.width() && !inked; ++x) inked = image.pixelColor(x, y).alpha() > 0;
      }
      EXPECT_TRUE(inked) << name.toStdString() << " at " << scale << "x";
    }
  }
  // Points in the 24-unit box that tell the right shape from the faults seen before:
  // a refresh arrow for power, loose gear teeth, a filled-in "!", holes where parts overlap.
  struct Probe {
    const char* name;
    QPointF at;
    bool inked;
  };
  const Probe probes[] = {
      {"power", {14.2, 4.8}, false},            // the gap is at the top
      {"power", {3.6, 13}, true},
      {"gearshape", {18.0, 14.5}, false},       // an outline, not a ring with teeth around it
      {"gearshape", {19.6, 15.1}, true},
      {"exclamationmark.triangle.fill", {12, 11}, false},
      {"exclamationmark.triangle.fill", {7, 18.5}, true},
      {"arrow.down.circle.fill", {12, 13.5}, false},
      {"arrow.down.circle.fill", {5, 12}, true},
      {"hand.raised.slash.fill", {8, 16}, true},
      {"cable.connector", {9.7, 4}, true},       // a plug with prongs
      {"cable.connector", {12, 11}, true},
  };
  for (const Probe& probe : probes) {
    for (int scale : {1, 2}) {
      const QImage image = symbol(probe.name, scale);
      const QPoint pixel(int(probe.at.x() * scale), int(probe.at.y() * scale));
      const int alpha = image.pixelColor(pixel).alpha();
      EXPECT_EQ(alpha > 128, probe.inked) << probe.name << " at " << scale << "x, alpha " << alpha;
    }
  }
  if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
    for (const auto kind : {AppearanceKind::light, AppearanceKind::dark}) {
      Appearance::instance().pin(kind);
      // Each symbol at 1x, 2x and, to look closely, 4x; eight to a row.
      const int rows = int((names.size() + 7) / 8);
      QImage sheet(8 * 184 + 8, rows * 104 + 8, QImage::Format_ARGB32_Premultiplied);
      sheet.fill(HostStyle::bg());
      QPainter painter(&sheet);
      for (int i = 0; i < names.size(); ++i) {
        const QPoint cell(8 + (i % 8) * 184, 8 + (i / 8) * 104);
        painter.drawImage(cell, symbol(names[i], 1, HostStyle::text()));
        painter.drawImage(cell + QPoint(32, 0), symbol(names[i], 2, HostStyle::text()));
        painter.drawImage(cell + QPoint(88, 0), symbol(names[i], 4, HostStyle::text()));
      }
      painter.end();
      sheet.save(QString("%1/symbols-%2.png").arg(dir, kind == AppearanceKind::dark ? "dark" : "light"));
    }
    Appearance::instance().pin(AppearanceKind::light);
  }
}

TEST(StyleComponents, TheSwitchSpeaksItsState) {
  HostSwitch toggle("High-rate pen", true);
  QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(&toggle);
  ASSERT_NE(spoken, nullptr);
  EXPECT_EQ(spoken->role(), QAccessible::CheckBox);
  EXPECT_EQ(spoken->text(QAccessible::Name), "High-rate pen");
  EXPECT_TRUE(spoken->state().checkable);
  EXPECT_TRUE(spoken->state().checked);
  toggle.setOn(false);
  EXPECT_FALSE(spoken->state().checked);
  QSignalSpy flips(&toggle, &HostSwitch::toggleRequested);
  spoken->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  ASSERT_EQ(flips.count(), 1);
  EXPECT_TRUE(flips[0][0].toBool());
}

TEST(StyleComponents, SwitchAndTilesOnlyReportRequests) {
  HostSwitch toggle("pen", false);
  QSignalSpy flips(&toggle, &HostSwitch::toggleRequested);
  QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(20, 11));
  ASSERT_EQ(flips.count(), 1);
  EXPECT_TRUE(flips[0][0].toBool());
  EXPECT_FALSE(toggle.isOn());  // the owner decides
  // The track beside the knob, in the 2x image: off at the trailing side, on at the leading side.
  EXPECT_EQ(render(toggle).pixelColor(64, 22), HostStyle::bgInset());
  toggle.setOn(true);
  EXPECT_EQ(render(toggle).pixelColor(16, 22), HostStyle::accent());
  toggle.setEnabled(false);
  QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(20, 11));
  EXPECT_EQ(flips.count(), 1);

  ChoiceTiles tiles({{1, "", "A", ""}, {2, "", "B", ""}}, 3, true);
  QSignalSpy picks(&tiles, &ChoiceTiles::selectionRequested);
  tiles.resize(300, 60);
  QTest::mouseClick(tiles.tiles()[1], Qt::LeftButton);
  ASSERT_EQ(picks.count(), 1);
  EXPECT_EQ(picks[0][0].toInt(), 2);
  EXPECT_EQ(tiles.selection().toInt(), 3);  // no tile is selected until the owner says
  EXPECT_FALSE(tiles.tiles()[1]->isChecked());
  tiles.setSelection(2);
  EXPECT_TRUE(tiles.tiles()[1]->isChecked());
  EXPECT_FALSE(tiles.tiles()[0]->isChecked());
}

using test::contrast;

TEST(StyleComponents, DisabledTilesFadeAndTheDarkCheckBoxReads) {
  const std::vector<ChoiceTiles::Option> options = {{1, "display", "Extend", "A second screen"},
                                                    {2, "display", "Mirror", "The main screen"}};
  ChoiceTiles enabled(options, 1, true), disabled(options, 1, true);
  disabled.setEnabled(false);
  enabled.resize(300, 60);
  disabled.resize(300, 60);
  EXPECT_NE(render(enabled), render(disabled));

  Appearance::instance().pin(AppearanceKind::dark);
  HostCheckBox box("Open at login");
  box.resize(box.sizeHint());
  QImage image(box.size() * 2, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(2);
  image.fill(HostStyle::bg());
  box.render(&image, {}, {}, QWidget::DrawChildren);
  // The border's middle, at 2x: 2 in and 0.75 into the 1.5 line.
  const QColor border = image.pixelColor(5, box.height());
  EXPECT_GE(contrast(border, HostStyle::bg()), 3.0) << border.name().toStdString();
  Appearance::instance().pin(AppearanceKind::light);
}

// The disabled off switch keeps a track one can see (its knob fades, so it
// still reads as disabled), and the application icon's plate holds its edge
// on the dark and the light window backgrounds.
TEST(StyleComponents, DisabledTrackAndIconPlateStandOutInBothAppearances) {
  for (const auto kind : {AppearanceKind::light, AppearanceKind::dark}) {
    Appearance::instance().pin(kind);
    const char* appearance = kind == AppearanceKind::dark ? "dark" : "light";
    for (const QColor ground : {HostStyle::bgRaised(), HostStyle::bg()}) {
      auto drawn = [&](bool enabled) {
        HostSwitch toggle("pen", false);
        toggle.setEnabled(enabled);
        QImage image(toggle.size() * 2, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2);
        image.fill(ground);
        toggle.render(&image, {}, {}, QWidget::DrawChildren);
        return image;
      };
      const QImage on = drawn(true), off = drawn(false);
      // The top edge's middle (2x: the line is rows 0 and 1), and the knob's middle.
      EXPECT_GE(contrast(off.pixelColor(40, 1), ground), 1.5) << appearance;
      const QPoint knob(22, 22);
      EXPECT_LT(contrast(off.pixelColor(knob), ground), contrast(on.pixelColor(knob), ground)) << appearance;
    }
  }
  const QImage icon = AppIcon::image(256);
  for (const QColor ground : {HostStyle::color(HostStyle::Role::bg, AppearanceKind::dark),
                              HostStyle::color(HostStyle::Role::bg, AppearanceKind::light)}) {
    QImage shown(icon.size(), QImage::Format_ARGB32_Premultiplied);
    shown.fill(ground);
    QPainter(&shown).drawImage(0, 0, icon);
    // All round the plate, 2 px inside its edge (it is inset 8 px, its corners 50 px round).
    double least = 21;
    for (int along = 60; along <= 196; along += 4) {
      for (const QPoint at : {QPoint(along, 10), QPoint(along, 245), QPoint(10, along), QPoint(245, along)}) {
        least = std::min(least, contrast(shown.pixelColor(at), ground));
      }
    }
    EXPECT_GE(least, 3.0) << ground.name().toStdString();
  }
  if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
    for (const auto kind : {AppearanceKind::light, AppearanceKind::dark}) {
      Appearance::instance().pin(kind);
      // The icon at the sizes docks and the About window draw, then the off
      // switch enabled and disabled, each at 1x and 2x; then two symbols.
      QImage sheet(760, 372, QImage::Format_ARGB32_Premultiplied);
      sheet.fill(HostStyle::bg());
      QPainter p(&sheet);
      int x = 8;
      for (const int side : {16, 24, 32, 48, 72, 144}) {
        p.drawImage(x, 8, AppIcon::image(side));
        x += side + 12;
      }
      x = 8;
      for (const bool enabled : {true, false}) {
        for (const int scale : {1, 2}) {
          HostSwitch toggle("pen", false);
          toggle.setEnabled(enabled);
          QImage face(toggle.size() * scale, QImage::Format_ARGB32_Premultiplied);
          face.setDevicePixelRatio(scale);
          face.fill(HostStyle::bgRaised());
          toggle.render(&face, {}, {}, QWidget::DrawChildren);
          p.fillRect(QRect(x - 6, 172, face.width() + 12, face.height() + 12), HostStyle::bgRaised());
          face.setDevicePixelRatio(1);  // its device pixels, as a screen of that ratio shows them
          p.drawImage(QPoint(x, 178), face);
          x += face.width() + 24;
        }
      }
      // The banner's hand (16 px) and the welcome step's pencil (22 px) at 1x and 2x, and magnified.
      x = 8;
      for (const auto& [name, side] : {std::pair{"hand.raised.slash.fill", 16}, {"pencil.tip", 22}}) {
        for (const int scale : {1, 2}) {
          QImage drawn(side * scale, side * scale, QImage::Format_ARGB32_Premultiplied);
          drawn.fill(Qt::transparent);
          QPainter ink(&drawn);
          HostSymbols::paint(ink, name, QRectF(0, 0, side * scale, side * scale),
                             QString(name).startsWith("hand") ? HostStyle::warn() : HostStyle::accent());
          ink.end();
          p.drawImage(x, 232, drawn);
          p.drawImage(x + 48, 232, drawn.scaled(132, 132, Qt::IgnoreAspectRatio, Qt::FastTransformation));
          x += 186;
        }
      }
      p.end();
      sheet.save(QString("%1/icon-and-switch-%2.png").arg(dir, kind == AppearanceKind::dark ? "dark" : "light"));
    }
  }
  Appearance::instance().pin(AppearanceKind::light);
}

TEST(StyleComponents, LabelsInCapitalsAndButtonFaces) {
  EXPECT_EQ(TagChip("Live").shownText(), "LIVE");
  EXPECT_EQ(SectionLabel("Devices (2)").shownText(), "DEVICES (2)");

  QImage canvas(24, 24, QImage::Format_ARGB32_Premultiplied);
  canvas.fill(Qt::transparent);
  QPainter painter(&canvas);
  EXPECT_FALSE(HostSymbols::paint(painter, "no.such.symbol", QRectF(0, 0, 24, 24), Qt::black));
  EXPECT_TRUE(HostSymbols::paint(painter, "play.fill", QRectF(0, 0, 24, 24), Qt::black));

  HostButton plain("Forget", {false, true, false});
  plain.setHovered(true);
  EXPECT_TRUE(plain.isActive());
  // A danger face under the pointer has a warn border.
  EXPECT_EQ(render(plain).pixelColor(plain.width(), 1), HostStyle::warn());
  plain.setEnabled(false);
  EXPECT_FALSE(plain.isActive());
  EXPECT_DOUBLE_EQ(plain.faceOpacity(), 0.45);
}

// A wrapped paragraph's last line is never one short word; short texts and
// each line of a text with breaks are judged alone.
TEST(StyleComponents, WrappedTextsKeepTheirLastWordsTogether) {
  const QString nb(QChar(0x00A0));
  const std::pair<QString, QString> cases[] = {
      {"Allow it only if the device shows the same code.",
       "Allow it only if the device shows the" + nb + "same" + nb + "code."},
      {"Start serving, then open Lumenrail on your phone or tablet.",
       "Start serving, then open Lumenrail on your phone" + nb + "or" + nb + "tablet."},
      {"Delete the pairings, the log and the settings.", "Delete the pairings, the log and the" + nb + "settings."},
      {"Wi-Fi only", "Wi-Fi only"},
      {"Code: 123 456\nIt wants to pair with this computer.", "Code: 123 456\nIt wants to pair with this" + nb +
                                                                   "computer."},
  };
  for (const auto& [given, shown] : cases) EXPECT_EQ(keepTailTogether(given), shown) << given.toStdString();
}

}  // namespace
}  // namespace lumenrail
