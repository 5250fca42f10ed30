// ConexoesLeitura: the connections that read scripts take, a few per server beside the slot that stays
// the write lane's. A connection is opened when first needed, at most kPorServidor per server, and
// kept for the next script; between scripts it holds no transaction and no prepared statement, so it
// never holds a table that a broadcast ALTER or DROP needs. A connection that failed is dropped, and
// the pool of a server that was bound again is dropped as a whole. Thread-safe; each connection is
// used by one thread at a time, the one that took it.
#pragma once

#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vespril {

namespace fb {
class Attachment;
}

class ConexoesLeitura {
 public:
  static constexpr int kPorServidor = 4;
  static constexpr int kServidores = 10;

  // One attachment of server n, with the dialect its statements are prepared in.
  struct Conexao {
    std::unique_ptr<fb::Attachment> attachment;
    std::string endereco;
    int dialect = 3;
    unsigned geracao = 0;
  };

  ConexoesLeitura(std::string usuario, std::string senha);
  ~ConexoesLeitura();

  // A connection to server n (1-based) at endereco: an idle one, else a new one while fewer than
  // kPorServidor exist, else the next one given back. Throws the client's error when attaching fails.
  std::unique_ptr<Conexao> Tomar(int n, const std::string& endereco);
  // Gives a connection back for reuse; `falhou` drops it instead.
  void Devolver(int n, std::unique_ptr<Conexao> conexao, bool falhou);
  // Drops the pool of server n: idle connections at once, those in use when they come back.
  void Descartar(int n);

 private:
  struct Servidor {
    std::vector<std::unique_ptr<Conexao>> livres;
    int abertas = 0;  // idle, in use and being opened
    unsigned geracao = 0;
  };

  std::string m_usuario;
  std::string m_senha;
  std::mutex m_mutex;
  std::condition_variable m_devolvida;
  std::array<Servidor, kServidores> m_servidores;
};

}  // namespace vespril
