// The pieces every benchmark section against the loopback Firebird server is built from: databases on
// that server, a gateway (or a bare floor server) running as a child process of the benchmark, a
// blocking client connection that speaks the frame protocol, and the figures' arithmetic.
//
// The gateway runs in a process of its own so that its memory can be read from /proc and so that the
// benchmark's own client work never shares its address space. The child is this same executable,
// started with a hidden first argument (ChildMain below).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QTemporaryDir;

namespace vespril::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The value below which a fraction q (0..1) of the samples lie (nearest rank). REQUIRES: samples given.
double Percentile(std::vector<double> samples, double q);
double Median(std::vector<double> samples);
// Processor time this process has used so far, user and system, in seconds.
double OwnCpuSeconds();

// A request frame: MarcaInicio cliente Separador pedido Separador comando MarcaFim.
std::string Frame(std::string_view cliente, std::string_view pedido, std::string_view comando);

struct Resposta {
  std::string cliente;
  std::string pedido;
  std::string mensagem;
  std::string retorno;
};

// One blocking TCP connection to 127.0.0.1:port, Nagle off. Requests may be sent ahead of their
// replies (pipelined); Receive hands the replies out in arrival order. Throws Error on any failure.
class WireConnection {
 public:
  explicit WireConnection(int port);
  ~WireConnection();
  WireConnection(const WireConnection&) = delete;
  WireConnection& operator=(const WireConnection&) = delete;

  void Send(std::string_view frame);
  // The next reply frame, whole; blocks until it has arrived.
  Resposta Receive();
  Resposta Ask(std::string_view frame) {
    Send(frame);
    return Receive();
  }

 private:
  int m_fd = -1;
  std::string m_buffer;
};

// A directory that the Firebird server (running as its own user) may write, holding databases that
// the benchmark creates through the server on loopback. Every database is dropped when this goes,
// so the processes attached to them must have ended first.
class ServerDatabases {
 public:
  ServerDatabases();
  ~ServerDatabases();
  ServerDatabases(const ServerDatabases&) = delete;
  ServerDatabases& operator=(const ServerDatabases&) = delete;

  // Creates name.fdb and runs each statement of ddl committed on its own; returns its address
  // ("localhost:/dir/name.fdb"). Without forced writes the server leaves flushing to the system:
  // for data that is only read back.
  std::string Create(const std::string& name, const std::vector<std::string>& ddl, bool forcedWrites);

 private:
  std::unique_ptr<QTemporaryDir> m_directory;
  std::vector<std::string> m_addresses;
};

// A working directory for the gateway: its four configuration files and its result files.
struct GatewayConfig {
  int porta = 0;
  std::vector<std::pair<std::string, std::string>> servidores;  // Nome, Endereco; in name order
  std::vector<std::string> tabelas;                             // distributed tables, key IDITEM
};
// Writes the configuration files into dir (a directory with a trailing "/").
void WriteGatewayConfig(const std::string& dir, const GatewayConfig& config);

// A loopback TCP port nothing listens on right now.
int FreeLoopbackPort();

// A child process running this executable in one of its server modes. It prints "port N" on its
// standard output when it serves; it ends when its standard input is closed (the destructor does
// that and waits for it, killing it after ten seconds).
class ChildServer {
 public:
  // Starts the gateway engine in workspace (result files go there too); its configuration must be
  // written already. `environment` ("NAME=value") is added to the child's; its standard error goes
  // to `errors` when named.
  static std::unique_ptr<ChildServer> Gateway(const std::string& workspace,
                                              const std::vector<std::string>& environment = {},
                                              const std::string& errors = "");
  // Starts the floor: a bare poll() server that answers every request frame at once with the reply
  // the gateway gives to "Baixar" for a result file in resultDir.
  static std::unique_ptr<ChildServer> Floor(const std::string& resultDir);
  ~ChildServer();
  ChildServer(const ChildServer&) = delete;
  ChildServer& operator=(const ChildServer&) = delete;

  int Port() const { return m_port; }
  pid_t Pid() const { return m_pid; }
  // From /proc/<pid>/status, in KiB: the resident set now, and its peak since start or the last reset.
  long ResidentKiB() const;
  long PeakKiB() const;
  // Sets the peak back to the resident set of now (clear_refs 5).
  void ResetPeak() const;
  // Processor time used so far, user and system, in seconds.
  double CpuSeconds() const;

 private:
  ChildServer(const std::vector<std::string>& args, const std::vector<std::string>& environment = {},
              const std::string& errors = "");
  long StatusField(const char* field) const;

  pid_t m_pid = -1;
  int m_stdin = -1;
  int m_port = 0;
};

// Runs a server mode when argv[1] names one, returning its exit code; nothing otherwise.
std::optional<int> ChildMain(int argc, char** argv);

}  // namespace vespril::bench
