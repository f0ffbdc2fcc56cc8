// The widget tests share one application object on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <cstdlib>

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // No desktop portal answers here: the appearance follows the palette alone.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/lumenrail-test-bus", 1);
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
