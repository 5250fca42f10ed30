#include "bench/Harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <unordered_map>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include "config/ConfigTables.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbStatement.h"
#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"

extern char** environ;

namespace vespril::bench {

namespace {

constexpr char kServeGateway[] = "--serve-gateway";
constexpr char kServeFloor[] = "--serve-floor";

Error SystemError(const std::string& what) { return Error(what + ": " + std::strerror(errno)); }

void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      throw SystemError("send");
    }
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
}

void NoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::string SelfPath() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) throw SystemError("readlink /proc/self/exe");
  return std::string(path, static_cast<size_t>(length));
}

// The gateway engine on its own event loop, as the program runs it, without the window.
int ServeGateway(int argc, char** argv, const std::string& workspace) {
  QCoreApplication app(argc, argv);
  QDir::setCurrent(QString::fromStdString(workspace));
  std::unique_ptr<VESPRIL> engine;
  try {
    engine = std::make_unique<VESPRIL>(workspace);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gateway: start-up failed: %s\n", e.what());
    return 1;
  }
  engine->OnAviso = [](const std::string& message) {
    std::fprintf(stderr, "gateway: %s\n", message.c_str());
  };
  std::printf("port %d\n", engine->Soquete().BoundPort());
  std::fflush(stdout);
  QSocketNotifier parentGone(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&parentGone, &QSocketNotifier::activated, [&] {
    char byte;
    if (read(STDIN_FILENO, &byte, 1) <= 0) QCoreApplication::quit();
  });
  return QCoreApplication::exec();
}

// The least a server can do for a request: reassemble the frame and write the reply back.
int ServeFloor(const std::string& resultDir) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0) {
    std::perror("floor: listen");
    return 1;
  }
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("port %d\n", ntohs(address.sin_port));
  std::fflush(stdout);

  std::vector<pollfd> fds{{STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}};
  std::unordered_map<int, FrameAssembler> assemblers;
  std::vector<char> bytes(65536);
  for (;;) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[0].revents != 0) return 0;  // the benchmark closed our standard input
    if (fds[1].revents & POLLIN) {
      const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) {
        NoDelay(connection);
        fds.push_back({connection, POLLIN, 0});
        assemblers.emplace(connection, FrameAssembler());
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const int fd = fds[i].fd;
      const ssize_t got = read(fd, bytes.data(), bytes.size());
      if (got <= 0) {
        close(fd);
        assemblers.erase(fd);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i--));
        continue;
      }
      FrameAssembler& assembler = assemblers.at(fd);
      assembler.Append(std::string_view(bytes.data(), static_cast<size_t>(got)));
      while (std::optional<Pedido> request = assembler.Next()) {
        std::string cliente = request->cliente;
        std::erase(cliente, '.');
        const std::string path = resultDir + "Consulta" + cliente + request->pedido + ".xml";
        try {
          SendAll(fd, MontarResposta(request->cliente, request->pedido, "", path));
        } catch (const Error&) {
          break;  // the client went; its read will say so
        }
      }
    }
  }
}

}  // namespace

double Percentile(std::vector<double> samples, double q) {
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
  return samples[std::clamp<size_t>(rank, 1, samples.size()) - 1];
}

double Median(std::vector<double> samples) { return Percentile(std::move(samples), 0.5); }

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string Frame(std::string_view cliente, std::string_view pedido, std::string_view comando) {
  std::string frame(MarcaInicio);
  frame += cliente;
  frame += Separador;
  frame += pedido;
  frame += Separador;
  frame += comando;
  frame += MarcaFim;
  return frame;
}

WireConnection::WireConnection(int port) {
  m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (m_fd < 0 || connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const Error failure = SystemError("connect to port " + std::to_string(port));
    if (m_fd >= 0) close(m_fd);
    throw failure;
  }
  NoDelay(m_fd);
}

WireConnection::~WireConnection() { close(m_fd); }

void WireConnection::Send(std::string_view frame) { SendAll(m_fd, frame); }

Resposta WireConnection::Receive() {
  char bytes[65536];
  size_t scanned = 0;
  for (;;) {
    const size_t inicio = m_buffer.find(MarcaInicio);
    if (inicio != std::string::npos) {
      const size_t from = std::max(inicio + MarcaInicio.size(), scanned);
      const size_t fim = m_buffer.find(MarcaFim, from);
      if (fim != std::string::npos) {
        // Fields are cut at the first three separators; the last field runs to the end marker.
        std::string fields[4];
        size_t at = inicio + MarcaInicio.size();
        for (int f = 0; f < 3; ++f) {
          const size_t separador = m_buffer.find(Separador, at);
          if (separador == std::string::npos || separador > fim)
            throw Error("A reply frame with too few fields");
          fields[f] = m_buffer.substr(at, separador - at);
          at = separador + Separador.size();
        }
        fields[3] = m_buffer.substr(at, fim - at);
        m_buffer.erase(0, fim + MarcaFim.size());
        return {std::move(fields[0]), std::move(fields[1]), std::move(fields[2]), std::move(fields[3])};
      }
      // The end marker may straddle what has come so far.
      scanned = m_buffer.size() >= MarcaFim.size() ? m_buffer.size() - MarcaFim.size() + 1 : 0;
    }
    const ssize_t got = recv(m_fd, bytes, sizeof bytes, 0);
    if (got == 0) throw Error("The server closed the connection before its reply was whole");
    if (got < 0) {
      if (errno == EINTR) continue;
      throw SystemError("recv");
    }
    m_buffer.append(bytes, static_cast<size_t>(got));
  }
}

