// vespril-bench: prints the gateway's figures. Not a test: nothing here fails on a number.
//
// In-process sections time the engine's parts; comparison sections run the gateway as a child process
// against the Firebird server on 127.0.0.1:3050 and set it side by side with a direct client. A new
// section is a function in Sections.h and a line in kSections below.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QTemporaryDir>

#include "bench/Harness.h"
#include "bench/Sections.h"

namespace {

using vespril::bench::Options;

constexpr char kUsage[] = R"(usage: vespril-bench [SECTION...] [OPTION...]

Sections (all when none is named):
  frames       frame reassembly                                  in process
  resultfile   the result-file writer                            in process
  tables       saving, loading and locating in the matrix        in process
  engine       scripts through the engine on embedded databases  in process
  clients      clients side by side: latency beside a long query, the event loop's delay, INSERTs
               from 1 and 32 connections, read scripts from 1, 4 and 16    in process, server
  inserts      routed one-row INSERTs: gateway against a direct client (bare, and durable)
  writers      routed one-row INSERTs from 1, 8 and 32 connections against as many direct threads
  query        a query into the result file: gateway against a direct client, and the gateway's memory
  remote       a query over servers behind a link delayed each way, against the same servers without the
               delay and one server's wait, and the gateway's memory by the number of servers
  baixar       "Baixar" round trips: gateway against a bare poll() server
  logmetrics   the request log and the metrics on against off: "Baixar" round trips and INSERTs
               (under taskset -c 0, so that where the processes run does not decide the round trip)
The sections from inserts on need the Firebird server on 127.0.0.1:3050 (SYSDBA); the gateway runs as a
child process.

Options:
  --rows N,N...        query sizes, rows in all (default 10000,100000,1000000)
  --servers N,N...     server counts for the query (default 2,10)
  --inserts N          INSERTs per form and round (default 30)
  --insert-servers N   servers for the INSERTs (default 2)
  --forced-writes on|off  whether the INSERTs' databases write through to the disk at each commit
                       (default on, as a real server; off shows the processor's share)
  --rounds N           alternating rounds of the INSERTs (default 20)
  --query-rounds N     alternating rounds per query size (default 5; more for fewer than 10^5 rows)
  --samples N          "Baixar" round trips to each server (default 10000)
  --remote-servers N,N...  server counts for the remote section (default 4,10)
  --remote-rows N      rows of each server in the remote section (default 25000)
  --delay-ms X         the remote section's delay each way, in milliseconds (default 2)
  --quick              small sizes for a trial run: --rows 1000,10000 --servers 2 --inserts 10
                       --rounds 5 --query-rounds 2 --samples 1000 --remote-servers 4
                       --remote-rows 2500

Environment: VESPRIL_BENCH_SERVER names another build's vespril-bench to serve as the child gateway (and
the floor) of inserts, query and baixar, to set two versions of the gateway against the same direct
clients.

Example: vespril-bench query --rows 100000 --servers 2,10
)";

template <typename T>
std::vector<T> NumberList(const std::string& text) {
  std::vector<T> numbers;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) numbers.push_back(static_cast<T>(std::stol(item)));
  return numbers;
}

