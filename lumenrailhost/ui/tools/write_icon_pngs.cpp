// Build step: the application icon as hicolor PNG files under the folder
// given, <side>x<side>/apps/lumenrail-host.png for each installed size.
#include <cstdio>
#include <string>

#include <QDir>

#include "ui/style/AppIcon.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <hicolor folder>\n", argv[0]);
    return 2;
  }
  for (const int side : lumenrail::AppIcon::kPngSides) {
    const QString folder = QString("%1/%2x%2/apps").arg(argv[1]).arg(side);
    if (!QDir().mkpath(folder) ||
        !lumenrail::AppIcon::image(side).save(folder + "/" + lumenrail::AppIcon::kThemeName + ".png")) {
      std::fprintf(stderr, "cannot write the %dx%d icon under %s\n", side, side, argv[1]);
      return 1;
    }
  }
  return 0;
}
