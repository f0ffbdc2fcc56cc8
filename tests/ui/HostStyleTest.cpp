// The palette and brand colours in both appearances, and the tray glyph's shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <QApplication>
#include <QPainter>
#include <QPalette>

#include "ui/style/HostStyle.hpp"
#include "ui/tray/MenuBarMark.hpp"

namespace lumenrail {
namespace {

using HostStyle::Role;

struct Expected {
  Role role;
  QRgb dark;
  QRgb light;
  double darkAlpha;
  double lightAlpha;
};

TEST(HostStyle, PaletteResolvesPerAppearance) {
  const std::vector<Expected> table = {
      {Role::bg, 0x151218, 0xFCF4FC, 1, 1},          {Role::bgRaised, 0x1F1C22, 0xFFFFFF, 1, 1},
      {Role::bgInset, 0x100D12, 0xF3ECF4, 1, 1},     {Role::line, 0x322C39, 0xE7DCEE, 1, 1},
      {Role::lineSoft, 0x262328, 0xF0E9F1, 1, 1},    {Role::text, 0xF6EEF6, 0x1F1C22, 1, 1},
      {Role::textDim, 0xA69DAE, 0x6D6574, 1, 1},     {Role::textFaint, 0x776F7F, 0x9E95A6, 0.5, 0.5},
      {Role::accent, 0xD8B9FF, 0x783CC4, 1, 1},      {Role::accentInk, 0x450086, 0xFFFFFF, 1, 1},
      {Role::warn, 0xFFC107, 0xA06800, 1, 1},        {Role::warnBg, 0xFFC107, 0xFFC107, 0.08, 0.13},
  };
  for (const auto& e : table) {
    const QColor dark = HostStyle::color(e.role, AppearanceKind::dark);
    const QColor light = HostStyle::color(e.role, AppearanceKind::light);
    EXPECT_EQ(dark.rgb() & 0xFFFFFF, e.dark) << static_cast<int>(e.role);
    EXPECT_EQ(light.rgb() & 0xFFFFFF, e.light) << static_cast<int>(e.role);
    EXPECT_NEAR(dark.alphaF(), e.darkAlpha, 0.003) << static_cast<int>(e.role);
    EXPECT_NEAR(light.alphaF(), e.lightAlpha, 0.003) << static_cast<int>(e.role);
  }
  EXPECT_EQ(HostStyle::color(Role::accent, AppearanceKind::dark), BrandTheme::accent(AppearanceKind::dark));
  EXPECT_EQ(BrandTheme::controlTint().rgb() & 0xFFFFFF, 0x783CC4u);
  const auto stops = BrandTheme::spectrum();
  const std::array<QRgb, 5> expected = {0x1B8FCC, 0x2F5ED6, 0x7438C0, 0xDE2F84, 0xF08A3E};
  for (size_t i = 0; i < stops.size(); ++i) EXPECT_EQ(stops[i].rgb() & 0xFFFFFF, expected[i]);
  // Compiled in: there in the build tree as installed, drawn at any size.
  ASSERT_TRUE(BrandTheme::appIcon());
  for (const int side : {16, 72, 256}) {
    const QImage icon = BrandTheme::appIcon()->pixmap(side, side).toImage();
    ASSERT_EQ(icon.size(), QSize(side, side));
    EXPECT_EQ(icon.pixelColor(0, 0).alpha(), 0) << side;                              // outside the rounded square
    EXPECT_EQ(icon.pixelColor(side / 10, side / 2).alpha(), 255) << side;               // its plate
    EXPECT_NE(icon.pixelColor(side / 10, side / 2), QColor(Qt::white)) << side;
    EXPECT_EQ(icon.pixelColor(side * 3 / 10, side * 4 / 10), QColor(Qt::white)) << side;  // the monitor
  }

  // Reading a role follows the process's appearance.
  Appearance::instance().pin(AppearanceKind::dark);
  EXPECT_EQ(HostStyle::warn().rgb() & 0xFFFFFF, 0xFFC107u);
  Appearance::instance().pin(AppearanceKind::light);
  EXPECT_EQ(HostStyle::warn().rgb() & 0xFFFFFF, 0xA06800u);
}

TEST(HostStyle, FollowsThePaletteWithoutAPortal) {
  const QPalette original = QApplication::palette();
  Appearance::instance().followDesktop();
  QPalette dark = original;
  dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x24));
  QApplication::setPalette(dark);
  EXPECT_EQ(Appearance::current(), AppearanceKind::dark);
  QPalette light = original;
  light.setColor(QPalette::Window, QColor(0xEF, 0xEF, 0xEF));
  QApplication::setPalette(light);
  EXPECT_EQ(Appearance::current(), AppearanceKind::light);
  // Pinned, a palette change no longer moves it.
  Appearance::instance().pin(AppearanceKind::dark);
  QApplication::setPalette(original);
  EXPECT_EQ(Appearance::current(), AppearanceKind::dark);
  Appearance::instance().pin(AppearanceKind::light);
}

// A design point's pixel in an image of the glyph at design scale x `scale`.
int alphaAt(const QImage& image, double x, double y, double scale) {
  return qAlpha(image.pixel(qRound((x - 140) * scale), qRound((y - 178.67) * scale)));
}

