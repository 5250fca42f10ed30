// The program: one application, its one window, and the message loop until that window is closed.
#include <QApplication>

#include "ui/UFormVESPRIL.h"

int main(int argc, char** argv) {
  // Without a display the gateway still serves its clients, on Qt's platform that draws nowhere.
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("VESPRIL"));
  vespril::TFormVESPRIL form;
  form.show();
  return QApplication::exec();
}
