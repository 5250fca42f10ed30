#include "servers/ConexoesLeitura.h"

#include <utility>

#include "foundation/FbAttachment.h"

namespace vespril {

ConexoesLeitura::ConexoesLeitura(const Credenciais& credenciais, fb::Watchdog* vigia)
    : m_credenciais(credenciais), m_vigia(vigia) {}

ConexoesLeitura::~ConexoesLeitura() = default;

std::unique_ptr<ConexoesLeitura::Conexao> ConexoesLeitura::Tomar(int n, const std::string& nome,
                                                                 const std::string& endereco) {
  Servidor& servidor = Entrada(n);
  std::unique_ptr<Conexao> velha;  // detached outside the lock
  unsigned geracao = 0;
  {
    UniqueLock lock(m_mutex);
    for (;;) {
      while (!servidor.livres.empty()) {
        std::unique_ptr<Conexao> conexao = std::move(servidor.livres.back());
        servidor.livres.pop_back();
        if (conexao->endereco == endereco && conexao->geracao == servidor.geracao) return conexao;
        --servidor.abertas;
        velha = std::move(conexao);
        break;
      }
      if (velha || servidor.abertas < kPorServidor) break;
      servidor.devolvida.wait(lock.Native());
    }
    ++servidor.abertas;
    geracao = servidor.geracao;
  }
  velha.reset();
  try {
    auto conexao = std::make_unique<Conexao>();
    const Credenciais::Acesso& acesso = m_credenciais.Para(nome);
    conexao->attachment = std::make_unique<fb::Attachment>(endereco, acesso.usuario, acesso.senha, m_vigia);
    conexao->endereco = endereco;
    conexao->geracao = geracao;
    return conexao;
  } catch (...) {
    {
      MutexLock lock(m_mutex);
      --servidor.abertas;
    }
    servidor.devolvida.notify_one();
    throw;
  }
}

void ConexoesLeitura::Devolver(int n, std::unique_ptr<Conexao> conexao, bool falhou) {
  Servidor& servidor = Entrada(n);
  {
    MutexLock lock(m_mutex);
    if (!falhou && conexao->geracao == servidor.geracao) {
      servidor.livres.push_back(std::move(conexao));
    } else {
      --servidor.abertas;
    }
  }
  servidor.devolvida.notify_one();
  conexao.reset();  // a dropped one detaches here, outside the lock
}

void ConexoesLeitura::Descartar(int n, bool silencioso) {
  Servidor& servidor = Entrada(n);
  std::vector<std::unique_ptr<Conexao>> livres;  // detached outside the lock
  {
    MutexLock lock(m_mutex);
    ++servidor.geracao;
    livres.swap(servidor.livres);
    servidor.abertas -= static_cast<int>(livres.size());
  }
  servidor.devolvida.notify_all();
  if (silencioso) {
    for (const std::unique_ptr<Conexao>& conexao : livres) conexao->attachment->Abort();
  }
}

int ConexoesLeitura::Abertas(int n) {
  MutexLock lock(m_mutex);
  return m_servidores.at(n - 1).abertas;
}

}  // namespace vespril
