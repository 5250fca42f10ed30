// The gateway's engine and listener in a process of its own with lowered limits, for the tests that
// run it out of descriptors or memory without harming the test process.
//
//   vespril-listener-probe descritores <port> <free descriptors>
//   vespril-listener-probe memoria <port>
//   vespril-listener-probe espaco <port>
//
// It starts the engine without configuration in a temporary working directory, opens the listener on
// the port, lowers its limit (open descriptors to those in use plus the number given; its data size to
// what it uses plus 48 MiB, with the listener's ceilings scaled down to match; or its address space to
// what it uses plus 200 MiB, with the ceilings as they ship), then prints "pronto". Every error of the
// listener is printed as a line "erro <message>".
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include "gateway/UVESPRIL.h"

namespace {

int HighestDescriptor() {
  int highest = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    highest = std::max(highest, std::stoi(entry.path().filename().string()));
  }
  return highest;
}

// A figure of /proc/self/status in bytes: "VmData:", "VmSize:".
rlim_t InUse(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return static_cast<rlim_t>(std::stoul(line.substr(field.size()))) * 1024;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s descritores|memoria|espaco <port> [free descriptors]\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  // Descriptors left open by whoever started us would leave gaps below the limit.
  ::close_range(3, ~0u, 0);
  QCoreApplication app(argc, argv);
  QTemporaryDir directory;
  if (!directory.isValid() || ::chdir(directory.path().toLocal8Bit().constData()) != 0) return 1;

  vespril::VESPRIL engine(directory.path().toStdString() + "/");
  engine.OnAviso = [](const std::string& message) {
    std::printf("erro %s\n", message.c_str());
    std::fflush(stdout);
  };
  vespril::SoqueteServidor& listener = engine.Soquete();
  if (mode == "memoria") {
    constexpr size_t kMiB = 1u << 20;
    listener.SetLimits({.frame = 1 * kMiB, .pendingReplies = 1 * kMiB, .unfinishedFrames = 4 * kMiB});
  }
  listener.SetPort(std::atoi(argv[2]));
  listener.SetActive(true);

  if (mode == "descritores" && argc > 3) {
    const rlim_t limit = static_cast<rlim_t>(HighestDescriptor() + 1 + std::atoi(argv[3]));
    const rlimit lowered{limit, limit};
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) return 1;
  } else if (mode == "memoria" || mode == "espaco") {
    const bool dados = mode == "memoria";
    const rlim_t limit = dados ? InUse("VmData:") + (48u << 20) : InUse("VmSize:") + (200u << 20);
    const rlimit lowered{limit, limit};
    if (::setrlimit(dados ? RLIMIT_DATA : RLIMIT_AS, &lowered) != 0) return 1;
  }
  std::printf("pronto\n");
  std::fflush(stdout);
  return QCoreApplication::exec();
}
