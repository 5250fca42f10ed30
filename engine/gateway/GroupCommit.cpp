// Group commit in the write lane: scripts of INSERTs that arrived together share one turn of the lane,
// so that many rows share each flush. A group (VESPRIL::Grupo, its one owner while in flight) goes
// through four steps:
//   1. Planejar: its INSERTs planned as its scripts would run one at a time: each sees the
//      generators and counts the ones before it left, and is routed as it would be.
//   2. Preparar: the blocks its keys pass recorded first (engine/execution/Reservas.h); then beside each
//   other,
//      the generators' file saved once for every key of the group, and on each server its statements,
//      each run on its own and as it came, in arrival order, in one transaction; when the group must
//      commit on all its servers together (below), each transaction prepared (the first phase of a
//      two-phase commit) with the group's name stored beside it at the server.
//   3. Decidir: for a two-phase group, the decision recorded (engine/execution/Pendencias.h). Otherwise each
//      server's commit is its own decision, and the servers' flushes are the turn's only ones.
//   4. Confirmar: beside each other, every server's commit, then the counts' save; then every script
//      is answered.
// A group commits on all its servers together only when a row's parent key is one the group handed
// out on another server: committed apart, a crash between the commits could leave the row without
// its parent. Any other group may commit server by server, as its scripts would one at a time, each
// statement on its own: a crash between the commits leaves rows of scripts not yet answered, which
// the recount after a crash counts. When such a commit fails on one of several servers, the scripts
// with a row there are told its failure and the others are done; on a lone server, a refused commit
// leaves nothing, and the scripts run alone.
// Up to the decision, any failure drops the group: its transactions are rolled back, the tables put
// back, and its scripts run alone, each meeting what it meets alone. Once decided, nothing runs
// again: a commit that does not get through leaves its transaction in limbo, owned by Pendencias,
// which commits it as soon as its server can be reached. No key is handed out twice: a group's rows
// reach a server only once their keys' blocks are on disk.
#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <QtGlobal>

#include "execution/Pendencias.h"
#include "execution/RegistroGrupos.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"
#include "gateway/Grupo.h"
#include "gateway/Instrucoes.h"
#include "gateway/UVESPRIL.h"

