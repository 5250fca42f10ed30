#include "foundation/FbLockFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril::fb {

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// The engine's configuration: $FIREBIRD's, else the one the Debian packages install.
std::string ReadFirebirdConf() {
  const char* root = std::getenv("FIREBIRD");
  const std::string path = root != nullptr && root[0] != '\0' ? std::string(root) + "/firebird.conf"
                                                              : "/etc/firebird/3.0/firebird.conf";
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string OwnFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = runtime != nullptr && runtime[0] == '/'
                                 ? std::string(runtime) + "/firebird"
                                 : "/tmp/firebird-" + std::to_string(geteuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw Error("A pasta de travas do Firebird " + folder +
                " n\xE3o p\xF4"
                "de ser criada: " +
                std::strerror(errno));
  }
  // In a folder everybody writes to, another user may have made the name first, or put a link there.
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & 022) != 0) {
    throw Error("A pasta de travas do Firebird " + folder + " n\xE3o \xE9 s\xF3 deste usu\xE1rio");
  }
  return folder;
}

}  // namespace

bool ExclusiveServerMode(std::string_view firebirdConf) {
  std::string_view mode = "Super";
  while (!firebirdConf.empty()) {
    const size_t end = firebirdConf.find('\n');
    std::string_view line = firebirdConf.substr(0, end);
    firebirdConf.remove_prefix(end == std::string_view::npos ? firebirdConf.size() : end + 1);
    line = Trimmed(line.substr(0, line.find('#')));
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (SameTextAscii(Trimmed(line.substr(0, equals)), "ServerMode")) {
      mode = Trimmed(line.substr(equals + 1));
    }
  }
  return SameTextAscii(mode, "Super") || SameTextAscii(mode, "ThreadedDedicated");
}

std::string ChooseLockFolder(const std::string& defaultFolder) {
  const char* chosen = std::getenv("FIREBIRD_LOCK");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  if (access(defaultFolder.c_str(), R_OK | W_OK | X_OK) == 0 || !ExclusiveServerMode(ReadFirebirdConf())) {
    return defaultFolder;
  }
  const std::string folder = OwnFolder();
  setenv("FIREBIRD_LOCK", folder.c_str(), 1);
  return folder;
}

}  // namespace vespril::fb
