// The built program as its users meet it: started as a process in a directory of configuration
// files, on the offscreen platform, with a client in this process speaking the protocol over TCP.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <poll.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "protocol/WireProtocol.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Frames.h"
#include "tests/support/SocketClient.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::FirebirdTestDatabase;
using test::Pedir;
using test::SocketClient;
using test::Workspace;

const std::string SEP(SeparadorChave);

std::string Program() { return VESPRIL_PROGRAM; }

// Result files go beside the program.
std::string ProgramDirectory() {
  const std::string program = Program();
  return program.substr(0, program.rfind('/') + 1);
}

std::string ReadFile(const std::string& path) {
  QFile file(QString::fromStdString(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "(no file)";
}

using Variables = std::vector<std::pair<QString, QString>>;

// The program running in the workspace's directory until the object dies, with `variables` added to
// this process's environment.
class RunningProgram {
 public:
  RunningProgram(const Workspace& workspace, int port, const std::string& program = Program(),
                 const Variables& variables = {})
      : m_port(port) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    for (const auto& [name, value] : variables) environment.insert(name, value);
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(QString::fromStdString(workspace.Path()));
    m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    m_process.setReadChannel(QProcess::StandardError);
    m_process.start(QString::fromStdString(program), {});
  }
  ~RunningProgram() {
    m_process.kill();
    m_process.waitForFinished(5000);
  }
  pid_t Pid() const { return static_cast<pid_t>(m_process.processId()); }
  // SIGTERM, as a service manager or Ctrl+C in a terminal would stop it; true when it ended in time and
  // cleanly (a sanitizer's report at exit makes the status non-zero).
  bool Terminate() {
    m_process.terminate();
    return m_process.waitForFinished(10000) && m_process.exitStatus() == QProcess::NormalExit &&
           m_process.exitCode() == 0;
  }
  // Its exit status once it has ended by itself within `ms`; -1 when it is still running then.
  int ExitCode(int ms) {
    if (!m_process.waitForFinished(ms) || m_process.exitStatus() != QProcess::NormalExit) return -1;
    return m_process.exitCode();
  }
  // True once the program has written `text` to its standard error.
  bool Wrote(const std::string& text) {
    while (m_errors.find(text) == std::string::npos) {
      if (!m_process.waitForReadyRead(10000)) return false;
      m_errors += m_process.readAllStandardError().toStdString();
    }
    return true;
  }
  // A client connected once the program listens; none when it never does.
  std::unique_ptr<SocketClient> Connect() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto client = std::make_unique<SocketClient>(m_port);
      if (client->Connected(1000)) return client;
      if (m_process.state() == QProcess::NotRunning) return nullptr;
      QThread::msleep(100);
    }
    return nullptr;
  }

 private:
  QProcess m_process;
  int m_port;
  std::string m_errors;
};

// A service manager's end of the notification protocol: a Unix datagram socket in a folder of its own,
// which NOTIFY_SOCKET names to the program.
class FakeServiceManager {
 public:
  FakeServiceManager() : m_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = Path().toStdString();
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    m_bound = m_fd >= 0 && bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~FakeServiceManager() {
    if (m_fd >= 0) close(m_fd);
  }
  FakeServiceManager(const FakeServiceManager&) = delete;
  FakeServiceManager& operator=(const FakeServiceManager&) = delete;

  bool Bound() const { return m_bound; }
  QString Path() const { return m_folder.filePath("notify"); }
  // The next message, or "" when none comes within `ms`.
  std::string Next(int ms) {
    pollfd readable{m_fd, POLLIN, 0};
    if (poll(&readable, 1, ms) != 1) return "";
    char message[256];
    const ssize_t size = recv(m_fd, message, sizeof message, 0);
    return size > 0 ? std::string(message, static_cast<size_t>(size)) : "";
  }
  // Reads until `message` comes (true) or `ms` pass without it.
  bool WaitFor(const std::string& message, int ms) {
    QElapsedTimer clock;
    clock.start();
    for (qint64 left = ms; left > 0; left = ms - clock.elapsed()) {
      if (Next(static_cast<int>(left)) == message) return true;
    }
    return false;
  }

 private:
  QTemporaryDir m_folder;
  int m_fd;
  bool m_bound = false;
};

