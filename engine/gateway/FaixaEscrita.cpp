// The write lane: whatever changes the servers or the configuration runs here, one turn at a time,
// holding the cut (engine/servers/Corte.h) while it runs, so that a read sees what stood between two turns. A
// turn first runs the lane's entry steps, once, then either one write script or a group of scripts of
// INSERTs (engine/gateway/GroupCommit.cpp); a group that can't be what its scripts give one at a time is
// dropped before it is decided, and its scripts then run alone in the same turn.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "execution/Pendencias.h"
#include "execution/RegistroGrupos.h"
#include "foundation/Error.h"
#include "foundation/FbError.h"
#include "gateway/Grupo.h"
#include "gateway/Instrucoes.h"
#include "gateway/NoServidor.h"
#include "gateway/UVESPRIL.h"

namespace vespril {

std::string VESPRIL::ExecutarEscrita(const std::string& script, const std::string& cliente,
                                     const std::string& pedido) {
  const std::lock_guard corte(m_corte);
  t_noServidor.clear();
  std::string falha = Falha([&] {
    EntrarNaFaixa();
    RodarEscrita(script, cliente, pedido);
  });
  AnotarFalha(falha);
  return falha;
}

std::vector<std::string> VESPRIL::ExecutarGrupo(const std::vector<const Pedido*>& pedidos) {
  const std::lock_guard corte(m_corte);
  const std::string entrada = Falha([this] { EntrarNaFaixa(); });
  if (!entrada.empty()) return std::vector<std::string>(pedidos.size(), entrada);
  std::optional<std::vector<std::string>> mensagens;
  if (pedidos.size() > 1) {
    try {
      Grupo grupo(*this, pedidos);
      if (grupo.Planejar() && grupo.Preparar() && grupo.Decidir()) mensagens = grupo.Confirmar();
    } catch (...) {
      // Nothing throws once a group is decided; before, a dropped group leaves nothing behind.
    }
  }
  if (!mensagens) {
    mensagens.emplace();
    for (const Pedido* pedido : pedidos) {
      t_noServidor.clear();
      mensagens->push_back(Falha([&] { RodarEscrita(pedido->comando, pedido->cliente, pedido->pedido); }));
      AnotarFalha(mensagens->back());
    }
  }
  return std::move(*mensagens);
}

void VESPRIL::EntrarNaFaixa() {
  SalvarContagemPendente();
  try {
    if (!m_pendencias->Escreveu()) m_pendencias->Sujar(Copia());
  } catch (const Error&) {
    // Tried again at the next turn; until it gets through, a crash is not told from a clean end.
  }
  if (m_recontarTudo) RecontarTudo();
}

void VESPRIL::RecontarTudo() {
  std::vector<Insercao> tabelas;
  {
    MutexLock trava(m_trava);
    for (CdsTabela.First(); !CdsTabela.Eof(); CdsTabela.Next()) {
      Insercao tabela;
      tabela.tabela = CdsTabela.FieldAsString("Tabela");
      tabela.chave = CdsTabela.FieldAsString("Chave");
      if (!tabela.tabela.empty()) tabelas.push_back(std::move(tabela));
    }
  }
  // Once: a table that can't be counted (a server away, a row missing from the matrix) keeps its
  // stored count, and the operator is told.
  m_recontarTudo = false;
  std::string falha;
  for (Insercao& tabela : tabelas) {
    const std::string esta = Falha([&] { Recontar(tabela); });
    if (falha.empty() && !esta.empty()) falha = tabela.tabela + ": " + esta;
  }
  const std::string salvar = Falha([this] {
    Salvar(&CdsTabela, false);
    Salvar(&CdsServidorTabela, false);
  });
  if (falha.empty()) falha = salvar;
  if (!falha.empty())
    Avisar(
        "A contagem de registros n\xE3o p\xF4"
        "de ser refeita: " +
        falha);
}

bool VESPRIL::EmLimbo(const Error& e) {
  const auto* erro = dynamic_cast<const fb::FbError*>(&e);
  if (erro == nullptr || !erro->InLimbo()) return false;
  bool terminada = false;
  for (const Vinculo& servidor : Servidores())
    terminada = m_pendencias->Concluir(servidor.endereco) || terminada;
  return terminada;
}

}  // namespace vespril
