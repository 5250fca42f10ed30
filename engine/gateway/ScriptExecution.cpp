// Script execution: cuts a client's script at ";" and runs each statement on the servers. A query runs
// on every server into the client's result file, an INSERT on the one server that holds the fewest rows
// of its table with a key the gateway hands out, and anything else on every server in turn. The first
// failure ends the script and its text is the answer.
//
// A query reads every server in a read-only snapshot transaction, the same way in any script: a read
// script opens its snapshots once, on its read connections, at one moment between write scripts, and
// holds them for all its statements; a query inside a write script opens them on the slots, at its own
// statement, so it sees what its script did before it.
//
// A query's servers are read side by side and written in server order: the first on the thread that
// runs the query, straight into the file, each of the others ahead of it on a thread of its own into a
// bounded pipe, which the writer empties when it reaches that server. So a query waits about as long
// as its slowest server rather than the sum of them all, and the file and the reply are byte for byte
// what reading one server after another gives.
#include <array>
#include <climits>
#include <exception>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "execution/ArquivoConsulta.h"
#include "foundation/BlockPipe.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"
#include "foundation/Text.h"
#include "gateway/Instrucoes.h"
#include "gateway/NoServidor.h"
#include "gateway/UVESPRIL.h"
#include "servers/ConexoesLeitura.h"
#include "servers/Religador.h"
#include "statements/InsertRewriting.h"

namespace vespril {

namespace {

// ISO-8859-1 texts of the executor's own failures.
constexpr char kFalhaChaveEstrangeira[] = "Falha na localiza\xE7\xE3o da chave estrangeira";
constexpr char kFalhaChavePrimaria[] = "Falha na localiza\xE7\xE3o da chave prim\xE1ria";
constexpr char kFalhaRecontagem[] =
    "Falha na atualiza\xE7\xE3o da quantidade de registros da tabela no servidor";
constexpr char kFalhaTabela[] = "Falha na localiza\xE7\xE3o da tabela";
constexpr char kFalhaServidor[] = "Falha na localiza\xE7\xE3o do servidor";

void Preparar(ConexaoSQL& consulta, const std::string& statement) {
  consulta.Close();
  consulta.SQL().clear();
  consulta.SQL().push_back(statement);
}

// The configuration keeps counts and keys as 32-bit integers.
int32_t ParaInteiro(int64_t value, const std::string& what) {
  if (value < INT32_MIN || value > INT32_MAX) {
    throw Error(what + " fora do intervalo de 32 bits: " + std::to_string(value));
  }
  return static_cast<int32_t>(value);
}

// A server read ahead of the writer holds at most this much of its rows, formatted, so that a query's
// memory grows with its servers, never with its rows. Its reading waits while that much waits for the
// writer; a server's whole answer fits in it up to some tens of thousands of narrow rows.
constexpr size_t kAdiante = 4u << 20;
// Rows are handed from a server's reading to the writer in blocks of about this size.
constexpr size_t kBlocoLeitura = 256u << 10;

// Where a server's rows go as they are read: straight into the file for the server being written, a
// pipe to the writer for a server read ahead.
class Destino {
 public:
  virtual ~Destino() = default;
  // Takes `bloco`'s whole rows, `registros` of them, and leaves it empty, also when it throws, so no
  // row is handed over twice; false when the reading should end.
  virtual bool Entregar(std::string& bloco, size_t registros) = 0;
  // Whether the reading should end before its next row.
  virtual bool Parar() const = 0;
};

class DestinoArquivo final : public Destino {
 public:
  explicit DestinoArquivo(ArquivoConsulta& arquivo) : m_arquivo(arquivo) {}
  bool Entregar(std::string& bloco, size_t registros) override {
    m_registros.clear();
    m_registros.swap(bloco);  // the two buffers take turns
    m_arquivo.EscreverRegistros(m_registros, registros);
    return true;
  }
  bool Parar() const override { return false; }

