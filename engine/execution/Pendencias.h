// Pendencias: the owner of every prepared transaction this program leaves behind, until it is ended.
//
// A group on more than one server prepares a transaction on each (the first phase of a two-phase
// commit), with the group's name stored beside it at the server; the name begins with the workspace's
// own mark, so that the transactions of this workspace are told from another gateway's on a shared
// server. A group is decided once the decision is recorded (engine/execution/RegistroGrupos.h); the decision
// is kept for each of its servers until that server is seen to have committed its part. What is not decided
// is rolled back (presumed abort). So a transaction found in limbo with this workspace's mark is committed
// when its group is decided for that server, skipped while its group is the one in flight, and rolled back
// otherwise, whatever run made it.
//
// They are looked for and ended, each time on an attachment of its own to the server's address:
//   - at start-up, on every configured server and every address a kept decision names (Iniciar);
//   - in the background, on every address that may hold one (Pendente): after a commit or a rollback
//     that did not get through, or a server that could not be reached; first 0.5 s after, then at
//     intervals that double up to 30 s, until a visit gets through;
//   - by a statement that meets one ("stuck in limbo") before it fails (Concluir): it runs again once
//     the transaction is ended, so no read or write fails for one of ours.
// Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "execution/RegistroGrupos.h"
#include "foundation/ThreadAnnotations.h"

namespace vespril {

namespace fb {
class Attachment;
class Watchdog;
}  // namespace fb

class Pendencias {
 public:
  static constexpr std::chrono::milliseconds kPrimeiraEspera{500};
  static constexpr std::chrono::milliseconds kMaiorEspera{30000};

  // The user and password to attach the server at an address with.
  using Acesso = std::function<std::pair<std::string, std::string>(const std::string& endereco)>;

  // Reads the record in the working directory; the workspace's mark is made at its first record.
  Pendencias(Acesso acesso, fb::Watchdog* vigia);
  ~Pendencias();  // stops the background visits; waits for one under way (at most the time limit)
  Pendencias(const Pendencias&) = delete;
  Pendencias& operator=(const Pendencias&) = delete;

  // Start-up: visits the `presentes` (the servers attached) now; the other `configurados`, every
  // other address a kept decision names, and those that can't be visited now, in the background. A
  // decision kept from the older record layout, which names no server, is taken for each configured
  // server.
  void Iniciar(const std::vector<std::string>& configurados, const std::vector<std::string>& presentes);

  // The name of the next group, with the workspace's mark. The write lane.
  std::string NovoGrupo();
  // The group in flight: its transactions are never ended here. "" when none. The write lane.
  void EmCurso(const std::string& grupo);
  // The write lane, before any server's transaction of `grupo` may commit: records it decided for
  // each of `enderecos`. Throws RegistroGrupos::NaoGravado (not decided) or Incerto (maybe decided:
  // it stays decided here, and the next record carries it).
  // A doubtful record is written again once; decided either way, the group is never run again. The
  // record carries `copia` as the distributed tables stand.
  void Decidir(const std::string& grupo, const std::vector<std::string>& enderecos,
               RegistroGrupos::Copia copia);
  // The write lane: the record carries `copia` from now on, and it is on the disk when this returns.
  // Throws what Gravar throws; either way the copy is kept, and goes with the next record.
  void Registrar(RegistroGrupos::Copia copia);
  // The server at `endereco` committed its part of `grupo`. The write lane.
  void Feito(const std::string& grupo, const std::string& endereco);
  // `endereco` may hold a transaction of ours in limbo: it is visited in the background.
  void Pendente(const std::string& endereco);
  // A statement met a transaction in limbo on `endereco`: ours there are ended now. True when the
  // visit got through, so the statement may run again (a transaction ended meanwhile by another
  // visit counts too: the statement sees it ended).
  bool Concluir(const std::string& endereco);

  // Whether the last run that wrote ended without Encerrar; false for a workspace that never wrote.
  bool InicioSujo() const { return m_inicioSujo; }
  // Before this run's first write: the record says a run is writing, with `copia`. Throws what
  // Gravar throws.
  void Sujar(RegistroGrupos::Copia copia);
  // Whether this run told the record it writes.
  bool Escreveu();
  // Whether there is a record: read at start-up, or written since.
  bool Existe();
  // At a clean end, once nothing writes: the record says so, with `copia`. Never throws.
  void Encerrar(RegistroGrupos::Copia copia) noexcept;

  // What is kept, which the next record holds (the disk may still hold decisions seen through since),
  // for inspection.
  RegistroGrupos::Conteudo Registro();

 private:
  // Ends ours in limbo at `endereco` on `attachment`; the kept decisions it saw through are dropped.
  // Throws what the server does.
  // Returns how many it ended.
  int Visitar(const std::string& endereco, fb::Attachment& attachment);
  // On an attachment of its own; -1 when the visit did not get through. A visit that got through
  // takes `endereco` off the background's list, unless it was named again meanwhile.
  int VisitarAgora(const std::string& endereco);
  void Laco();
  // The record rewritten from what is kept.
  void Gravar() REQUIRES(m_mutex);
  bool Nosso(const std::string& grupo) const REQUIRES(m_mutex);

  const Acesso m_acesso;
  fb::Watchdog* const m_vigia;
  Mutex m_mutex;
  RegistroGrupos m_registro GUARDED_BY(m_mutex);
  RegistroGrupos::Conteudo m_conteudo GUARDED_BY(m_mutex);  // what is kept
  bool m_sujo GUARDED_BY(m_mutex) = false;
  bool m_inicioSujo = false;  // set at construction
  std::string m_execucao;     // this run's part of group names
  uint64_t m_proximo = 0;     // the write lane's
  std::string m_emCurso GUARDED_BY(m_mutex);
  std::map<std::string, uint64_t> m_visitar GUARDED_BY(m_mutex);  // address, times asked
  std::chrono::milliseconds m_espera GUARDED_BY(m_mutex) = kPrimeiraEspera;
  bool m_parar GUARDED_BY(m_mutex) = false;
  std::condition_variable m_mudou;
  std::thread m_linha;  // last: started once everything above is made
};

}  // namespace vespril
