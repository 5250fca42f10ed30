// Workspace: a temporary directory that is the process's working directory while the object lives,
// so the engine finds (and writes) its configuration files there. Tables are written through the
// configuration layer itself, in the layout the program reads. Result files of the engine under test
// are meant to go to ResultDirectory(), a second temporary directory.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

class QTemporaryDir;

namespace vespril::test {

class Workspace {
 public:
  Workspace();
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // With a trailing "/".
  std::string Path() const;
  std::string ResultDirectory() const;

  // Each replaces its file with exactly these rows.
  void WriteSettings(std::optional<std::string> porta, std::optional<std::string> relembrar = std::nullopt);
  void WriteServers(const std::vector<std::pair<std::string, std::string>>& nameAndAddress);
  void WriteTables(const std::vector<std::tuple<std::string, std::string, int>>& tableKeyGenerator);
  void WriteMatrix(const std::vector<std::tuple<std::string, std::string, int>>& serverTableCount);

  // The file names in the working directory, sorted, joined by ",".
  std::string Files() const;
  // A file's bytes ("" when missing).
  std::string Read(const std::string& name) const;
  // Table dumps as the program would load them: "ALFA,ITEM,3;BETA,ITEM,2" (fields by ",", rows by ";").
  std::string DumpMatrix() const;
  std::string DumpTables() const;
  std::string DumpServers() const;

 private:
  std::unique_ptr<QTemporaryDir> m_directory;
  std::unique_ptr<QTemporaryDir> m_results;
  std::string m_previous;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeTcpPort();
// Whether something accepts connections on 127.0.0.1:port (waits up to two seconds).
bool Accepts(int port);

}  // namespace vespril::test