 private:
  ArquivoConsulta& m_arquivo;
  std::string m_registros;
};

class DestinoPipe final : public Destino {
 public:
  // `contados` adds up the rows handed over, for the writer to read once the pipe is drained.
  DestinoPipe(BlockPipe& pipe, size_t& contados) : m_pipe(pipe), m_contados(contados) {}
  bool Entregar(std::string& bloco, size_t quantos) override {
    std::string registros;
    registros.swap(bloco);
    m_contados += quantos;
    const bool aceito = m_pipe.Put(std::move(registros));
    bloco.reserve(kBlocoLeitura + kBlocoLeitura / 4);
    return aceito;
  }
  bool Parar() const override { return m_pipe.Abandoned(); }

 private:
  BlockPipe& m_pipe;
  size_t& m_contados;
};

// One server's rows of a query, formatted for the result file, handed to `destino` in blocks. The rows
// read before a failure are handed over before it is thrown, as writing them one by one leaves them.
void LerServidor(fb::Attachment& attachment, fb::Transaction& transacao, int dialect,
                 const std::string& statement, Destino& destino) {
  std::string bloco;
  size_t registros = 0;  // in `bloco`
  bloco.reserve(kBlocoLeitura + kBlocoLeitura / 4);
  const auto entregar = [&] { return destino.Entregar(bloco, std::exchange(registros, 0)); };
  try {
    fb::Statement consulta(attachment);
    consulta.Prepare(transacao, statement, dialect);
    if (!consulta.IsQuery()) throw Error(kNaoConsulta);
    consulta.OpenCursor(transacao);
    const auto columns = static_cast<size_t>(consulta.ColumnCount());
    std::vector<std::string> names(columns);
    std::vector<std::string> values(columns);
    for (size_t i = 0; i < columns; ++i) names[i] = consulta.ColumnName(static_cast<int>(i));
    while (consulta.Fetch()) {
      for (size_t i = 0; i < columns; ++i) values[i] = consulta.AsText(static_cast<int>(i));
      AcrescentarRegistro(bloco, names, values);
      ++registros;
      if (bloco.size() >= kBlocoLeitura && !entregar()) return;
      if (destino.Parar()) return;  // the statement's end closes its cursor
    }
    consulta.CloseCursor();
  } catch (...) {
    try {
      entregar();
    } catch (...) {
      // The file failing as well: the server's failure is the one told, as a writer that flushed its
      // rows only on its way out would tell it.
    }
    throw;
  }
  entregar();
}

// The servers of one query read ahead of the writer, each on a thread of its own into a pipe of its
// own. Its end abandons every pipe and joins every thread, so no server is read once the query is
// over, whichever way it ended. The thread that runs the query only.
class LeituraAdiante {
 public:
  LeituraAdiante() = default;
  LeituraAdiante(const LeituraAdiante&) = delete;
  LeituraAdiante& operator=(const LeituraAdiante&) = delete;
  ~LeituraAdiante() {
    for (const std::unique_ptr<BlockPipe>& pipe : m_pipes) pipe->Abandon();
    for (std::thread& thread : m_threads) thread.join();
  }

  // Runs `ler` on a thread of its own, into the next pipe: it must close the pipe, with its failure
  // if it has one. False, with nothing started, when no thread can be had.
  bool Iniciar(std::function<void(BlockPipe&)> ler) {
    m_pipes.push_back(std::make_unique<BlockPipe>(kAdiante));
    try {
      m_threads.emplace_back([ler = std::move(ler), pipe = m_pipes.back().get()] { ler(*pipe); });
    } catch (const std::system_error&) {
      m_pipes.pop_back();
      return false;
    }
    return true;
  }

  // The pipe of the i-th reading started; null past the last.
  BlockPipe* Pipe(size_t i) { return i < m_pipes.size() ? m_pipes[i].get() : nullptr; }