// Whatever the panel's colour and the application's scheme, both states read:
// each glyph has pixels far lighter and far darker than a dark and a light tray.
TEST(MenuBarMark, TrayGlyphStandsOutOnDarkAndLightTraysServingOrStopped) {
  for (const QColor tray : {QColor(0x24, 0x24, 0x24), QColor(0xf2, 0xf2, 0xf2)}) {
    for (const bool serving : {true, false}) {
      QImage shown(22, 22, QImage::Format_ARGB32_Premultiplied);
      shown.fill(tray);
      QPainter p(&shown);
      p.drawImage(0, 0, MenuBarMark::trayImage(22, serving));
      p.end();
      int contrast = 0;
      for (int y = 0; y < 22; ++y) {
        for (int x = 0; x < 22; ++x) contrast = std::max(contrast, std::abs(qGray(shown.pixel(x, y)) - qGray(tray.rgb())));
      }
      EXPECT_GE(contrast, 90) << tray.name().toStdString() << (serving ? " serving" : " stopped");
      if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
        shown.scaled(176, 176).save(QString("%1/glyph-%2-%3.png").arg(dir, tray.lightness() > 128 ? "light" : "dark",
                                                                      serving ? "serving" : "stopped"));
      }
    }
  }
  // Serving and stopped differ where the fill is.
  EXPECT_NE(MenuBarMark::trayImage(22, true), MenuBarMark::trayImage(22, false));
}

// At the sizes trays draw at 1x and 2x every pixel is empty, outline or fill,
// none smeared between, and the stand survives: under the screen's full rows a
// narrow neck, then a wider base.
TEST(MenuBarMark, SmallTrayGlyphsSitOnWholePixelsAndKeepTheirStand) {
  const QColor fill(Qt::white);
  for (const int side : {16, 22, 24, 32, 44, 48}) {
    const QImage glyph = MenuBarMark::trayImage(side, true);
    std::vector<int> leftFill(side, 0);
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        const int alpha = glyph.pixelColor(x, y).alpha();
        EXPECT_TRUE(alpha == 0 || alpha == 230 || alpha == 255) << side << " px at " << x << "," << y << ": " << alpha;
        // The stand stands left of the tablet: count the fill there.
        if (x < side * 9 / 20 && glyph.pixelColor(x, y) == fill) ++leftFill[y];
      }
    }
    const int screenRow = static_cast<int>(std::max_element(leftFill.begin(), leftFill.end()) - leftFill.begin());
    int y = screenRow;
    while (y < side && leftFill[y] == leftFill[screenRow]) ++y;
    ASSERT_LT(y, side) << side;
    const int neck = leftFill[y];
    EXPECT_GT(neck, 0) << side << " px: nothing under the screen";
    while (y < side && leftFill[y] == neck) ++y;
    ASSERT_LT(y, side) << side;
    EXPECT_GT(leftFill[y], neck) << side << " px: no base under the neck";
  }
  if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
    // Each size at 1x and 2x, as drawn and magnified to one size, on a dark and a light tray.
    for (const QColor tray : {QColor(0x24, 0x24, 0x24), QColor(0xf2, 0xf2, 0xf2)}) {
      QImage sheet(3 * 2 * 300, 360, QImage::Format_ARGB32_Premultiplied);
      sheet.fill(tray);
      QPainter p(&sheet);
      int x = 8;
      for (const int side : {16, 22, 24}) {
        for (const int scale : {1, 2}) {
          const QImage glyph = MenuBarMark::trayImage(side * scale, true);
          p.drawImage(x, 8, glyph);
          p.drawImage(x, 64, glyph.scaled(side * 12, side * 12, Qt::IgnoreAspectRatio, Qt::FastTransformation));
          x += side * 12 + 16;
        }
      }
      p.end();
      sheet.save(QString("%1/tray-glyph-%2.png").arg(dir, tray.lightness() > 128 ? "light" : "dark"));
    }
  }
}

TEST(MenuBarMark, CutsTheMonitorAroundTheTablet) {
  EXPECT_EQ(MenuBarMark::image(16, Qt::black).size(), QSize(18, 16));
  EXPECT_EQ(MenuBarMark::image(32, Qt::black, 2).size(), QSize(72, 64));

  const double scale = 0.5;
  const QImage big = MenuBarMark::image(666.67 * scale, Qt::black);
  if (const char* dir = std::getenv("LUMENRAIL_UI_SNAPSHOTS")) {
    big.save(QString("%1/menubar-mark.png").arg(dir));
    MenuBarMark::icon(AppearanceKind::light).pixmap(QSize(22, 22), 2).save(QString("%1/menubar-22@2x.png").arg(dir));
  }
  struct Probe {
    const char* where;
    double x, y;
    bool opaque;
  };
  const std::vector<Probe> probes = {
      {"screen", 300, 400, true},        {"stand", 400, 670, true},         {"base", 400, 722, true},
      {"tablet", 660, 600, true},        {"gap over the screen", 450, 600, false},
      {"gap above the tablet", 600, 435, false},                            {"box corner", 150, 190, false},
      {"between base and tablet", 540, 760, false},
  };
  for (const auto& p : probes) {
    const int alpha = alphaAt(big, p.x, p.y, scale);
    if (p.opaque) {
      EXPECT_EQ(alpha, 255) << p.where;
    } else {
      EXPECT_EQ(alpha, 0) << p.where;
    }
  }

  // The tray's icon, disabled, is the same shape dimmed; dark trays get light ink.
  const QIcon icon = MenuBarMark::icon(AppearanceKind::dark);
  const QImage normal = icon.pixmap(QSize(72, 64)).toImage();
  const QImage dimmed = icon.pixmap(QSize(72, 64), QIcon::Disabled).toImage();
  const QPoint tablet(qRound((660 - 140) * 72 / 750.0), qRound((600 - 178.67) * 64 / 666.67));
  EXPECT_EQ(normal.pixelColor(tablet), QColor(Qt::white));
  EXPECT_NEAR(dimmed.pixelColor(tablet).alphaF(), MenuBarMark::kDisabledOpacity, 0.01);
}

}  // namespace
}  // namespace lumenrail
