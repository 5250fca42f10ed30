// Saves the whole screen of the current X display as a PNG; scripts/screenshot uses it to picture the
// window under a virtual X server, where no other screen-grabbing program need be installed.
#include <cstdio>

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.png\n", argv[0]);
    return 2;
  }
  const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
  return shot.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