 private:
  std::vector<std::unique_ptr<BlockPipe>> m_pipes;
  std::vector<std::thread> m_threads;
};

// Whether a failure of the INSERT's execution leaves it unknown whether the row was committed: the link
// went down with the statement or its commit on it. A refusal the server sent back is known.
bool DesfechoIncerto(std::exception_ptr falha) {
  try {
    std::rethrow_exception(falha);
  } catch (const fb::FbError& e) {
    return e.LinkLost();
  } catch (...) {
    return false;
  }
}

// A failure to reach a server for a query, told with the server's name: "ALFA: <the client's text>".
std::exception_ptr Nomeada(const std::string& nome, std::exception_ptr falha) {
  try {
    std::rethrow_exception(falha);
  } catch (const Error& e) {
    return std::make_exception_ptr(Error(nome + ": " + e.Message()));
  } catch (const std::exception& e) {
    return std::make_exception_ptr(Error(nome + ": " + e.what()));
  } catch (...) {
    return falha;
  }
}

}  // namespace

// One server as a query reads it: a read-only snapshot transaction on an attachment, and the dialect
// of the server's slot; or the failure that keeps it from being read, raised when a query reaches it,
// so that the rows of the servers before it are written as one server after another would give.
struct VESPRIL::Fonte {
  std::string servidor;  // its name
  fb::Attachment* attachment = nullptr;
  std::unique_ptr<fb::Transaction> transacao;
  int dialect = 3;
  std::exception_ptr falha;
  bool quebrada = false;  // a statement failed on it: its connection is not kept
};

// A read script's view of every server as of one moment between write scripts: a read connection of
// each server, taken in server order, and a snapshot transaction on each, all started between two
// writers (see Corte) and held for the script's statements. Ended (and the connections given back) when
// it goes.
class VESPRIL::Instantaneo {
 public:
  // Rounds of snapshot starts that a writer may spoil before the read holds the cut for them.
  static constexpr int kRodadasForaDoCorte = 3;

  explicit Instantaneo(VESPRIL& engine) : m_engine(engine), m_servidores(engine.Servidores()) {
    m_conexoes.resize(m_servidores.size());
    m_fontes.resize(m_servidores.size());
    bool renovadas = false;
    for (int rodada = 0;; ++rodada) {
      // Connections are taken outside the cut, so the write lane never waits on an attach or a pool;
      // only those of attached slots, since the others are refused anyway. A silent server is not
      // waited on at all.
      const std::array<bool, kSlots + 1> antes = Ligados();
      for (size_t i = 0; i < m_servidores.size(); ++i) {
        const Vinculo& servidor = m_servidores[i];
        if (!antes[servidor.n]) continue;
        const std::string silencio = m_engine.m_religador->Silencio(servidor.n);
        if (!silencio.empty()) {
          m_fontes[i].falha = std::make_exception_ptr(Error(servidor.nome + ": " + silencio));
          continue;
        }
        try {
          m_conexoes[i] = m_engine.m_leitura->Tomar(servidor.n, servidor.nome, servidor.endereco);
          m_engine.m_religador->Respondeu(servidor.n);
        } catch (...) {
          m_fontes[i].falha = Nomeada(servidor.nome, std::current_exception());
        }
      }
      const bool noCorte = rodada >= kRodadasForaDoCorte;
      std::shared_lock<Corte> corte(m_engine.m_corte, std::defer_lock);
      uint64_t marca = 0;
      if (noCorte) {
        corte.lock();
      } else {
        marca = m_engine.m_corte.Marcar();
      }
      std::array<bool, kSlots + 1> ligado{};
      std::array<int, kSlots + 1> dialeto{};
      {
        MutexLock trava(m_engine.m_trava);
        ligado = m_engine.m_slotLigado;
        dialeto = m_engine.m_slotDialeto;
      }
      // A write script attached a slot meanwhile: everything is given back and taken again, in server
      // order, so that two readers never wait on each other.
      if (ligado != antes) {
        Devolver();
        continue;
      }
      bool primeira = true;
      for (size_t i = 0; i < m_servidores.size(); ++i) {
        Fonte& fonte = m_fontes[i];
        fonte.servidor = m_servidores[i].nome;
        fonte.dialect = dialeto[m_servidores[i].n];
        // A server whose slot is not attached is refused as the slot refuses it.
        if (!ligado[m_servidores[i].n]) {
          fonte.falha = std::make_exception_ptr(Error(kDbNotOpen));
          continue;
        }
        if (fonte.falha) continue;
        if (!primeira && m_engine.EntreInstantaneos) m_engine.EntreInstantaneos();
        primeira = false;
        try {
          fonte.attachment = m_conexoes[i]->attachment.get();
          fonte.transacao =
              std::make_unique<fb::Transaction>(*fonte.attachment, fb::Transaction::Access::ReadOnly);
        } catch (...) {
          fonte.falha = std::current_exception();
          fonte.quebrada = true;
        }
      }
      // A writer came in while they were being started: some may show what it did and others not.
      if (!noCorte && !m_engine.m_corte.Intacto(marca)) {
        Devolver();
        continue;
      }
      // A connection found dead as its transaction starts is replaced before any query uses it, once:
      // everything is given back and taken again, in server order, as above.
      if (Perdidas() && !renovadas) {
        renovadas = true;
        Devolver();
        continue;
      }
      return;
    }
  }

