// The widget tests share one application object on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <cstdlib>

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