ServerDatabases::ServerDatabases()
    : m_directory(std::make_unique<QTemporaryDir>(QDir::tempPath() + "/vespril-bench-XXXXXX")) {
  if (!m_directory->isValid()) throw Error("Cannot create a directory for the benchmark's databases");
  // The server runs as its own user and creates the files here.
  QFile::setPermissions(m_directory->path(),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                            QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                            QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
}

ServerDatabases::~ServerDatabases() {
  for (const std::string& address : m_addresses) {
    try {
      fb::Attachment attachment(address, kUsuario, kSenha);
      attachment.Drop();
    } catch (const std::exception&) {
      // Still in use: the directory's removal takes the file.
    }
  }
}

std::string ServerDatabases::Create(const std::string& name, const std::vector<std::string>& ddl,
                                    bool forcedWrites) {
  const std::string address =
      "localhost:" + m_directory->filePath(QString::fromStdString(name)).toStdString() + ".fdb";
  fb::Attachment attachment = fb::Attachment::Create(address, kUsuario, kSenha, 3, forcedWrites);
  m_addresses.push_back(address);
  for (const std::string& statement : ddl) fb::ExecuteAndCommit(attachment, statement, 3);
  attachment.Detach();
  return address;
}

void WriteGatewayConfig(const std::string& dir, const GatewayConfig& config) {
  // The tables load from the working directory when they are built: build them in the empty one.
  const QString previous = QDir::currentPath();
  QDir::setCurrent(QString::fromStdString(dir));
  auto save = [&](PersistedTable table, const std::vector<std::vector<std::string>>& rows) {
    for (const auto& row : rows) {
      table.Append();
      for (size_t i = 0; i < row.size(); ++i) table.SetFieldAsString(table.Fields()[i].name, row[i]);
      table.Post();
    }
    table.SaveToFile(dir + table.FileName());
  };
  save(config::BuildPortaRelembrar(),
       {{"Porta", std::to_string(config.porta)}, {"TabelaRelembrar", "False"}});
  std::vector<std::vector<std::string>> servidores, tabelas, matriz;
  for (const auto& [nome, endereco] : config.servidores) servidores.push_back({nome, endereco});
  for (const std::string& tabela : config.tabelas) {
    tabelas.push_back({tabela, "IDITEM", "0"});
    for (const auto& servidor : config.servidores) matriz.push_back({servidor.first, tabela, "0"});
  }
  save(config::BuildServidor(), servidores);
  save(config::BuildTabela(), tabelas);
  save(config::BuildServidorTabela(), matriz);
  QDir::setCurrent(previous);
}

int FreeLoopbackPort() {
  const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (probe < 0 || bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw SystemError("No free loopback port");
  }
  close(probe);
  return ntohs(address.sin_port);
}

std::unique_ptr<ChildServer> ChildServer::Gateway(const std::string& workspace,
                                                  const std::vector<std::string>& environment,
                                                  const std::string& errors) {
  return std::unique_ptr<ChildServer>(new ChildServer({kServeGateway, workspace}, environment, errors));
}

std::unique_ptr<ChildServer> ChildServer::Floor(const std::string& resultDir) {
  return std::unique_ptr<ChildServer>(new ChildServer({kServeFloor, resultDir}));
}

ChildServer::ChildServer(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                         const std::string& errors) {
  int input[2], output[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) throw SystemError("pipe");
  // Another build's benchmark may serve instead, to set two versions of the gateway side by side.
  const char* other = std::getenv("VESPRIL_BENCH_SERVER");
  const std::string self = other != nullptr && *other != '\0' ? std::string(other) : SelfPath();
  std::vector<std::string> words{self};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  if (!errors.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
  }
  std::vector<std::string> variables(environment);
  for (char** variable = environ; *variable != nullptr; ++variable) variables.emplace_back(*variable);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  const int spawned = posix_spawn(&m_pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  close(output[1]);
  m_stdin = input[1];
  if (spawned != 0) {
    close(output[0]);
    close(m_stdin);
    errno = spawned;
    throw SystemError("posix_spawn " + self);
  }

  // The child says "port N" once it serves; start-up attaches every server, which may take a while.
  std::string line;
  char byte;
  pollfd ready{output[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&ready, 1, 120000) > 0 &&
         read(output[0], &byte, 1) == 1)
    line += byte;
  close(output[0]);  // the child prints nothing more
  if (std::sscanf(line.c_str(), "port %d", &m_port) != 1 || m_port <= 0) {
    close(m_stdin);
    m_stdin = -1;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    throw Error("The " + args[0].substr(2) + " child did not start (see its messages above)");
  }
}

ChildServer::~ChildServer() {
  if (m_pid <= 0) return;
  close(m_stdin);
  for (int waited = 0; waited < 1000; ++waited) {
    if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(m_pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
}

long ChildServer::StatusField(const char* field) const {
  std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

long ChildServer::ResidentKiB() const { return StatusField("VmRSS"); }
long ChildServer::PeakKiB() const { return StatusField("VmHWM"); }

double ChildServer::CpuSeconds() const {
  std::ifstream stat("/proc/" + std::to_string(m_pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which is in parentheses and may hold blanks: state is field 3,
  // utime and stime are fields 14 and 15.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number >= 14) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void ChildServer::ResetPeak() const {
  std::ofstream clear("/proc/" + std::to_string(m_pid) + "/clear_refs");
  clear << "5";
}

std::optional<int> ChildMain(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kServeGateway) == 0) return ServeGateway(argc, argv, argv[2]);
  if (argc == 3 && std::strcmp(argv[1], kServeFloor) == 0) return ServeFloor(argv[2]);
  return std::nullopt;
}

}  // namespace vespril::bench