// One thread of a child held still by ptrace while the object lives; the process's other threads run
// on. For the program's main thread (whose id is the process's), that is its GUI event loop stuck.
class HeldThread {
 public:
  explicit HeldThread(pid_t thread) : m_thread(thread) {
    int status = 0;
    m_held = ptrace(PTRACE_SEIZE, thread, nullptr, nullptr) == 0 &&
             ptrace(PTRACE_INTERRUPT, thread, nullptr, nullptr) == 0 &&
             waitpid(thread, &status, __WALL) == thread && WIFSTOPPED(status);
  }
  ~HeldThread() { ptrace(PTRACE_DETACH, m_thread, nullptr, nullptr); }
  HeldThread(const HeldThread&) = delete;
  HeldThread& operator=(const HeldThread&) = delete;
  bool Held() const { return m_held; }

 private:
  pid_t m_thread;
  bool m_held = false;
};

// Under a service manager with a watchdog of 200 ms: READY once the listener takes connections, a
// WATCHDOG every 100 ms while the event loop turns and none while it is stuck (the program's other
// threads running on), STOPPING when SIGTERM asks it to stop.
TEST(ProgramTest, TellsTheServiceManagerReadyWatchdogAndStopping) {
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port));
  FakeServiceManager manager;
  ASSERT_TRUE(manager.Bound());
  RunningProgram program(workspace, port, Program(),
                         {{"NOTIFY_SOCKET", manager.Path()}, {"WATCHDOG_USEC", "200000"}});
  ASSERT_TRUE(manager.WaitFor("READY=1", 30000));
  SocketClient socket(port);
  EXPECT_TRUE(socket.Connected(2000));
  EXPECT_TRUE(manager.WaitFor("WATCHDOG=1", 2000));

  {
    HeldThread loop(program.Pid());
    ASSERT_TRUE(loop.Held());
    while (!manager.Next(0).empty()) {  // what was sent before
    }
    EXPECT_EQ(manager.Next(800), "");
  }
  EXPECT_TRUE(manager.WaitFor("WATCHDOG=1", 2000));

  EXPECT_TRUE(program.Terminate());
  EXPECT_TRUE(manager.WaitFor("STOPPING=1", 1000));
}

// A program told to listen nowhere (port 0) is ready all the same, so the manager does not give up on
// a service that runs as configured; a start-up that can serve nothing, its configuration unreadable or
// its port taken, says why and ends with a failure before READY, so the manager's Restart= can work.
TEST(ProgramTest, TellsTheServiceManagerReadyOnlyWhenItServesWhatItWasTold) {
  QTcpServer squatter;
  ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, 0));
  const struct {
    std::string porta;
    std::string falha;  // "": READY
  } cases[] = {
      {"0", ""},
      {"abc", "VESPRIL: 'abc' is not a valid integer value.\n"},
      {std::to_string(squatter.serverPort()),
       "VESPRIL: Windows socket error: Address already in use (98), on API 'bind'\n"},
  };
  for (const auto& c : cases) {
    Workspace workspace;
    workspace.WriteSettings(c.porta);
    FakeServiceManager manager;
    ASSERT_TRUE(manager.Bound());
    RunningProgram program(workspace, 0, Program(), {{"NOTIFY_SOCKET", manager.Path()}});
    if (c.falha.empty()) {
      EXPECT_TRUE(manager.WaitFor("READY=1", 30000));
      EXPECT_TRUE(program.Terminate());
      EXPECT_TRUE(manager.WaitFor("STOPPING=1", 1000));
      continue;
    }
    EXPECT_TRUE(program.Wrote(c.falha)) << c.porta;
    EXPECT_EQ(program.ExitCode(10000), EXIT_FAILURE) << c.porta;
    EXPECT_EQ(manager.Next(0), "") << c.porta;
  }
}

