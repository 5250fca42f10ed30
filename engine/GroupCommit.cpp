// Group commit in the write lane: scripts of INSERTs that arrived together share one turn of the lane,
// so that many rows share each flush. A group is planned as its scripts would run one at a time, then
// made durable in this order:
//   1. beside each other: the generators, raised for every key of the group, saved once; and on each
//      server, its rows in arrival order in one transaction, prepared (the first phase of a two-phase
//      commit) with the group's name stored beside it at the server;
//   2. the decision to commit the group, recorded in GruposConfirmados.dat;
//   3. beside each other: every server's transaction committed, and the counts saved once;
//   4. every script answered.
// A group on one server needs no two phases: its commit is the decision, once the generators are
// saved. A failure before the decision rolls the group back and its scripts run alone; after it, the
// group is committed where it is found. A crash between the phases leaves prepared transactions in
// limbo: at start-up, before it serves, the gateway commits those of a decided group and rolls back
// the others, so no committed row carries a parent key that no server holds. No key is handed out
// twice: a group's rows become durable only once its keys are.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <QByteArray>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/Instrucoes.h"
#include "engine/UVESPRIL.h"
#include "foundation/Descriptor.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"

namespace vespril {

namespace {

constexpr char kArquivoDecisoes[] = "GruposConfirmados.dat";
// What a group's transactions carry at the server, before the group's name.
constexpr std::string_view kMarca = "VESPRIL ";

// A limbo transaction's description as the database gives it: its bytes, or their hexadecimal form
// for a binary BLOB.
std::string Descricao(const std::string& texto) {
  if (texto.rfind(kMarca, 0) == 0) return texto;
  return QByteArray::fromHex(QByteArray::fromStdString(texto)).toStdString();
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

// A server's rows in as few statements as can carry them: EXECUTE BLOCKs of up to kBloco bytes, each
// running its INSERTs in order as they would run one by one (a statement too long for one runs as it
// is). A block the server refuses drops the group, whose scripts then run alone, statement by
// statement, and meet the refusal as they would have anyway.
constexpr size_t kBloco = 16u * 1024u;
std::vector<std::string> Blocos(const std::vector<std::string>& linhas) {
  constexpr std::string_view kInicio = "execute block as begin\n";
  constexpr std::string_view kFim = "end";
  std::vector<std::string> blocos;
  std::string bloco;
  const auto fechar = [&] {
    if (bloco.empty()) return;
    bloco += kFim;
    blocos.push_back(std::move(bloco));
    bloco.clear();
  };
  for (const std::string& linha : linhas) {
    if (linha.size() + kInicio.size() + kFim.size() + 1 > kBloco) {
      fechar();
      blocos.push_back(linha);
      continue;
    }
    if (bloco.size() + linha.size() + kFim.size() + 1 > kBloco) fechar();
    if (bloco.empty()) bloco = kInicio;
    bloco += linha;
    bloco += '\n';
  }
  fechar();
  return blocos;
}

// CRC-32 (IEEE), zlib's; `anterior` carries on the checksum of bytes that came before.
uint32_t Crc32(const char* data, size_t size, uint32_t anterior = 0) {
  return static_cast<uint32_t>(crc32_z(anterior, reinterpret_cast<const Bytef*>(data), size));
}

}  // namespace

// The groups decided and not yet committed everywhere, kept in two fixed slots of one file that are
// written in turn, each with its sequence number and checksum: a write torn by a crash spoils only its
// own slot, and the other still holds what was recorded before it. A record costs one flush. Used by
// the write lane only.
class VESPRIL::RegistroGrupos {
 public:
  static constexpr size_t kSlot = 4096;
  static constexpr size_t kCabecalho = 16;  // sequence (8), length (4), checksum (4)

  // Reads the file in the working directory, if there is one; it is made at the first record.
  RegistroGrupos() {
    m_arquivo.Reset(::open(kArquivoDecisoes, O_RDWR | O_CLOEXEC));
    if (!m_arquivo.Valid()) return;
    for (size_t slot = 0; slot < 2; ++slot) {
      std::array<char, kSlot> bytes{};
      if (::pread(m_arquivo.Get(), bytes.data(), kSlot, static_cast<off_t>(slot * kSlot)) != kSlot) continue;
      uint64_t sequencia = 0;
      uint32_t tamanho = 0;
      uint32_t soma = 0;
      std::memcpy(&sequencia, bytes.data(), 8);
      std::memcpy(&tamanho, bytes.data() + 8, 4);
      std::memcpy(&soma, bytes.data() + 12, 4);
      if (sequencia == 0 || tamanho > kSlot - kCabecalho || sequencia <= m_sequencia) continue;
      if (Crc32(bytes.data() + kCabecalho, tamanho, Crc32(bytes.data(), 12)) != soma) continue;
      m_sequencia = sequencia;
      m_lidos.clear();
      std::string texto(bytes.data() + kCabecalho, tamanho);
      for (size_t inicio = 0, fim; (fim = texto.find('\n', inicio)) != std::string::npos; inicio = fim + 1) {
        m_lidos.push_back(texto.substr(inicio, fim - inicio));
      }
    }
  }