  ~Instantaneo() { Devolver(); }

  Instantaneo(const Instantaneo&) = delete;
  Instantaneo& operator=(const Instantaneo&) = delete;

  std::vector<Fonte>& Fontes() { return m_fontes; }

 private:
  // Ends the transactions and gives the connections back; a connection a statement failed on is
  // dropped.
  void Devolver() {
    for (size_t i = 0; i < m_servidores.size(); ++i) {
      m_fontes[i].transacao.reset();  // read-only: rolling back ends it as a commit would
      if (!m_conexoes[i]) {
        m_fontes[i] = Fonte();
        continue;
      }
      const fb::Attachment& attachment = *m_conexoes[i]->attachment;
      // A call given up on at the time limit: the server is silent, and no read waits on it again.
      if (attachment.TimedOut()) Silenciar(i, attachment.LinkError());
      m_engine.m_leitura->Devolver(m_servidores[i].n, std::move(m_conexoes[i]), m_fontes[i].quebrada);
      m_fontes[i] = Fonte();
    }
  }

  void Silenciar(size_t i, const std::string& erro) {
    const Vinculo& servidor = m_servidores[i];
    if (m_engine.m_religador->Perdido(servidor.n, servidor.endereco, erro, true)) {
      m_engine.m_leitura->Descartar(servidor.n, true);
    }
  }

  // Servers whose connection was found lost as its transaction started: the server is attached again
  // in the background, and its idle connections, which went with it, are dropped. True when any may
  // be tried again (one that gave no answer within the time limit is not waited on twice).
  bool Perdidas() {
    bool renovar = false;
    for (size_t i = 0; i < m_servidores.size(); ++i) {
      const Fonte& fonte = m_fontes[i];
      if (!fonte.quebrada || !DesfechoIncerto(fonte.falha)) continue;
      try {
        std::rethrow_exception(fonte.falha);
      } catch (const fb::FbError& e) {
        // A silent server's idle connections are cut off as they are dropped, and it is not tried again.
        if (e.TimedOut()) {
          Silenciar(i, e.Message());
          continue;
        }
        m_engine.m_religador->Perdido(m_servidores[i].n, m_servidores[i].endereco, e.Message());
        m_engine.m_leitura->Descartar(m_servidores[i].n);
        renovar = true;
      }
    }
    return renovar;
  }

  std::array<bool, kSlots + 1> Ligados() {
    MutexLock trava(m_engine.m_trava);
    return m_engine.m_slotLigado;
  }

