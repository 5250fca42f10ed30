// The program: one application, its one window, and the message loop until that window is closed or
// the process is asked to stop (SIGINT, SIGTERM, SIGHUP); then the gateway stops accepting and lets
// the running requests end. Started by a service manager, it tells that manager how it stands (see
// ui/ServiceNotifier.h).
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "foundation/Descriptor.h"
#include "foundation/FbAttachment.h"
#include "ui/ServiceNotifier.h"
#include "ui/UFormVESPRIL.h"

namespace {

constexpr int kPrazoParadaMs = 10000;

// The pipe through which a stop signal reaches the event loop; it lives as long as the process.
vespril::Descriptor g_stopRead;
vespril::Descriptor g_stopWrite;
bool g_stopRequested = false;

void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(g_stopWrite.Get(), &byte, 1);
}

// The Firebird client installs handlers for these signals (at its first attach) that shut its
// connections down and then leave the process running; ours replace them and end the message loop.
void StopOnSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // Without a display the gateway still serves its clients, on Qt's platform that draws nowhere.
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("VESPRIL"));
  int ends[2] = {-1, -1};
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  g_stopRead.Reset(ends[0]);
  g_stopWrite.Reset(ends[1]);
  vespril::ServiceNotifier service;
  QSocketNotifier stopNotifier(g_stopRead.Get(), QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&service] {
    char bytes[16];
    while (read(g_stopRead.Get(), bytes, sizeof bytes) > 0) {
    }
    service.Stopping();
    // exit() also ends a nested loop, such as that of the start-up error box, which quit() would not
    // reach before the main loop runs.
    g_stopRequested = true;
    QApplication::exit(0);
  });

  vespril::fb::PrepareClient();
  StopOnSignals();
  // The window's construction makes the engine, whose start-up opens the listener, and no event loop
  // turns before it has ended or failed: so the first turn, of the main loop or of a start-up error box
  // that nobody may answer, comes when the program serves what it will.
  QTimer::singleShot(0, [&service] { service.Ready(); });
  // Under a service manager a start-up that can serve nothing (its port taken, its configuration
  // unreadable) ends with a failure, before READY, so the manager's Restart= can do its work.
  vespril::TFormVESPRIL form(nullptr, service.Gerenciado());
  if (g_stopRequested) return 0;
  if (service.Gerenciado() && !form.FalhaInicio().empty()) {
    std::fprintf(stderr, "VESPRIL: %s\n", vespril::ExceptionText(form.FalhaInicio()).c_str());
    return EXIT_FAILURE;
  }
  form.show();
  const int status = QApplication::exec();
  // Requests that are running may end and be answered, for 10 s at most; a request still running
  // then is left behind with the process (a configuration file is replaced whole or not at all).
  if (!form.Parar(kPrazoParadaMs)) std::_Exit(status);
  return status;
}