  // What the last record that reached the disk holds.
  const std::vector<std::string>& Lidos() const { return m_lidos; }

  // Records `grupos` durably; throws Error, and what was recorded before still stands.
  void Gravar(const std::vector<std::string>& grupos) {
    std::string texto;
    for (const std::string& grupo : grupos) texto += grupo + "\n";
    if (texto.size() > kSlot - kCabecalho) throw Error(Format("Cannot write file %s", kArquivoDecisoes));
    std::array<char, kSlot> bytes{};
    const uint64_t sequencia = m_sequencia + 1;
    const auto tamanho = static_cast<uint32_t>(texto.size());
    std::memcpy(bytes.data(), &sequencia, 8);
    std::memcpy(bytes.data() + 8, &tamanho, 4);
    const uint32_t soma = Crc32(texto.data(), texto.size(), Crc32(bytes.data(), 12));
    std::memcpy(bytes.data() + 12, &soma, 4);
    std::memcpy(bytes.data() + kCabecalho, texto.data(), texto.size());
    if (!m_arquivo.Valid()) Criar();
    const auto onde = static_cast<off_t>((sequencia % 2) * kSlot);
    if (::pwrite(m_arquivo.Get(), bytes.data(), kSlot, onde) != kSlot || ::fdatasync(m_arquivo.Get()) != 0) {
      throw Error(Format("Cannot write file %s", kArquivoDecisoes));
    }
    m_sequencia = sequencia;
  }