TEST(ProgramTest, ServesScriptsBaixarAndDeletarFromItsConfigurationDirectory) {
  auto alfa = FirebirdTestDatabase::WithOrders();
  auto beta = FirebirdTestDatabase::WithOrders();
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port), "False");
  workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}});
  workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 41}, {"ITEM", "IDITEM", 6}});
  workspace.WriteMatrix(
      {{"ALFA", "ITEM", 3}, {"BETA", "ITEM", 2}, {"ALFA", "PEDIDO", 10}, {"BETA", "PEDIDO", 9}});
  const std::string matrixBefore = workspace.DumpMatrix();

  {
    RunningProgram program(workspace, port);
    const std::unique_ptr<SocketClient> socket = program.Connect();
    ASSERT_TRUE(socket);

    const std::string script = "insert into ITEM (QTD, PRECO) values (2, 10)" + SEP + "PEDIDO, IDPEDIDO" +
                               SEP + ";\r\nselect IDITEM, IDPEDIDO, QTD from ITEM;";
    EXPECT_EQ(socket->Ask(Pedir("loja.3", "42", script)), MontarResposta("loja.3", "42", "", script));

    const std::string path = ProgramDirectory() + "Consultaloja342.xml";
    EXPECT_EQ(socket->Ask(Pedir("loja.3", "42", "Baixar")), MontarResposta("loja.3", "42", "", path));
    EXPECT_EQ(ReadFile(path),
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n  <dados>\r\n    <registro>\r\n"
              "      <IDITEM>7</IDITEM>\r\n      <IDPEDIDO>41</IDPEDIDO>\r\n      <QTD>2</QTD>\r\n"
              "    </registro>\r\n  </dados>\r\n");

    // "Deletar" answers nothing: the reply that follows is the next request's.
    const std::string falha =
        socket->Ask(Pedir("loja.3", "42", "Deletar") + Pedir("x", "1", "delete from NADA;"));
    EXPECT_EQ(falha.rfind(std::string(MarcaInicio) + "x", 0), 0u) << falha;
    EXPECT_NE(falha.find("NADA"), std::string::npos);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path)));
  }

  EXPECT_EQ(beta.Dump("select IDITEM, IDPEDIDO, QTD from ITEM"), "7|41|2");
  EXPECT_NE(workspace.DumpMatrix(), matrixBefore);
  EXPECT_EQ(workspace.DumpTables(), "ITEM,IDITEM,7;PEDIDO,IDPEDIDO,41");
}

TEST(ProgramTest, StartsWithoutConfigurationWritesNothingAndStopsWhenAsked) {
  Workspace workspace;
  RunningProgram program(workspace, 0);
  QThread::msleep(1500);
  EXPECT_TRUE(program.Terminate());
  EXPECT_EQ(workspace.Files(), "");
}

// --help and --version answer on standard output and end at once: nothing of the workspace is opened
// (its server could not be attached, its port is free), nothing is said on standard error.
TEST(ProgramTest, HelpAndVersionPrintAndEndWithoutOpeningAnything) {
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port));
  workspace.WriteServers({{"ALFA", workspace.Path() + "missing.fdb"}});
  const struct {
    const char* argument;
    std::vector<std::string> holds;
  } cases[] = {
      {"--version", {"vespril 1.0.0\n"}},
      {"--help",
       {"Usage: vespril [--help | --version]\n", "Servidor.xml", "VESPRIL_DIR_CONSULTAS", "FIREBIRD_LOCK"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(workspace.Path()));
    process.start(QString::fromStdString(Program()), {QString::fromLatin1(c.argument)});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    const std::string out = process.readAllStandardOutput().toStdString();
    for (const std::string& text : c.holds) EXPECT_NE(out.find(text), std::string::npos) << out;
    EXPECT_EQ(process.readAllStandardError().toStdString(), "");
    EXPECT_FALSE(test::Accepts(port));
  }
}

// A second program in a workspace that one already serves says so and ends, before it opens the
// databases or the port; the first goes on serving.
TEST(ProgramTest, SecondProgramInTheSameWorkspaceIsToldAnotherServesIt) {
  auto alfa = FirebirdTestDatabase::WithOrders();
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port), "False");
  workspace.WriteServers({{"ALFA", alfa.Address()}});
  RunningProgram first(workspace, port);
  const std::unique_ptr<SocketClient> socket = first.Connect();
  ASSERT_TRUE(socket);

  QProcess second;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  second.setProcessEnvironment(environment);
  second.setWorkingDirectory(QString::fromStdString(workspace.Path()));
  second.start(QString::fromStdString(Program()), {});
  ASSERT_TRUE(second.waitForFinished(10000));
  EXPECT_EQ(second.exitCode(), 1);
  EXPECT_EQ(second.readAllStandardError().toStdString(),
            "VESPRIL: Outro VESPRIL j\xE1 serve esta \xE1rea de trabalho (" +
                workspace.Path().substr(0, workspace.Path().size() - 1) +
                "); feche-o antes de iniciar outro\n");
  EXPECT_EQ(socket->Ask(Pedir("c", "1", "select * from PEDIDO;")),
            MontarResposta("c", "1", "", "select * from PEDIDO;"));
}