  VESPRIL& m_engine;
  std::vector<Vinculo> m_servidores;
  std::vector<std::unique_ptr<ConexoesLeitura::Conexao>> m_conexoes;
  std::vector<Fonte> m_fontes;
};

// Runs on the GUI thread for every script, to schedule it: a write script is known by its first
// statement that is no query, without cutting the rest.
bool VESPRIL::ScriptDeLeitura(const std::string& script) {
  if (script.empty()) return true;
  bool leitura = true;
  PercorrerInstrucoes(script, [&](std::string_view statement) {
    leitura = Classificar(statement) == Tipo::Consulta;
    return leitura;
  });
  return leitura;
}

bool VESPRIL::ScriptDeInsercoes(const std::string& script) { return SoInsercoes(script); }

VESPRIL::ServidoresDasFalhas::ServidoresDasFalhas(std::vector<std::string>& servidores) {
  t_servidoresDasFalhas = &servidores;
}

VESPRIL::ServidoresDasFalhas::~ServidoresDasFalhas() { t_servidoresDasFalhas = nullptr; }

std::string VESPRIL::ExecutarScript(const std::string& script, const std::string& cliente,
                                    const std::string& pedido) {
  std::string servidor;
  return ExecutarScript(script, cliente, pedido, servidor);
}

std::string VESPRIL::ExecutarScript(const std::string& script, const std::string& cliente,
                                    const std::string& pedido, std::string& servidor) {
  t_noServidor.clear();
  std::string falha = RodarScript(script, cliente, pedido);
  servidor = falha.empty() ? std::string() : std::move(t_noServidor);
  t_noServidor.clear();
  return falha;
}

std::string VESPRIL::RodarScript(const std::string& script, const std::string& cliente,
                                 const std::string& pedido) {
  if (script.empty()) return "";
  if (!ScriptDeLeitura(script)) return ExecutarEscrita(script, cliente, pedido);
  return Falha([&] {
    // The path is checked at the first query, as a statement's own failure.
    const std::string arquivo = CaminhoArquivoConsulta(m_diretorioPrograma, cliente, pedido);
    // A record of ours in limbo is ended, and the script read again from a new moment: one that shows
    // what the replies before it acknowledged.
    ForaDoLimbo([&] {
      Instantaneo instantaneo(*this);
      PercorrerInstrucoes(script, [&](std::string_view statement) {
        ExecutarConsulta(std::string(statement), arquivo, instantaneo.Fontes());
        return true;
      });
    });
  });
}

void VESPRIL::RodarEscrita(const std::string& script, const std::string& cliente, const std::string& pedido) {
  try {
    PercorrerInstrucoes(script, [&](std::string_view vista) {
      const std::string statement(vista);
      switch (Classificar(statement)) {
        case Tipo::Consulta:
          ExecutarConsultaEscrita(statement, CaminhoArquivoConsulta(m_diretorioPrograma, cliente, pedido));
          break;
        case Tipo::Insert:
          ExecutarInsert(statement);
          break;
        case Tipo::Outra:
          ExecutarOutra(statement);
          break;
      }
      return true;
    });
  } catch (...) {
    PublicarSlots();  // a write statement attaches a slot that was not
    throw;
  }
  PublicarSlots();
}

void VESPRIL::ExecutarConsulta(const std::string& statement, const std::string& caminho,
                               std::vector<Fonte>& fontes) {
  ArquivoConsulta arquivo(caminho);
  // The walk in server order ends at the first server that can't be read, so only those before it
  // are read; the second and later of them ahead of the writer. A server whose reading could not be
  // started is read in its turn, as the first is.
  size_t lidas = 0;
  while (lidas < fontes.size() && !fontes[lidas].falha) ++lidas;
  // The rows each reader handed over, read by the writer once that reader's pipe is drained. Made
  // before the readers, so that it outlives them.
  std::vector<size_t> contados(fontes.size(), 0);
  LeituraAdiante adiante;
  for (size_t i = 1; i < lidas; ++i) {
    Fonte& fonte = fontes[i];
    size_t& contado = contados[i];
    const bool iniciada = adiante.Iniciar([&fonte, &statement, &contado](BlockPipe& pipe) {
      DestinoPipe destino(pipe, contado);
      try {
        LerServidor(*fonte.attachment, *fonte.transacao, fonte.dialect, statement, destino);
        pipe.Close();
      } catch (...) {
        fonte.quebrada = true;
        pipe.Close(std::current_exception());
      }
    });
    if (!iniciada) break;
  }
  for (size_t i = 0; i < fontes.size(); ++i) {
    Fonte& fonte = fontes[i];
    if (fonte.falha) {
      t_noServidor = fonte.servidor;
      std::rethrow_exception(fonte.falha);
    }
    if (BlockPipe* pipe = i > 0 ? adiante.Pipe(i - 1) : nullptr) {
      std::string bloco;
      try {
        for (;;) {
          t_noServidor = fonte.servidor;  // the reader's failure comes out of Take
          const bool mais = pipe->Take(bloco);
          t_noServidor.clear();
          if (!mais) break;
          arquivo.EscreverRegistros(bloco, 0);
        }
      } catch (...) {
        arquivo.EscreverRegistros({}, contados[i]);
        throw;
      }
      arquivo.EscreverRegistros({}, contados[i]);
      continue;
    }
    DestinoArquivo destino(arquivo);
    try {
      NoServidor(fonte.servidor, [&] {
        LerServidor(*fonte.attachment, *fonte.transacao, fonte.dialect, statement, destino);
      });
    } catch (...) {
      fonte.quebrada = true;
      throw;
    }
  }
  arquivo.Finalizar();
}

// In the write lane nothing else writes: each server's snapshot, started here, shows what the script
// did before this statement.
void VESPRIL::ExecutarConsultaEscrita(const std::string& statement, const std::string& caminho) {
  ForaDoLimbo([&] { LerNaFaixa(statement, caminho); });
}

void VESPRIL::LerNaFaixa(const std::string& statement, const std::string& caminho) {
  std::vector<Fonte> fontes;
  for (const Vinculo& servidor : Servidores()) {
    Fonte& fonte = fontes.emplace_back();
    fonte.servidor = servidor.nome;
    BaseDados& base = Slot(servidor.n).baseDados;
    fonte.dialect = base.SQLDialect();
    try {
      fonte.attachment = &base.Handle();
    } catch (...) {
      fonte.falha = Nomeada(servidor.nome, std::current_exception());
      continue;
    }
    try {
      fonte.transacao =
          std::make_unique<fb::Transaction>(*fonte.attachment, fb::Transaction::Access::ReadOnly);
    } catch (...) {
      fonte.falha = std::current_exception();
    }
  }
  ExecutarConsulta(statement, caminho, fontes);
}

void VESPRIL::ExecutarOutra(const std::string& statement) {
  for (const Vinculo& servidor : Servidores()) {
    ConexaoSQL& consulta = Slot(servidor.n).conexaoSQL;
    ForaDoLimbo([&] {
      Preparar(consulta, statement);
      NoServidor(servidor.nome, [&] { consulta.ExecSQL(); });
    });
  }
}

void VESPRIL::Incluir(Insercao& insercao, const std::string& coluna, const std::string& valor) {
  const size_t antes = insercao.sql.size();
  insercao.sql = IncluirCampo(insercao.sql, coluna, valor);
  if (insercao.sql.size() == antes) return;
  insercao.colunasIncluidas += coluna.size() + 2;
  insercao.valoresIncluidos += valor.size() + 2;
}

std::vector<VESPRIL::Vinculo> VESPRIL::Servidores() {
  MutexLock trava(m_trava);
  std::vector<Vinculo> servidores;
  for (CdsServidor.First(); !CdsServidor.Eof(); CdsServidor.Next()) {
    servidores.push_back(
        {CdsServidor.FieldAsString("Nome"), CdsServidor.FieldAsString("Endereco"), CdsServidor.RecNo()});
  }
  return servidores;
}

void VESPRIL::ExecutarInsert(const std::string& statement) {
  Insercao insercao = PlanejarInsert(statement);
  if (insercao.relembrar) Recontar(insercao);
  Rotear(insercao);
  ReservarChave(insercao);
  Gravar(insercao);
}

VESPRIL::Insercao VESPRIL::PlanejarInsert(const std::string& statement) {
  InsertSeparado separado = SepararChaves(statement);
  Insercao insercao;
  insercao.sql = std::move(separado.sql);
  MutexLock trava(m_trava);
  // Foreign keys take the parent's last key handed out: a parent inserted earlier in the same script
  // gives its children its own key.
  for (const ChaveEstrangeira& estrangeira : separado.chaves) {
    if (!LocalizarTabela(CdsTabela, "Tabela", estrangeira.TabelaPai)) throw Error(kFalhaChaveEstrangeira);
    Incluir(insercao, estrangeira.Campo, std::to_string(CdsTabela.FieldAsInteger("Gerador")));
    insercao.pais.push_back(CdsTabela.FieldAsString("Tabela"));
  }
  insercao.tabela = ExtrairTabela(insercao.sql);
  insercao.relembrar = TabelaRelembrar();
  if (insercao.relembrar) {
    if (!LocalizarTabela(CdsTabela, "Tabela", insercao.tabela)) throw Error(kFalhaChavePrimaria);
    insercao.chave = CdsTabela.FieldAsString("Chave");
  }
  return insercao;
}

// Every server's count and highest key of the table, into the matrix and the generator.
void VESPRIL::Recontar(Insercao& insercao) {
  const std::string& tabela = insercao.tabela;
  const std::string recontagem =
      "select count(" + insercao.chave + ") as QtAtual, max(" + insercao.chave + ") as IDMax from " + tabela;
  for (const Vinculo& servidor : Servidores()) {
    ConexaoSQL& consulta = Slot(servidor.n).conexaoSQL;
    ForaDoLimbo([&] {
      Preparar(consulta, recontagem);
      NoServidor(servidor.nome, [&] { consulta.Open(); });
    });
    MutexLock trava(m_trava);
    if (!CdsServidorTabela.Locate("Servidor;Tabela", {servidor.nome, tabela})) throw Error(kFalhaRecontagem);
    const int32_t quantidade = ParaInteiro(consulta.FieldAsInteger("QtAtual"), "QtAtual de " + tabela);
    const int32_t maior = ParaInteiro(consulta.FieldAsInteger("IDMax"), "IDMax de " + tabela);
    CdsServidorTabela.Edit();
    CdsServidorTabela.SetFieldAsInteger("Registro", quantidade);
    CdsServidorTabela.Post();
    // Only the write lane changes the tables, and PlanejarInsert found this one: it is there.
    if (!LocalizarTabela(CdsTabela, "Tabela", tabela)) throw Error(kFalhaTabela);
    if (CdsTabela.FieldAsInteger("Gerador") < maior) {
      CdsTabela.Edit();
      CdsTabela.SetFieldAsInteger("Gerador", maior);
      CdsTabela.Post();
    }
  }
}

// The matrix is sorted by table then row count: the first row of the table whose server is there
// names the least filled of them; when none is, the least filled of all, whose failure is the reply.
// The new key is the generator's next value.
void VESPRIL::Rotear(Insercao& insercao) {
  const std::array<bool, kSlots + 1> presentes = m_religador->Presentes();
  MutexLock trava(m_trava);
  if (!LocalizarTabela(CdsTabela, "Tabela", insercao.tabela) ||
      !LocalizarTabela(CdsServidorTabela, "Tabela", insercao.tabela)) {
    throw Error(kFalhaTabela);
  }
  std::string servidor = CdsServidorTabela.FieldAsString("Servidor");
  const std::string tabela = CdsServidorTabela.FieldAsString("Tabela");
  for (; !CdsServidorTabela.Eof() && SameText(CdsServidorTabela.FieldAsString("Tabela"), tabela);
       CdsServidorTabela.Next()) {
    const std::string candidato = CdsServidorTabela.FieldAsString("Servidor");
    if (CdsServidor.Locate("Nome", candidato) && presentes[CdsServidor.RecNo()]) {
      servidor = candidato;
      break;
    }
  }
  if (!CdsServidor.Locate("Nome", servidor)) throw Error(kFalhaServidor);
  insercao.servidor = servidor;
  insercao.n = CdsServidor.RecNo();
  insercao.gerador = CdsTabela.FieldAsInteger("Gerador");
  if (insercao.gerador == INT32_MAX) {
    throw Error("O gerador da tabela " + insercao.tabela + " chegou ao seu limite");
  }
  Incluir(insercao, CdsTabela.FieldAsString("Chave"), std::to_string(insercao.gerador + 1));
}

// The key's block is in the record before the row is written (engine/execution/Reservas.h): a crash in
// between leaves a gap in the keys, never a key that the next start hands out a second time. The generators'
// file says the last key handed out.
void VESPRIL::ReservarChave(Insercao& insercao) {
  const auto gerar = [this, &insercao](int32_t valor) {
    MutexLock trava(m_trava);
    DefinirGerador(CdsTabela, insercao.tabela, valor);
  };
  gerar(insercao.gerador + 1);
  try {
    Reservar({{insercao.tabela, insercao.gerador + 1}});
    Salvar(&CdsTabela, false);
  } catch (...) {
    gerar(insercao.gerador);  // nothing was sent, so the key may still be handed out
    throw;
  }
}

void VESPRIL::Gravar(Insercao& insercao) {
  // A key that never reached the server goes back, in memory and on disk (a failed save costs a gap,
  // nothing more).
  const auto devolverChave = [this, &insercao] {
    {
      MutexLock trava(m_trava);
      DefinirGerador(CdsTabela, insercao.tabela, insercao.gerador);
    }
    try {
      Salvar(&CdsTabela, false);
    } catch (const Error&) {
    }
  };
  SlotConexao slot = Slot(insercao.n);
  t_noServidor = insercao.servidor;
  try {
    slot.baseDados.Open();
  } catch (...) {
    devolverChave();
    throw;
  }
  try {
    ForaDoLimbo([&] {
      Preparar(slot.conexaoSQL, insercao.sql);
      slot.conexaoSQL.ExecSQL();
    });
  } catch (const fb::FbError& e) {
    if (e.LinkLost()) throw;
    devolverChave();
    // The server tells positions in the statement as it ran; the client knows the one it wrote.
    throw Error(
        PosicoesDoCliente(e.Message(), insercao.sql, insercao.colunasIncluidas, insercao.valoresIncluidos));
  } catch (...) {
    // Refused by the server, the row is not there and the key is free again. When the link failed
    // with the statement or its commit, the row may be committed: its key stays handed out (a gap at
    // worst), and the recount flag repairs the count.
    if (!DesfechoIncerto(std::current_exception())) devolverChave();
    throw;
  }
  t_noServidor.clear();

  // The row is committed, and the reply will say so whatever happens to the count's save. At its limit
  // the count stays there rather than wrap.
  {
    MutexLock trava(m_trava);
    ContarLinha(insercao);
  }
  m_painel->Roteada(insercao.n, insercao.tabela);
  SalvarContagem();
}

void VESPRIL::ContarLinha(const Insercao& insercao) {
  // The row Rotear took; only the write lane changes the tables, so it is still there.
  if (!CdsServidorTabela.Locate("Servidor;Tabela", {insercao.servidor, insercao.tabela}))
    throw Error(kFalhaTabela);
  const int32_t registro = CdsServidorTabela.FieldAsInteger("Registro");
  CdsServidorTabela.Edit();
  CdsServidorTabela.SetFieldAsInteger("Registro", registro == INT32_MAX ? registro : registro + 1);
  CdsServidorTabela.Post();
}

void VESPRIL::SalvarContagem() {
  try {
    Salvar(&CdsServidorTabela, false);
  } catch (const Error& e) {
    // Kept in memory and saved again by the next write; a crash before then costs a count the recount
    // flag repairs. The operator hears of it once, not at every row.
    bool primeira = false;
    {
      MutexLock trava(m_trava);
      primeira = !m_contagemPendente;
      m_contagemPendente = true;
    }
    if (primeira)
      Avisar(
          "A contagem de registros n\xE3o p\xF4"
          "de ser salva: " +
          e.Message());
  }
}

}  // namespace vespril