void PrintMachine() {
  std::string model = "unknown";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / (1 << 30);
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("machine: %ld cores, %s, %.0f GiB memory; load average %s\n", sysconf(_SC_NPROCESSORS_ONLN),
              model.c_str(), memory, load.substr(0, load.find(' ')).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (std::optional<int> code = vespril::bench::ChildMain(argc, argv)) return *code;
  QCoreApplication app(argc, argv);

  Options options;
  std::vector<std::string> sections;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
        return argv[++i];
      };
      if (arg == "--help" || arg == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
      } else if (arg == "--rows") {
        options.rows = NumberList<long>(value());
      } else if (arg == "--servers") {
        options.servers = NumberList<int>(value());
      } else if (arg == "--inserts") {
        options.inserts = std::stoi(value());
      } else if (arg == "--insert-servers") {
        options.insertServers = std::stoi(value());
      } else if (arg == "--forced-writes") {
        const std::string setting = value();
        if (setting != "on" && setting != "off")
          throw std::invalid_argument("--forced-writes takes on or off");
        options.forcedWrites = setting == "on";
      } else if (arg == "--rounds") {
        options.rounds = std::stoi(value());
      } else if (arg == "--query-rounds") {
        options.queryRounds = std::stoi(value());
      } else if (arg == "--samples") {
        options.samples = std::stoi(value());
      } else if (arg == "--remote-servers") {
        options.remoteServers = NumberList<int>(value());
      } else if (arg == "--remote-rows") {
        options.remoteRows = std::stol(value());
      } else if (arg == "--delay-ms") {
        options.delayMicros = std::lround(std::stod(value()) * 1000);
      } else if (arg == "--quick") {
        options.rows = {1000, 10000};
        options.servers = {2};
        options.inserts = 10;
        options.rounds = 5;
        options.queryRounds = 2;
        options.samples = 1000;
        options.remoteServers = {4};
        options.remoteRows = 2500;
      } else if (arg.rfind("--", 0) == 0) {
        throw std::invalid_argument("unknown option " + arg);
      } else {
        sections.push_back(arg);
      }
    }
    for (int servers : options.remoteServers) {
      if (servers < 1 || servers > 10) throw std::invalid_argument("--remote-servers takes 1 to 10");
    }
    if (options.remoteServers.empty() || options.remoteRows < 1 || options.delayMicros < 0)
      throw std::invalid_argument("the remote section needs servers, rows and a delay of at least 0");
    for (int servers : options.servers) {
      if (servers < 1 || servers > 10) throw std::invalid_argument("--servers takes 1 to 10");
    }
    if (options.insertServers < 1 || options.insertServers > 10)
      throw std::invalid_argument("--insert-servers takes 1 to 10");
    if (options.inserts < 1 || options.rounds < 1 || options.queryRounds < 1 || options.samples < 1)
      throw std::invalid_argument("counts must be at least 1");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vespril-bench: %s\n%s", e.what(), kUsage);
    return 2;
  }

  QTemporaryDir dir;
  const std::vector<std::pair<const char*, std::function<void()>>> kSections{
      {"frames", [] { vespril::bench::BenchFrames(); }},
      {"resultfile", [&] { vespril::bench::BenchResultFile(dir.path()); }},
      {"tables", [&] { vespril::bench::BenchTables(dir.path()); }},
      {"engine", [&] { vespril::bench::BenchEngine(dir.path()); }},
      {"clients", [&] { vespril::bench::BenchClients(dir.path()); }},
      {"inserts", [&] { vespril::bench::BenchInserts(options); }},
      {"writers", [&] { vespril::bench::BenchWriters(options); }},
      {"query", [&] { vespril::bench::BenchQuery(options); }},
      {"remote", [&] { vespril::bench::BenchRemote(options); }},
      {"baixar", [&] { vespril::bench::BenchBaixar(options); }},
      {"logmetrics", [&] { vespril::bench::BenchLogMetrics(options); }},
  };
  for (const std::string& name : sections) {
    if (std::none_of(kSections.begin(), kSections.end(), [&](const auto& s) { return name == s.first; })) {
      std::fprintf(stderr, "vespril-bench: no section %s\n%s", name.c_str(), kUsage);
      return 2;
    }
  }

  PrintMachine();
  int failed = 0;
  for (const auto& [name, run] : kSections) {
    if (!sections.empty() && std::find(sections.begin(), sections.end(), name) == sections.end()) continue;
    try {
      run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: could not run: %s\n", name, e.what());
      failed = 1;
    }
    std::fflush(stdout);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory of the benchmark itself: %ld KiB\n", usage.ru_maxrss);
  return failed;
}