TEST(ProgramTest, FailedStartIsReportedAndTheProgramStillStopsWhenAsked) {
  Workspace workspace;
  workspace.WriteSettings("abc");
  RunningProgram program(workspace, 0);
  // Without a display nobody can answer the error box: its text goes to standard error too.
  EXPECT_TRUE(program.Wrote("VESPRIL: 'abc' is not a valid integer value.\n"));
  EXPECT_TRUE(program.Terminate());
}

// Result files go beside the program whatever its folder is called: a name outside ISO-8859-1, and
// bytes that are no UTF-8 at all, are kept as the file system has them, in the file's path and in the
// reply to "Baixar".
TEST(ProgramTest, ServesFromAFolderWhoseNameIsNoIso88591Text) {
  for (const std::string name : {"\xE6\x97\xA5\xE6\x9C\xAC", "caf\xC3\xA9\xFF"}) {
    QTemporaryDir base;
    char real[PATH_MAX];
    ASSERT_NE(realpath(base.path().toStdString().c_str(), real), nullptr);
    // Qt can't remove a name that is no UTF-8; this goes once the program below has ended.
    const std::unique_ptr<const char, void (*)(const char*)> removed(real, [](const char* path) {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    });
    const std::string folder = std::string(real) + "/" + name;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::filesystem::copy_file(Program(), folder + "/vespril");
    // Started through a link of a plain name; the program finds its folder through the kernel.
    const std::string link = std::string(real) + "/vespril";
    ASSERT_EQ(symlink((folder + "/vespril").c_str(), link.c_str()), 0);

    Workspace workspace;
    const int port = test::FreeTcpPort();
    workspace.WriteSettings(std::to_string(port));
    RunningProgram program(workspace, port, link);
    const std::unique_ptr<SocketClient> socket = program.Connect();
    ASSERT_TRUE(socket) << name;
    const std::string query = "select 1 from RDB$DATABASE;";
    EXPECT_EQ(socket->Ask(Pedir("c", "1", query)), MontarResposta("c", "1", "", query));
    const std::string path = folder + "/Consultac1.xml";
    EXPECT_EQ(socket->Ask(Pedir("c", "1", "Baixar")), MontarResposta("c", "1", "", path));
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << name;
  }
}

TEST(ProgramTest, StopsWhenAskedWhileAttachedToItsServers) {
  auto alfa = FirebirdTestDatabase::WithOrders();
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port));
  workspace.WriteServers({{"ALFA", alfa.Address()}});
  RunningProgram program(workspace, port);
  const std::unique_ptr<SocketClient> socket = program.Connect();
  ASSERT_TRUE(socket);
  EXPECT_TRUE(program.Terminate());
  // Its attachment is gone with it: this process can open the embedded database again.
  EXPECT_EQ(alfa.Count("PEDIDO"), 0);
}

// Asked to stop while a client's query runs, the program lets it end and answers it before it exits.
TEST(ProgramTest, StopsWhenAskedAfterTheRunningRequestIsAnswered) {
  FirebirdTestDatabase alfa({.ddl = {"create table N (I integer)",
                                     "execute block as declare i integer = 0; begin while (i < 200) do begin "
                                     "insert into N values (:i); i = i + 1; end end"}});
  Workspace workspace;
  const int port = test::FreeTcpPort();
  workspace.WriteSettings(std::to_string(port));
  workspace.WriteServers({{"ALFA", alfa.Address()}});
  RunningProgram program(workspace, port);
  const std::unique_ptr<SocketClient> socket = program.Connect();
  ASSERT_TRUE(socket);
  const std::string cliente = "parada" + std::to_string(QCoreApplication::applicationPid());
  const std::string path = ProgramDirectory() + "Consulta" + cliente + "1.xml";
  QFile::remove(QString::fromStdString(path));
  const std::string script = "select count(*) as TOTAL from N a, N b, N c;";
  const std::string request = Pedir(cliente, "1", script);
  socket->Send(request);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(QString::fromStdString(path)); }, 20000));

  EXPECT_TRUE(program.Terminate());
  (void)QTest::qWaitFor([&] { return socket->Received().find(MarcaFim) != std::string::npos; }, 1000);
  EXPECT_EQ(socket->Received(), MontarResposta(cliente, "1", "", script));
  EXPECT_NE(ReadFile(path).find("<TOTAL>8000000</TOTAL>"), std::string::npos);
  QFile::remove(QString::fromStdString(path));
}

}  // namespace
}  // namespace vespril