 private:
  void Criar() {
    Descriptor arquivo(::open(kArquivoDecisoes, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    // Both slots exist, and so does the file's name, before the first record relies on them.
    const Descriptor pasta(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!arquivo.Valid() || ::ftruncate(arquivo.Get(), 2 * kSlot) != 0 || ::fsync(arquivo.Get()) != 0 ||
        !pasta.Valid() || ::fsync(pasta.Get()) != 0) {
      throw Error(Format("Cannot create file %s", kArquivoDecisoes));
    }
    m_arquivo = std::move(arquivo);
  }

  Descriptor m_arquivo;
  uint64_t m_sequencia = 0;
  std::vector<std::string> m_lidos;
};

VESPRIL::Grupos::Grupos() = default;
VESPRIL::Grupos::~Grupos() = default;

std::vector<std::string> VESPRIL::ExecutarGrupo(const std::vector<const Pedido*>& pedidos) {
  const std::lock_guard corte(m_corte);
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
  // The generators and counts as they stood, put back when the group is dropped: the generators while
  // no row of the group can be committed, the counts always.
  PersistedTable geradores;
  PersistedTable contagens;
  {
    std::lock_guard trava(m_trava);
    if (TabelaRelembrar()) return std::nullopt;
    geradores = CdsTabela.Clone();
    contagens = CdsServidorTabela.Clone();
  }
  // Once, on the way out of a dropped group.
  const auto repor = [&](bool comGeradores) {
    std::lock_guard trava(m_trava);
    if (comGeradores) CdsTabela = std::move(geradores);
    CdsServidorTabela = std::move(contagens);
  };

  // Planned as one at a time: each INSERT sees the generators and counts the ones before it left. The
  // rows are gathered by server, each server's in arrival order.
  struct Participante {
    int n;
    std::vector<std::string> linhas;
    std::vector<std::string> tabelas;  // of its rows, in the same order
    std::unique_ptr<fb::Transaction> transacao;
  };
  std::vector<Participante> participantes;
  try {
    for (const Pedido* pedido : pedidos) {
      PercorrerInstrucoes(pedido->comando, [&](std::string_view statement) {
        Insercao insercao = PlanejarInsert(std::string(statement));
        Rotear(insercao);
        {
          std::lock_guard trava(m_trava);
          DefinirGerador(CdsTabela, insercao.tabela, insercao.gerador + 1);
          ContarLinha(insercao);
        }
        auto participante = std::find_if(participantes.begin(), participantes.end(),
                                         [&insercao](const Participante& p) { return p.n == insercao.n; });
        if (participante == participantes.end()) {
          participante = participantes.insert(participantes.end(), {insercao.n, {}, {}, {}});
        }
        participante->linhas.push_back(std::move(insercao.sql));
        participante->tabelas.push_back(insercao.tabela);
        return true;
      });
    }
  } catch (...) {
    repor(true);
    return std::nullopt;
  }

  // The keys' save, and each server's rows, side by side. The group's rows can't be committed before
  // both are done, so until the decision a dropped group may give its keys back.
  const std::string grupo = m_grupos.prefixo + "." + std::to_string(m_grupos.proximo++);
  const bool duasFases = participantes.size() > 1;
  std::vector<std::function<void()>> trabalhos{[this] { Salvar(CdsTabela); }};
  for (Participante& participante : participantes) {
    trabalhos.emplace_back([this, &participante, &grupo, duasFases] {
      BaseDados& base = Slot(participante.n).baseDados;
      base.Open();
      participante.transacao = std::make_unique<fb::Transaction>(base.Handle());
      for (const std::string& sql : Blocos(participante.linhas)) {
        if (sql.size() < kBloco) {
          fb::ExecuteImmediate(base.Handle(), *participante.transacao, sql, base.SQLDialect());
          continue;
        }
        fb::Statement insert(base.Handle());  // a statement too long for a block, as it came
        insert.Prepare(*participante.transacao, sql, base.SQLDialect());
        insert.Execute(*participante.transacao);
      }
      if (duasFases) participante.transacao->Prepare(std::string(kMarca) + grupo);
    });
  }
  const auto desfazer = [&](bool comGeradores) {
    for (Participante& participante : participantes) {
      if (!participante.transacao || !participante.transacao->Active()) continue;
      const bool preparada = participante.transacao->Prepared();
      try {
        participante.transacao->Rollback();
      } catch (const Error&) {
        if (preparada && !Contem(m_grupos.desfeitos, grupo)) m_grupos.desfeitos.push_back(grupo);
      }
    }
    repor(comGeradores);
    PublicarSlots();
  };
  const std::vector<std::exception_ptr> falhas = EmParalelo(trabalhos);
  if (std::any_of(falhas.begin(), falhas.end(), [](const std::exception_ptr& f) { return f != nullptr; })) {
    // A group dropped before any of its keys reached the disk gives them back; after, a gap.
    desfazer(falhas[0] != nullptr);
    return std::nullopt;
  }
  Pausar();
  if (duasFases) {
    m_grupos.decididos.push_back(grupo);
    try {
      m_grupos.registro->Gravar(m_grupos.decididos);
    } catch (...) {
      m_grupos.decididos.pop_back();
      desfazer(false);
      return std::nullopt;
    }
    Pausar();
  }

  // Decided: every server commits, and the counts are saved, side by side.
  std::vector<std::string> mensagens(pedidos.size());
  const auto contarRoteadas = [&] {
    for (const Participante& participante : participantes) {
      for (const std::string& tabela : participante.tabelas) m_painel->Roteada(participante.n, tabela);
    }
  };
  if (!duasFases) {
    // One server: its commit alone decides.
    try {
      participantes.front().transacao->Commit();
    } catch (const fb::FbError& e) {
      if (!e.LinkLost()) {
        desfazer(false);
        return std::nullopt;
      }
      // The link went down with the commit: the rows may be there, so every script is told of the
      // failure rather than run again, and the keys stay handed out.
      repor(false);
      PublicarSlots();
      std::fill(mensagens.begin(), mensagens.end(), e.Message());
      return mensagens;
    }
    PublicarSlots();
    contarRoteadas();
    SalvarContagem();
    return mensagens;
  }
  std::vector<std::function<void()>> fim{[this] { SalvarContagem(); }};
  for (Participante& participante : participantes) fim.emplace_back([&participante] { participante.transacao->Commit(); });
  const std::vector<std::exception_ptr> commits = EmParalelo(fim);
  // A commit that did not get through leaves its transaction in limbo, committed where it is found.
  if (std::none_of(commits.begin(), commits.end(), [](const std::exception_ptr& f) { return f != nullptr; })) {
    m_grupos.decididos.pop_back();
  }
  PublicarSlots();
  contarRoteadas();
  return mensagens;
}

void VESPRIL::ResolverGrupos() {
  if (m_grupos.decididos.empty() && m_grupos.desfeitos.empty()) return;
  bool todos = true;
  for (const Vinculo& servidor : Servidores()) {
    BaseDados& base = Slot(servidor.n).baseDados;
    try {
      for (const auto& [numero, grupo] : Limbo(base.Handle(), base.SQLDialect())) {
        const bool decidido = Contem(m_grupos.decididos, grupo);
        if (!decidido && !Contem(m_grupos.desfeitos, grupo)) continue;  // another run's
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
  m_grupos.decididos.clear();
  m_grupos.desfeitos.clear();
}

void VESPRIL::RecuperarGrupos() {
  std::random_device aleatorio;
  m_grupos.prefixo = std::to_string(aleatorio()) + std::to_string(aleatorio());
  m_grupos.registro = std::make_unique<RegistroGrupos>();
  const std::vector<std::string>& decididos = m_grupos.registro->Lidos();
  // Every group of this program in limbo was either decided (committed now) or dropped or cut short
  // by a crash (rolled back now).
  for (const Vinculo& servidor : Servidores()) {
    BaseDados& base = Slot(servidor.n).baseDados;
    if (!base.Connected()) continue;
    for (const auto& [numero, grupo] : Limbo(base.Handle(), base.SQLDialect())) {
      fb::Transaction limbo = fb::Transaction::Reconnect(base.Handle(), numero);
      if (Contem(decididos, grupo)) {
        limbo.Commit();
      } else {
        limbo.Rollback();
      }
    }
  }
  if (!decididos.empty()) m_grupos.registro->Gravar({});
}

}  // namespace vespril