namespace vespril {

namespace {

// What a group's transactions carry at the server, before the group's name (see Pendencias).
constexpr char kMarca[] = "VESPRIL ";

// Statements up to this size may run in one call (the client's limit is 64 KiB).
constexpr size_t kImediata = 32u * 1024u;

// For the crash test: a pause at the steps of a group's commit, so that kills land between them.
void Pausar() {
  static const int ms = qEnvironmentVariableIntValue("VESPRIL_PAUSA_GRUPO_MS");
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Runs the jobs at once, the first on this thread and each other on a thread of its own (on this one
// too when no thread can be made); what each throws is kept in its place.
std::vector<std::exception_ptr> EmParalelo(const std::vector<std::function<void()>>& trabalhos) {
  std::vector<std::exception_ptr> falhas(trabalhos.size());
  const auto rodar = [&](size_t i) {
    try {
      trabalhos[i]();
    } catch (...) {
      falhas[i] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  for (size_t i = 1; i < trabalhos.size(); ++i) {
    try {
      threads.emplace_back(rodar, i);
    } catch (...) {
      rodar(i);
    }
  }
  if (!trabalhos.empty()) rodar(0);
  for (std::thread& thread : threads) thread.join();
  return falhas;
}

bool Algum(const std::vector<std::exception_ptr>& falhas) {
  return std::any_of(falhas.begin(), falhas.end(), [](const std::exception_ptr& f) { return f != nullptr; });
}

}  // namespace

VESPRIL::Grupo::Grupo(VESPRIL& engine, const std::vector<const Pedido*>& pedidos)
    : m_engine(engine), m_pedidos(pedidos), m_mensagens(pedidos.size()) {}

VESPRIL::Grupo::~Grupo() {
  if (!m_confirmado) Desfazer();
}

bool VESPRIL::Grupo::Planejar() {
  {
    MutexLock trava(m_engine.m_trava);
    if (m_engine.TabelaRelembrar()) return false;
    m_geradores = m_engine.CdsTabela.Clone();
    m_contagens = m_engine.CdsServidorTabela.Clone();
  }
  m_tabelasGuardadas = true;
  const std::vector<Vinculo> servidores = m_engine.Servidores();
  std::map<std::string, int> ultimos;  // each table's server of the group's last key of it
  try {
    for (size_t i = 0; i < m_pedidos.size(); ++i) {
      PercorrerInstrucoes(m_pedidos[i]->comando, [&](std::string_view statement) {
        Insercao insercao = m_engine.PlanejarInsert(std::string(statement));
        m_engine.Rotear(insercao);
        {
          MutexLock trava(m_engine.m_trava);
          DefinirGerador(m_engine.CdsTabela, insercao.tabela, insercao.gerador + 1);
          ultimos[m_engine.CdsTabela.FieldAsString("Tabela")] = insercao.n;
          m_engine.ContarLinha(insercao);
        }
        // A row whose parent's key is the group's on another server: committed apart, a crash between
        // the two could leave the row without its parent.
        for (const std::string& pai : insercao.pais) {
          const auto ultimo = ultimos.find(pai);
          if (ultimo != ultimos.end() && ultimo->second != insercao.n) m_dependentes = true;
        }
        int32_t& maior = m_maiores[insercao.tabela];
        maior = std::max(maior, insercao.gerador + 1);
        auto participante = std::find_if(m_participantes.begin(), m_participantes.end(),
                                         [&insercao](const Participante& p) { return p.n == insercao.n; });
        if (participante == m_participantes.end()) {
          const auto servidor = std::find_if(servidores.begin(), servidores.end(),
                                             [&insercao](const Vinculo& v) { return v.n == insercao.n; });
          if (servidor == servidores.end()) throw Error("servidor sem registro");
          participante = m_participantes.insert(m_participantes.end(),
                                                Participante{insercao.n, servidor->nome, servidor->endereco});
        }
        participante->linhas.push_back(std::move(insercao.sql));
        participante->tabelas.push_back(std::move(insercao.tabela));
        participante->pedidos.push_back(i);
        return true;
      });
    }
  } catch (...) {
    return false;
  }
  return true;
}

bool VESPRIL::Grupo::Preparar() {
  m_duasFases = m_participantes.size() > 1 && m_dependentes;
  if (m_duasFases) {
    m_nome = m_engine.m_pendencias->NovoGrupo();
    m_engine.m_pendencias->EmCurso(m_nome);
  }
  try {
    m_engine.Reservar(m_maiores);
  } catch (...) {
    return false;
  }
  std::vector<std::function<void()>> trabalhos{[this] { m_engine.Salvar(&m_engine.CdsTabela, false); }};
  for (Participante& participante : m_participantes) {
    trabalhos.emplace_back([this, &participante] { PrepararServidor(participante); });
  }
  return !Algum(EmParalelo(trabalhos));
}

bool VESPRIL::Grupo::Decidir() {
  Pausar();
  if (m_duasFases) {
    std::vector<std::string> enderecos;
    for (const Participante& participante : m_participantes) enderecos.push_back(participante.endereco);
    try {
      m_engine.m_pendencias->Decidir(m_nome, enderecos, m_engine.Copia());
    } catch (const RegistroGrupos::NaoGravado&) {
      return false;
    }
    Pausar();
  }
  if (m_engine.OnPassoGrupo) m_engine.OnPassoGrupo("decidido", 0);
  return true;
}

std::optional<std::vector<std::string>> VESPRIL::Grupo::Confirmar() noexcept {
  m_confirmado = true;
  try {
    if (m_participantes.size() == 1) return ConfirmarUm();
    if (!m_duasFases) return ConfirmarCada();
    std::vector<std::function<void()>> fim{[this] { m_engine.SalvarContagem(); }};
    for (Participante& participante : m_participantes) {
      fim.emplace_back([&participante] { participante.transacao->Commit(); });
    }
    const std::vector<std::exception_ptr> commits = EmParalelo(fim);
    for (size_t i = 0; i < m_participantes.size(); ++i) {
      if (commits[i + 1] == nullptr) {
        m_engine.m_pendencias->Feito(m_nome, m_participantes[i].endereco);
      } else {
        m_engine.m_pendencias->Pendente(m_participantes[i].endereco);
      }
    }
  } catch (...) {
    // Whatever did not get through is committed where it is found: a group decided never runs again.
    for (const Participante& participante : m_participantes) {
      try {
        m_engine.m_pendencias->Pendente(participante.endereco);
      } catch (...) {
      }
    }
  }
  m_engine.m_pendencias->EmCurso("");
  Publicar();
  return std::move(m_mensagens);
}

void VESPRIL::Grupo::PrepararServidor(Participante& participante) {
  BaseDados& base = m_engine.Slot(participante.n).baseDados;
  base.Open();
  participante.transacao = std::make_unique<fb::Transaction>(base.Handle());
  // Each statement on its own, as it came: a plain INSERT in one call, anything else prepared first.
  for (const std::string& sql : participante.linhas) {
    if (sql.size() < kImediata && InsercaoSimples(sql)) {
      fb::ExecuteImmediate(base.Handle(), *participante.transacao, sql, base.SQLDialect());
      continue;
    }
    fb::Statement insert(base.Handle());
    insert.Prepare(*participante.transacao, sql, base.SQLDialect());
    if (insert.Kind() != fb::StatementKind::Insert) throw Error("n\xE3o \xE9 um INSERT");
    insert.Execute(*participante.transacao);
  }
  if (!m_duasFases) return;
  if (m_engine.OnPassoGrupo) m_engine.OnPassoGrupo("preparar", participante.n);
  participante.transacao->Prepare(std::string(kMarca) + m_nome);
}

std::optional<std::vector<std::string>> VESPRIL::Grupo::ConfirmarUm() {
  try {
    m_participantes.front().transacao->Commit();
  } catch (const fb::FbError& e) {
    if (!e.LinkLost()) {
      m_confirmado = false;  // refused: rolled back, nothing stays
      return std::nullopt;
    }
    // The link went down with the commit: the rows may be there, so every script is told of the
    // failure rather than run again, and the keys stay handed out; the counts are put back.
    {
      MutexLock trava(m_engine.m_trava);
      m_engine.CdsServidorTabela = std::move(m_contagens);
    }
    m_engine.PublicarSlots();
    std::fill(m_mensagens.begin(), m_mensagens.end(), e.Message());
    return std::move(m_mensagens);
  }
  Publicar();
  m_engine.SalvarContagem();
  return std::move(m_mensagens);
}

std::vector<std::string> VESPRIL::Grupo::ConfirmarCada() {
  std::vector<std::function<void()>> commits;
  for (Participante& participante : m_participantes) {
    commits.emplace_back([&participante] { participante.transacao->Commit(); });
  }
  const std::vector<std::exception_ptr> falhas = EmParalelo(commits);
  for (size_t i = 0; i < m_participantes.size(); ++i) {
    if (falhas[i] == nullptr) continue;
    // A server whose commit failed: its rows are not counted (when its link went down with the commit,
    // they may be there, and their keys stay handed out), and each script with a row there is told.
    Participante& participante = m_participantes[i];
    participante.falhou = true;
    const std::string mensagem = Falha([&] { std::rethrow_exception(falhas[i]); });
    {
      MutexLock trava(m_engine.m_trava);
      for (const std::string& tabela : participante.tabelas) {
        if (!m_engine.CdsServidorTabela.Locate("Servidor;Tabela", {participante.nome, tabela})) continue;
        const int32_t registro = m_engine.CdsServidorTabela.FieldAsInteger("Registro");
        m_engine.CdsServidorTabela.Edit();
        m_engine.CdsServidorTabela.SetFieldAsInteger("Registro", registro > 0 ? registro - 1 : 0);
        m_engine.CdsServidorTabela.Post();
      }
    }
    for (const size_t pedido : participante.pedidos) {
      if (m_mensagens[pedido].empty()) m_mensagens[pedido] = mensagem;
    }
  }
  Publicar();
  m_engine.SalvarContagem();
  return std::move(m_mensagens);
}

void VESPRIL::Grupo::Publicar() {
  m_engine.PublicarSlots();
  for (const Participante& participante : m_participantes) {
    if (participante.falhou) continue;
    for (const std::string& tabela : participante.tabelas) m_engine.m_painel->Roteada(participante.n, tabela);
  }
}

void VESPRIL::Grupo::Desfazer() noexcept {
  bool limpo = true;
  for (Participante& participante : m_participantes) {
    if (!participante.transacao || !participante.transacao->Active()) continue;
    const bool preparada = participante.transacao->Prepared();
    try {
      participante.transacao->Rollback();
    } catch (...) {
      if (!preparada) continue;
      limpo = false;
      try {
        m_engine.m_pendencias->Pendente(participante.endereco);
      } catch (...) {
      }
    }
  }
  if (m_duasFases) m_engine.m_pendencias->EmCurso("");
  if (!m_tabelasGuardadas) return;
  {
    MutexLock trava(m_engine.m_trava);
    if (limpo) m_engine.CdsTabela = std::move(m_geradores);
    m_engine.CdsServidorTabela = std::move(m_contagens);
  }
  try {
    m_engine.PublicarSlots();
  } catch (...) {
  }
}

}  // namespace vespril
