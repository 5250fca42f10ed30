// Group commit in the write lane: scripts of INSERTs that arrived together share one turn of the lane,
// so that many rows share each flush. A group is planned as its scripts would run one at a time, then
// made durable in this order:
//   1. the generators, raised for every key of the group, saved once (no key can be handed out twice,
//      whatever happens next);
//   2. the rows, in arrival order, each in the one transaction of its server;
//   3. with more than one server, every transaction prepared (the first phase of a two-phase commit),
//      with the group's name stored beside it at the server;
//   4. the decision to commit the group, saved in GruposConfirmados.txt;
//   5. every transaction committed;
//   6. the counts saved once; then every script is answered.
// A failure before step 4 rolls the group back and its scripts run alone; after it, the group is
// committed where it is found. A crash between 3 and 5 leaves prepared transactions in limbo: at
// start-up, before it serves, the gateway commits those of a decided group and rolls back the others,
// so that no committed row carries a parent key that no server holds.
#include <QBuffer>
#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/Instrucoes.h"
#include "engine/UVESPRIL.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"

namespace vespril {

namespace {

constexpr char kArquivoDecisoes[] = "GruposConfirmados.txt";
// What a group's transactions carry at the server, before the group's name.
constexpr std::string_view kMarca = "VESPRIL ";

// A limbo transaction's description as the database gives it: its bytes, or their hexadecimal form
// for a binary BLOB.
std::string Descricao(const std::string& texto) {
  if (texto.rfind(kMarca, 0) == 0) return texto;
  std::string bytes;
  for (size_t i = 0; i + 1 < texto.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(texto.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// The transactions that groups of this program left in limbo on one attachment: their numbers and the
// groups they belong to.
std::vector<std::pair<int64_t, std::string>> Limbo(fb::Attachment& attachment, int dialect) {
  std::vector<std::pair<int64_t, std::string>> limbo;
  fb::Transaction leitura(attachment, fb::Transaction::Access::ReadOnly);
  fb::Statement consulta(attachment);
  consulta.Prepare(leitura,
                   "select RDB$TRANSACTION_ID, RDB$TRANSACTION_DESCRIPTION from RDB$TRANSACTIONS "
                   "where RDB$TRANSACTION_STATE = 1",
                   dialect);
  consulta.OpenCursor(leitura);
  while (consulta.Fetch()) {
    const std::string descricao = Descricao(consulta.AsText(1));
    if (descricao.rfind(kMarca, 0) == 0) limbo.emplace_back(consulta.AsInt64(0), descricao.substr(kMarca.size()));
  }
  return limbo;
}

bool Contem(const std::vector<std::string>& grupos, const std::string& grupo) {
  return std::find(grupos.begin(), grupos.end(), grupo) != grupos.end();
}

// For the crash test: a pause at the steps of a group's commit, so that kills land between them.
void Pausar() {
  static const int ms = qEnvironmentVariableIntValue("VESPRIL_PAUSA_GRUPO_MS");
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

QByteArray Copia(const PersistedTable& table) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  table.SaveTo(buffer, table.FileName());
  return bytes;
}

void Repor(PersistedTable& table, QByteArray bytes) {
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  table.LoadFrom(buffer, table.FileName());
}

}  // namespace

std::vector<std::string> VESPRIL::ExecutarGrupo(const std::vector<const Pedido*>& pedidos) {
  const Corte::Escrita corte(m_corte);
  std::optional<std::vector<std::string>> mensagens;
  if (pedidos.size() > 1) {
    try {
      SalvarContagemPendente();
      ResolverGrupos();
      mensagens = Agrupar(pedidos);
    } catch (...) {
      // Agrupar leaves nothing of a group it drops; its scripts run alone.
    }
  }
  if (!mensagens) {
    mensagens.emplace();
    for (const Pedido* pedido : pedidos) {
      mensagens->push_back(ExecutarEscrita(pedido->comando, pedido->cliente, pedido->pedido));
    }
  }
  return std::move(*mensagens);
}

std::optional<std::vector<std::string>> VESPRIL::Agrupar(const std::vector<const Pedido*>& pedidos) {
  // The generators and counts as they stood, put back when the group is dropped before its keys are
  // reserved (the counts also after).
  QByteArray geradores;
  QByteArray contagens;
  {
    std::lock_guard trava(m_trava);
    if (TabelaRelembrar()) return std::nullopt;
    geradores = Copia(CdsTabela);
    contagens = Copia(CdsServidorTabela);
  }
  const auto repor = [&](bool comGeradores) {
    std::lock_guard trava(m_trava);
    if (comGeradores) Repor(CdsTabela, geradores);
    Repor(CdsServidorTabela, contagens);
  };

  // Planned as one at a time: each INSERT sees the generators and counts the ones before it left.
  struct Linha {
    int n;
    std::string sql;
  };
  std::vector<Linha> linhas;
  try {
    for (const Pedido* pedido : pedidos) {
      PercorrerInstrucoes(pedido->comando, [&](std::string_view statement) {
        Insercao insercao = PlanejarInsert(std::string(statement));
        Rotear(insercao);
        std::lock_guard trava(m_trava);
        LocalizarTabela(CdsTabela, "Tabela", insercao.tabela);
        CdsTabela.Edit();
        CdsTabela.SetFieldAsInteger("Gerador", insercao.gerador + 1);
        CdsTabela.Post();
        ContarLinha(insercao.tabela);
        linhas.push_back({insercao.n, std::move(insercao.sql)});
        return true;
      });
    }
    Salvar(CdsTabela);
  } catch (...) {
    repor(true);
    return std::nullopt;
  }

  // From here the keys are handed out: a dropped group leaves a gap, never a key twice.
  struct Participante {
    int n;
    std::unique_ptr<fb::Transaction> transacao;
  };
  std::vector<Participante> participantes;
  const std::string grupo = m_prefixoGrupo + "." + std::to_string(m_proximoGrupo++);
  const auto desfazer = [&] {
    for (Participante& participante : participantes) {
      if (!participante.transacao->Active()) continue;
      const bool preparada = participante.transacao->Prepared();
      try {
        participante.transacao->Rollback();
      } catch (const Error&) {
        if (preparada && !Contem(m_gruposDesfeitos, grupo)) m_gruposDesfeitos.push_back(grupo);
      }
    }
    repor(false);
    PublicarSlots();
  };
  try {
    for (const Linha& linha : linhas) {
      BaseDados& base = Slot(linha.n).baseDados;
      auto participante = std::find_if(participantes.begin(), participantes.end(),
                                       [&linha](const Participante& p) { return p.n == linha.n; });
      if (participante == participantes.end()) {
        base.Open();
        participantes.push_back({linha.n, std::make_unique<fb::Transaction>(base.Handle())});
        participante = std::prev(participantes.end());
      }
      fb::Statement insert(base.Handle());
      insert.Prepare(*participante->transacao, linha.sql, base.SQLDialect());
      insert.Execute(*participante->transacao);
    }
    if (participantes.size() > 1) {
      for (Participante& participante : participantes) participante.transacao->Prepare(std::string(kMarca) + grupo);
      Pausar();
      m_gruposDecididos.push_back(grupo);
      try {
        SalvarDecisoes();
      } catch (...) {
        m_gruposDecididos.pop_back();
        throw;
      }
      Pausar();
    }
  } catch (...) {
    desfazer();
    return std::nullopt;
  }

  std::vector<std::string> mensagens(pedidos.size());
  if (participantes.size() == 1) {
    // One server: its commit alone decides.
    try {
      participantes.front().transacao->Commit();
    } catch (const fb::FbError& e) {
      if (!e.LinkLost()) {
        desfazer();
        return std::nullopt;
      }
      // The link went down with the commit: the rows may be there, so every script is told of the
      // failure rather than run again, and the keys stay handed out.
      repor(false);
      PublicarSlots();
      std::fill(mensagens.begin(), mensagens.end(), e.Message());
      return mensagens;
    }
  } else {
    bool todos = true;
    for (Participante& participante : participantes) {
      try {
        participante.transacao->Commit();
      } catch (const Error&) {
        todos = false;  // left in limbo: committed where it is found later
      }
    }
    if (todos) m_gruposDecididos.pop_back();
  }
  PublicarSlots();
  SalvarContagem();
  return mensagens;
}

void VESPRIL::SalvarDecisoes() {
  std::string linhas;
  for (const std::string& grupo : m_gruposDecididos) linhas += grupo + "\n";
  PersistedTable::SaveBytesToFile(kArquivoDecisoes, QByteArray::fromStdString(linhas));
}

void VESPRIL::ResolverGrupos() {
  if (m_gruposDecididos.empty() && m_gruposDesfeitos.empty()) return;
  bool todos = true;
  for (const Vinculo& servidor : Servidores()) {
    BaseDados& base = Slot(servidor.n).baseDados;
    try {
      for (const auto& [numero, grupo] : Limbo(base.Handle(), base.SQLDialect())) {
        const bool decidido = Contem(m_gruposDecididos, grupo);
        if (!decidido && !Contem(m_gruposDesfeitos, grupo)) continue;  // another run's, or in flight
        fb::Transaction limbo = fb::Transaction::Reconnect(base.Handle(), numero);
        if (decidido) {
          limbo.Commit();
        } else {
          limbo.Rollback();
        }
      }
    } catch (const Error&) {
      todos = false;  // tried again at the next write
    }
  }
  if (!todos) return;
  m_gruposDecididos.clear();
  m_gruposDesfeitos.clear();
}

void VESPRIL::RecuperarGrupos() {
  std::random_device aleatorio;
  m_prefixoGrupo = std::to_string(aleatorio()) + std::to_string(aleatorio());
  QFile arquivo(QString::fromLatin1(kArquivoDecisoes));
  if (arquivo.open(QIODevice::ReadOnly)) {
    for (const QByteArray& linha : arquivo.readAll().split('\n')) {
      if (!linha.isEmpty()) m_gruposDecididos.push_back(linha.toStdString());
    }
  }
  const bool havia = !m_gruposDecididos.empty();
  // Every group of this program in limbo is either decided (committed now) or was dropped or cut
  // short by a crash (rolled back now).
  for (const Vinculo& servidor : Servidores()) {
    BaseDados& base = Slot(servidor.n).baseDados;
    if (!base.Connected()) continue;
    for (const auto& [numero, grupo] : Limbo(base.Handle(), base.SQLDialect())) {
      fb::Transaction limbo = fb::Transaction::Reconnect(base.Handle(), numero);
      if (Contem(m_gruposDecididos, grupo)) {
        limbo.Commit();
      } else {
        limbo.Rollback();
      }
    }
  }
  m_gruposDecididos.clear();
  if (havia) SalvarDecisoes();
}

}  // namespace vespril
