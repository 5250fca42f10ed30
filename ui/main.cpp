// The program: one application, its one window, and the message loop until that window is closed or
// the process is asked to stop (SIGINT, SIGTERM, SIGHUP); then the gateway stops accepting and lets
// the running requests end. Started by a service manager, it tells that manager how it stands (see
// ui/ServiceNotifier.h).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>

#include "foundation/Descriptor.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbLockFolder.h"
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

constexpr char kUso[] =
    "Usage: vespril [--help | --version]\n"
    "\n"
    "Serves up to ten Firebird databases as one, on the TCP port of its configuration, and shows its\n"
    "window (without a display, it serves all the same on Qt's offscreen platform). It takes no\n"
    "other arguments: everything else is set in the window and saved in the working directory.\n"
    "\n"
    "Files, in the working directory:\n"
    "  Porta_Relembrar.xml  the port and the recount flag\n"
    "  Servidor.xml         the servers: name and Firebird database address\n"
    "  Tabela.xml           the distributed tables: name, key column, generator\n"
    "  ServidorTabela.xml   how many rows of each table each server holds\n"
    "  GruposConfirmados.dat  the groups of writes decided, for recovery at the next start\n"
    "Result files (Consulta<client><request>.xml) go beside the program, or to VESPRIL_DIR_CONSULTAS.\n"
    "\n"
    "Environment:\n"
    "  VESPRIL_DIR_CONSULTAS  folder for the result files (it must exist)\n"
    "  VESPRIL_LIMITE         time limit in seconds of every call on a server (30)\n"
    "  VESPRIL_METRICAS       host:port (or a port, on loopback) to serve Prometheus metrics on\n"
    "  VESPRIL_REGISTRO_SQL   1: request log lines hold whole scripts\n"
    "  QT_LOGGING_RULES       filters the log (vespril.requests, vespril.servers, vespril.listener)\n"
    "  QT_QPA_PLATFORM        Qt's platform; offscreen serves without a window\n"
    "  FIREBIRD_LOCK          the embedded engine's lock folder (default: /tmp/firebird when this\n"
    "                         user may write there, else $XDG_RUNTIME_DIR/firebird or\n"
    "                         /tmp/firebird-<uid>)\n"
    "  NOTIFY_SOCKET          set by systemd: readiness, stopping and the watchdog\n"
    "\n"
    "See vespril(1).\n";

// "Outro VESPRIL j\xE1 serve esta \xE1rea de trabalho", in the operator's box, or on standard error
// where no box can be seen.
void Recusar(const std::string& texto) {
  std::fprintf(stderr, "VESPRIL: %s\n", texto.c_str());
  if (QGuiApplication::platformName() == QLatin1String("offscreen")) return;
  QMessageBox::critical(nullptr, QStringLiteral("VESPRIL"),
                        QString::fromLatin1(texto.data(), static_cast<qsizetype>(texto.size())));
}

// One program per workspace: the working directory is locked for as long as the process lives, so a
// second one started there is told so before it opens a database or the port. The lock is the
// kernel's and goes with the process, however it ends.
bool TravarAreaDeTrabalho(vespril::Descriptor& trava) {
  trava.Reset(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return trava.Get() < 0 || flock(trava.Get(), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

}  // namespace

int main(int argc, char** argv) {
  // Both answer without opening anything: no window, no database, no port. Other arguments go to Qt
  // as they always have (-platform, -style, ...).
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vespril %s\n", VESPRIL_VERSION);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUso, stdout);
    return 0;
  }

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

  vespril::Descriptor areaDeTrabalho;
  if (!TravarAreaDeTrabalho(areaDeTrabalho)) {
    std::error_code erro;
    Recusar("Outro VESPRIL j\xE1 serve esta \xE1rea de trabalho (" +
            std::filesystem::current_path(erro).string() + "); feche-o antes de iniciar outro");
    return 1;
  }
  // Before the engine's first use, which fixes its lock folder for the process.
  try {
    vespril::fb::ChooseLockFolder();
  } catch (const vespril::Error& e) {
    Recusar(e.Message());
    return 1;
  }
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
