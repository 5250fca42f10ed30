// ConexoesLeitura: the connections that read scripts take, a few per server beside the slot that stays
// the write lane's. A connection is opened when first needed, at most kPorServidor per server, and
// kept for the next script; between scripts it holds no transaction and no prepared statement, so it
// never holds a table that a broadcast ALTER or DROP needs. A connection that failed is dropped, and
// the pool of a server that was bound again is dropped as a whole. Thread-safe (any worker); each
// connection is used by one thread at a time, the one that took it. A thread that takes connections of
// several servers takes them in server order, so that two such threads never wait on each other.
#pragma once

#include <array>
#include <condition_variable>
#include <memory>
#include <string>
#include <vector>

#include "components/Slots.h"
#include "foundation/ThreadAnnotations.h"
#include "servers/Credenciais.h"

namespace vespril {

namespace fb {
class Attachment;
class Watchdog;
}  // namespace fb

class ConexoesLeitura {
 public:
  static constexpr int kPorServidor = 4;

  // One attachment of server n. Its statements are prepared in the dialect of the server's slot, as
  // the slot's own are.
  struct Conexao {
    std::unique_ptr<fb::Attachment> attachment;
    std::string endereco;
    unsigned geracao = 0;
  };

  // Each server is attached with its credentials, which must outlive this. Attaching and the calls
  // on each connection give up after the watchdog's limit (none when null).
  explicit ConexoesLeitura(const Credenciais& credenciais, fb::Watchdog* vigia = nullptr);
  ~ConexoesLeitura();

  // A connection to server n (1-based), `nome` at endereco: an idle one, else a new one while fewer than
  // kPorServidor exist, else the next one given back for that server (waiting meanwhile). Throws the
  // client's error when attaching fails.
  std::unique_ptr<Conexao> Tomar(int n, const std::string& nome, const std::string& endereco);
  // Gives a connection back for reuse; `falhou` drops it instead.
  void Devolver(int n, std::unique_ptr<Conexao> conexao, bool falhou);
  // Drops the pool of server n: idle connections at once, those in use when they come back. With
  // `silencioso` (the server gave no answer within the time limit) the idle ones are cut off first,
  // so that dropping them waits on nothing.
  void Descartar(int n, bool silencioso = false);
  // Connections of server n: idle, in use and being opened.
  int Abertas(int n);

 private:
  // Each field guarded by m_mutex.
  struct Servidor {
    std::vector<std::unique_ptr<Conexao>> livres;
    int abertas = 0;  // idle, in use and being opened
    unsigned geracao = 0;
    // Signalled when a connection of this server comes back or a place in its pool frees up; a
    // waiter for one server is never woken for another's.
    std::condition_variable devolvida;
  };

  // Server n's entry. The array never changes, so taking an entry needs no lock (its condition
  // variable is notified outside it); what the entry holds is read and written under m_mutex.
  Servidor& Entrada(int n) NO_THREAD_SAFETY_ANALYSIS { return m_servidores.at(n - 1); }

  const Credenciais& m_credenciais;
  fb::Watchdog* const m_vigia;
  Mutex m_mutex;
  std::array<Servidor, kSlots> m_servidores GUARDED_BY(m_mutex);
};

}  // namespace vespril
