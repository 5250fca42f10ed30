#include "gateway/UVESPRIL.h"

#include <filesystem>

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QTimer>

#include "config/ConfigTables.h"
#include "execution/ArquivoConsulta.h"
#include "execution/Pendencias.h"
#include "execution/Reservas.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"
#include "foundation/FbWatchdog.h"
#include "foundation/Text.h"
#include "gateway/Instrucoes.h"
#include "gateway/RequestHandling.h"
#include "scheduler/Agenda.h"
#include "servers/ConexoesLeitura.h"
#include "servers/Religador.h"

namespace vespril {

namespace {

constexpr char kAtributoPorta[] = "Porta";
constexpr char kFirebirdAbertoPorOutro[] = "already opened with engine instance";
constexpr char kAbertoPorOutro[] = "\r\nOutro VESPRIL (ou outro programa) j\xE1 tem este banco aberto";
constexpr char kAtributoTabelaRelembrar[] = "TabelaRelembrar";

// An installed program's folder is not writable, so the environment may name the folder of the result
// files instead. Its bytes are kept as the environment gives them; a relative name is taken from the
// working directory now, since the path is what "Baixar" tells clients.
std::string DiretorioConsultas() {
  const QByteArray configured = qgetenv("VESPRIL_DIR_CONSULTAS");
  if (configured.isEmpty()) return ProgramDirectory();
  std::string dir = std::filesystem::absolute(configured.toStdString()).native();
  if (dir.back() != '/') dir += '/';
  return dir;
}

// Runs `f` later from the event loop of the thread `contexto` lives on (the GUI thread's): never inside
// the agenda's admission or a completion, so it may open a message box. Nothing it throws escapes into
// the loop. Throws std::bad_alloc, and `f` is then dropped.
template <typename F>
void PeloLaco(QObject* contexto, F f) {
  QMetaObject::invokeMethod(
      contexto,
      [f = std::move(f)] {
        try {
          f();
        } catch (...) {
        }
      },
      Qt::QueuedConnection);
}

// A distributed table's file, read; when `remendar`, one that is gone or can't be read gives an empty
// table instead, for the record to fill.
PersistedTable Carregado(PersistedTable (*construir)(), PersistedTable (*vazia)(), const char* arquivo,
                         bool remendar) {
  if (!remendar) return construir();
  try {
    if (QFileInfo::exists(QFile::decodeName(arquivo))) return construir();
  } catch (const Error&) {
  }
  return vazia();
}

// Seconds from the environment; `padrao` when unset or not a positive number.
int Segundos(const char* variavel, int padrao) {
  bool numero = false;
  const int segundos = qEnvironmentVariableIntValue(variavel, &numero);
  return numero && segundos > 0 ? segundos : padrao;
}

// The time limit of every call on a server, VESPRIL_LIMITE seconds (30 when unset or not a number); and
// how long a statement may run on a server that still answers, VESPRIL_LIMITE_INSTRUCAO (600).
std::unique_ptr<fb::Watchdog> Vigia(Painel& painel) {
  const int limite = Segundos("VESPRIL_LIMITE", 30);
  const int instrucao = Segundos("VESPRIL_LIMITE_INSTRUCAO", 600);
  auto vigia = std::make_unique<fb::Watchdog>(std::chrono::seconds(limite),
                                              "O servidor n\xE3o respondeu em " + std::to_string(limite) +
                                                  " s; a conex\xE3o foi desfeita e ser\xE1 refeita",
                                              std::chrono::seconds(instrucao),
                                              "A instru\xE7\xE3o passou de " + std::to_string(instrucao) +
                                                  " s; a conex\xE3o foi desfeita e ser\xE1 refeita");
  vigia->OnProbe = [&painel, instrucao](const std::string& endereco, std::chrono::milliseconds passou,
                                        bool responde) {
    const std::string segundos =
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(passou).count());
    painel.Nota("instru\xE7\xE3o em " + endereco + " passou de " + segundos +
                (responde ? " s; o servidor responde, e ela segue at\xE9 " + std::to_string(instrucao) + " s"
                          : " s e o servidor n\xE3o respondeu: desfeita"));
  };
  return vigia;
}

// A setting read from the environment at start-up; one that is refused is logged as well as raised,
// since under a service manager nobody sees the error box.
template <typename F, typename G>
auto Lido(F ler, G registrar) {
  try {
    return ler();
  } catch (const Error& e) {
    registrar(e.Message());
    throw;
  }
}

}  // namespace

VESPRIL::VESPRIL() : VESPRIL(DiretorioConsultas()) {}

VESPRIL::VESPRIL(std::string diretorioPrograma)
    : m_diretorioPrograma(std::move(diretorioPrograma)),
      m_reservas(std::make_unique<Reservas>()),
      m_painel(std::make_unique<Painel>()),
      m_vigia(Vigia(*m_painel)),
      m_credenciais(Lido([] { return Credenciais::DoAmbiente(); }, [this](auto& e) { m_painel->Aviso(e); })),
      m_rede(Lido([] { return Rede::DoAmbiente(); }, [this](auto& e) { m_painel->Soquete(e); })),
      m_religador(std::make_unique<Religador>(m_credenciais, *m_vigia, *m_painel)),
      m_leitura(std::make_unique<ConexoesLeitura>(m_credenciais, m_vigia.get())),
      m_agenda(std::make_unique<Agenda>(ExecutorDeGrupos(*this))) {
  // A server is visited with the credentials of the server configured at its address; one no longer
  // configured, with those of every server not named.
  m_pendencias = std::make_unique<Pendencias>(
      [this](const std::string& endereco) {
        std::string nome = "*";
        for (const Vinculo& servidor : Servidores()) {
          if (servidor.endereco == endereco) nome = servidor.nome;
        }
        const Credenciais::Acesso& acesso = m_credenciais.Para(nome);
        return std::pair(acesso.usuario, acesso.senha);
      },
      m_vigia.get());
  // A server reached again may hold a transaction of ours left in limbo while it was away.
  m_religador->OnReligado = [this](int n) {
    for (const Vinculo& servidor : Servidores()) {
      if (servidor.n == n) m_pendencias->Pendente(servidor.endereco);
    }
  };
  CriarSlots();
  {
    MutexLock trava(m_trava);
    CdsPortaRelembrar = config::BuildPortaRelembrar();
    CdsServidor = config::BuildServidor();
  }
  ConectarServidores();
  {
    MutexLock trava(m_trava);
    // After an unclean end, a file that is gone or can't be read is made again from the record.
    const bool remendar = m_pendencias->InicioSujo() && m_pendencias->Registro().copia.existe;
    CdsTabela = Carregado(config::BuildTabela, config::BuildTabelaVazia, config::kArquivoTabela, remendar);
    CdsServidorTabela = Carregado(config::BuildServidorTabela, config::BuildServidorTabelaVazia,
                                  config::kArquivoServidorTabela, remendar);
    for (CdsServidorTabela.First(); !CdsServidorTabela.Eof(); CdsServidorTabela.Next()) {
      m_painel->Rota(CdsServidorTabela.FieldAsString("Servidor"), CdsServidorTabela.FieldAsString("Tabela"));
    }
    CdsServidorTabela.First();
  }
  AplicarRegistro();
  // Ours in limbo: visited now where a server is attached, in the background elsewhere.
  std::vector<std::string> configurados;
  std::vector<std::string> presentes;
  for (const Vinculo& servidor : Servidores()) {
    configurados.push_back(servidor.endereco);
    if (Slot(servidor.n).baseDados.Connected()) presentes.push_back(servidor.endereco);
  }
  m_pendencias->Iniciar(configurados, presentes);
  m_recontarTudo = m_pendencias->InicioSujo();
  CriarSoquete();
  // The operator asked for metrics: the address that could not be served is said, not only logged.
  if (!m_painel->MetricasFalha().empty()) Avisar(m_painel->MetricasFalha());
}

VESPRIL::~VESPRIL() {
  // Once nothing writes any more, and the files the write lane saved unflushed are on the disk, the
  // record says this run ended cleanly.
  m_agenda.reset();
  if (!m_pendencias->Escreveu()) return;
  try {
    Salvar(&CdsTabela);
    Salvar(&CdsServidorTabela);
    m_pendencias->Encerrar(Copia());
  } catch (...) {
    // The next start takes this run's end for a crash, and takes what the record holds.
  }
}

void VESPRIL::AplicarRegistro() {
  if (!m_pendencias->InicioSujo()) return;
  const CopiaTabelas copia = m_pendencias->Registro().copia;
  if (!copia.existe) return;
  {
    MutexLock trava(m_trava);
    // A table read from its file keeps its rows; one made again takes the record's.
    const bool tabelasVazias = CdsTabela.Eof();
    for (const CopiaTabelas::Tabela& tabela : copia.tabelas) {
      if (LocalizarTabela(CdsTabela, "Tabela", tabela.nome)) {
        if (CdsTabela.FieldAsInteger("Gerador") >= tabela.reservado) continue;
        CdsTabela.Edit();
      } else if (tabelasVazias) {
        CdsTabela.Append();
        CdsTabela.SetFieldAsString("Tabela", tabela.nome);
        CdsTabela.SetFieldAsString("Chave", tabela.chave);
      } else {
        continue;
      }
      CdsTabela.SetFieldAsInteger("Gerador", tabela.reservado);
      CdsTabela.Post();
    }
    const bool contagensVazias = CdsServidorTabela.Eof();
    for (const CopiaTabelas::Contagem& contagem : copia.contagens) {
      if (CdsServidorTabela.Locate("Servidor;Tabela", {contagem.servidor, contagem.tabela})) {
        if (CdsServidorTabela.FieldAsInteger("Registro") >= contagem.registro) continue;
        CdsServidorTabela.Edit();
      } else if (contagensVazias) {
        CdsServidorTabela.Append();
        CdsServidorTabela.SetFieldAsString("Servidor", contagem.servidor);
        CdsServidorTabela.SetFieldAsString("Tabela", contagem.tabela);
        m_painel->Rota(contagem.servidor, contagem.tabela);
      } else {
        continue;
      }
      CdsServidorTabela.SetFieldAsInteger("Registro", contagem.registro);
      CdsServidorTabela.Post();
    }
    CdsTabela.First();
    CdsServidorTabela.First();
  }
  try {
    Salvar(&CdsTabela);
    Salvar(&CdsServidorTabela);
  } catch (const Error& e) {
    // The write lane saves them again at its first turn.
    Avisar(e.Message());
  }
}

void VESPRIL::Reservar(const std::map<std::string, int32_t>& maiores) {
  const Reservas antes = *m_reservas;
  CopiaTabelas copia;
  {
    MutexLock trava(m_trava);
    std::map<std::string, int32_t> guardadas;  // by the names the table stores
    for (const auto& [tabela, maior] : maiores) {
      if (LocalizarTabela(CdsTabela, "Tabela", tabela)) guardadas[CdsTabela.FieldAsString("Tabela")] = maior;
    }
    if (!m_reservas->Estender(guardadas)) return;
    copia = m_reservas->Copia(CdsTabela, CdsServidorTabela);
  }
  try {
    m_pendencias->Registrar(std::move(copia));
  } catch (...) {
    *m_reservas = antes;
    throw;
  }
}

CopiaTabelas VESPRIL::Copia() {
  MutexLock trava(m_trava);
  return m_reservas->Copia(CdsTabela, CdsServidorTabela);
}

void VESPRIL::CopiarTabelas() {
  if (m_pendencias->Existe()) m_pendencias->Registrar(Copia());
}

std::string VESPRIL::RegistroDecisoes() const {
  const vespril::RegistroGrupos::Conteudo conteudo = m_pendencias->Registro();
  std::string texto = conteudo.limpo ? "limpo" : "sujo";
  for (const auto& [grupo, endereco] : conteudo.decididos) texto += " " + grupo + "@" + endereco;
  return texto;
}

Componente& VESPRIL::Componentes(int index) const { return *m_componentes.at(index); }

SoqueteServidor& VESPRIL::Soquete() const { return static_cast<SoqueteServidor&>(*m_componentes[0]); }

SlotConexao VESPRIL::Slot(int n) const {
  if (n < 1 || n > kSlots) throw Error("Slot de conex\xE3o inexistente: " + std::to_string(n));
  return SlotConexao{static_cast<BaseDados&>(*m_componentes[n]),
                     static_cast<Transacao&>(*m_componentes[n + kSlots]),
                     static_cast<ConexaoSQL&>(*m_componentes[n + 2 * kSlots])};
}

void VESPRIL::CriarSlots() {
  for (int n = 1; n <= kSlots; ++n) {
    auto base = std::make_unique<BaseDados>("BaseDados" + std::to_string(n));
    base->SetSQLDialect(3);
    base->SetLoginPrompt(false);
    base->Params().clear();
    base->Params().push_back(std::string("user_name=") + kUsuario);
    base->Params().push_back(std::string("password=") + kSenha);
    base->SetWatchdog(m_vigia.get());
    base->Reattach = [this, n](const std::string& erro) { return m_religador->Retomar(n, erro); };
    m_componentes[n] = std::move(base);
  }
  for (int n = 1; n <= kSlots; ++n) {
    auto transacao = std::make_unique<Transacao>("Transacao" + std::to_string(n));
    transacao->SetDefaultAction(TransactionAction::Commit);
    transacao->SetIdleTimer(0);
    transacao->SetDefaultDatabase(static_cast<BaseDados*>(m_componentes[n].get()));
    m_componentes[n + kSlots] = std::move(transacao);
  }
  for (int n = 1; n <= kSlots; ++n) {
    auto consulta = std::make_unique<ConexaoSQL>("ConexaoSQL" + std::to_string(n));
    consulta->SetTransaction(static_cast<Transacao*>(m_componentes[n + kSlots].get()));
    consulta->SetDatabase(static_cast<BaseDados*>(m_componentes[n].get()));
    consulta->AfterClose = [this](ConexaoSQL& q) { ConexaoSQLAfterClose(q); };
    consulta->BeforeOpen = [this](ConexaoSQL& q) { ConexaoSQLBeforeOpen(q); };
    consulta->AfterPost = [this](ConexaoSQL& q) { ConexaoSQLAfterPost(q); };
    m_componentes[n + 2 * kSlots] = std::move(consulta);
  }
}

void VESPRIL::ConferirServidores() {
  // Slots are reached by record number, and locating a name must come back to the same record, so a
  // file edited by hand with too many servers or with names equal but for case is refused outright.
  if (CdsServidor.RecordCount() > kSlots) {
    throw Error(Format("O arquivo %s tem mais de 10 servidores", CdsServidor.FileName()));
  }
  std::vector<std::string> nomes;
  for (CdsServidor.First(); !CdsServidor.Eof(); CdsServidor.Next()) {
    std::string nome = CdsServidor.FieldAsString("Nome");
    for (const std::string& anterior : nomes) {
      if (SameText(anterior, nome)) {
        throw Error(Format("O arquivo %s tem dois servidores de mesmo nome: ", CdsServidor.FileName()) +
                    anterior + " e " + nome);
      }
    }
    nomes.push_back(std::move(nome));
  }
}

void VESPRIL::ConectarServidores() {
  std::vector<std::string> nomes;
  {
    MutexLock trava(m_trava);
    ConferirServidores();
    for (CdsServidor.First(); !CdsServidor.Eof(); CdsServidor.Next()) {
      nomes.push_back(CdsServidor.FieldAsString("Nome"));
    }
  }
  // A server that can't be reached now (stopped, or its machine not up yet after a power cut) must not
  // keep the others from being served: it is away, attached again in the background, and said.
  for (const std::string& nome : nomes) {
    try {
      ConectarServidor(nome, true);
    } catch (const fb::FbError& e) {
      m_falhasInicio.push_back(nome + ": " + e.Message());
      Avisar(m_falhasInicio.back());
    }
  }
}

void VESPRIL::CriarSoquete() {
  auto soquete = std::make_unique<SoqueteServidor>("SoqueteServidorVESPRIL");
  SoqueteServidor& listener = *soquete;
  m_componentes[0] = std::move(soquete);
  listener.SetPort(GetPorta());
  listener.SetAddresses(m_rede.escuta, m_rede.escutaDada);
  listener.SetAllowedClients(m_rede.clientes);
  listener.OnClientRead = [this](ClientConnection& connection) { SoqueteClientRead(connection); };
  listener.OnClientError = [this](ClientConnection& connection, SocketError& code) {
    SoqueteClientError(connection, code);
  };
  listener.OnListenerError = [this](const std::string& message) { Avisar(message); };
  listener.OnEvent = [this](const std::string& evento) { m_painel->Soquete(evento); };
  listener.OnClientCount = [this](int quantas) { m_painel->Conexoes(quantas); };
  // A port that is taken leaves the gateway running with the listener closed, so the operator can
  // choose another one in the window.
  try {
    listener.SetActive(true);
  } catch (const Error& e) {
    m_falhaSoquete = e.Message();
    m_painel->Soquete("porta " + std::to_string(listener.Port()) + " n\xE3o aberta: " + e.Message());
  }
}

void VESPRIL::ConexaoSQLAfterClose(ConexaoSQL& query) {
  Transacao* transacao = query.Transaction();
  if (transacao != nullptr && transacao->InTransaction()) transacao->Rollback();
}

void VESPRIL::ConexaoSQLBeforeOpen(ConexaoSQL& query) {
  Transacao* transacao = query.Transaction();
  if (transacao != nullptr && !transacao->InTransaction()) transacao->StartTransaction();
}

void VESPRIL::ConexaoSQLAfterPost(ConexaoSQL& /*query*/) {
  // Result sets are only read here: no row of one is ever edited or posted, so there is nothing to
  // apply to the database.
}

int VESPRIL::GetPorta() {
  MutexLock trava(m_trava);
  if (!CdsPortaRelembrar.Locate("Atributo", kAtributoPorta)) return 0;
  return CdsPortaRelembrar.FieldAsInteger("Valor");
}

bool VESPRIL::GetTabelaRelembrar() {
  MutexLock trava(m_trava);
  return TabelaRelembrar();
}

bool VESPRIL::TabelaRelembrar() {
  if (!CdsPortaRelembrar.Locate("Atributo", kAtributoTabelaRelembrar)) return false;
  return SameTextAscii(CdsPortaRelembrar.FieldAsString("Valor"), "True");
}

void VESPRIL::Salvar(PersistedTable* table, bool duravel) {
  std::string path;
  QByteArray bytes;
  {
    MutexLock trava(m_trava);
    path = table->FileName();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    table->SaveTo(buffer, path);
  }
  if (duravel) {
    PersistedTable::SaveBytesToFile(path, bytes);
  } else {
    PersistedTable::SaveBytesToFileUnflushed(path, bytes);
  }
  // Any save of the matrix carries the counts a failed one left unsaved.
  if (table == &CdsServidorTabela) {
    MutexLock trava(m_trava);
    m_contagemPendente = false;
  }
}

void VESPRIL::SalvarContagemPendente() {
  {
    MutexLock trava(m_trava);
    if (!m_contagemPendente) return;
  }
  try {
    Salvar(&CdsServidorTabela, false);
  } catch (const Error&) {
    // Still pending; the operator was told when it first failed.
  }
}

void VESPRIL::Avisar(const std::string& texto) noexcept {
  try {
    PeloLaco(m_agenda.get(), [this, texto] {
      if (OnAviso) OnAviso(texto);
    });
  } catch (...) {
    // Short of memory the notice is lost; what it was about goes on.
  }
}

// Binding a slot again drops the read connections of its server, which may name another address.
void VESPRIL::ConectarServidor(const std::string& nome, bool ausenteSeFalhar) {
  int n = 0;
  std::string endereco;
  {
    MutexLock trava(m_trava);
    if (!CdsServidor.Locate("Nome", nome)) return;
    n = CdsServidor.RecNo();
    endereco = CdsServidor.FieldAsString("Endereco");
  }
  SlotConexao slot = Slot(n);
  m_leitura->Descartar(n);
  slot.baseDados.Close();
  slot.baseDados.SetDatabaseName(endereco);
  const Credenciais::Acesso& acesso = m_credenciais.Para(nome);
  slot.baseDados.Params() = {"user_name=" + acesso.usuario, "password=" + acesso.senha};
  try {
    slot.baseDados.Open();
  } catch (const fb::FbError& e) {
    if (ausenteSeFalhar) {
      slot.baseDados.MarkAway(e.Message());
      m_religador->Ausente(n, nome, endereco, e.Message(), e.TimedOut());
    } else {
      Vincular(n, nome, endereco, e.Message());
    }
    PublicarSlots();
    throw;
  } catch (const std::exception& e) {
    Vincular(n, nome, endereco, e.what());
    PublicarSlots();
    // The operator's box names the server. A database file that another process holds (the engine
    // locks each one it opens) most likely means a second gateway on the same configuration.
    const bool deOutro = std::string_view(e.what()).find(kFirebirdAbertoPorOutro) != std::string_view::npos;
    throw Error(nome + ": " + e.what() + (deOutro ? kAbertoPorOutro : ""));
  }
  Vincular(n, nome, endereco, "");
  PublicarSlots();
  // A server bound anew may hold a transaction of ours that an earlier run left in limbo.
  if (m_pendencias) m_pendencias->Pendente(endereco);
}

void VESPRIL::Vincular(int n, const std::string& nome, const std::string& endereco,
                       const std::string& falha) {
  m_religador->Vincular(n, nome, endereco, falha.empty() && !endereco.empty(), falha);
}

int VESPRIL::LeiturasAbertas(int n) const { return m_leitura->Abertas(n); }

void VESPRIL::DesconectarServidor(const std::string& nome) {
  int n = 0;
  {
    MutexLock trava(m_trava);
    if (!CdsServidor.Locate("Nome", nome)) return;
    n = CdsServidor.RecNo();
  }
  LiberarSlot(n);
  PublicarSlots();
}

void VESPRIL::LiberarSlot(int n) {
  SlotConexao slot = Slot(n);
  m_leitura->Descartar(n);
  slot.baseDados.Close();
  slot.baseDados.SetDatabaseName("");
  Vincular(n, "", "", "");
}

void VESPRIL::Operar(std::function<void()> operacao, std::function<void(const std::string& falha)> fim) {
  auto falha = std::make_shared<std::string>();
  Agenda::Tarefa tarefa;
  tarefa.exclusiva = true;
  tarefa.trabalho = [this, operacao = std::move(operacao), falha] {
    try {
      const std::lock_guard corte(m_corte);
      SalvarContagemPendente();
      operacao();
    } catch (const Error& e) {
      *falha = e.Message();
    } catch (const std::exception& e) {
      *falha = e.what();
    } catch (...) {
      *falha = "Exce\xE7\xE3o desconhecida";
    }
  };
  // Handed on through the event loop: a message box it opens must not run inside the agenda.
  tarefa.concluir = [this, fim = std::move(fim), falha] {
    if (fim) PeloLaco(m_agenda.get(), [fim, falha] { fim(*falha); });
  };
  m_agenda->Enfileirar(std::move(tarefa));
}

bool VESPRIL::Parar(int ms) {
  Soquete().SetActive(false);
  m_agenda->Encerrar();
  const QDeadlineTimer prazo(ms);
  QTimer despertador;  // so that the wait below looks at the clock now and then
  despertador.start(50);
  while ((m_agenda->Rodando() > 0 || Soquete().Answering()) && !prazo.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return m_agenda->Rodando() == 0;
}

void VESPRIL::PublicarSlots() {
  std::array<bool, kSlots + 1> ligado{};
  std::array<int, kSlots + 1> dialeto{};
  for (int n = 1; n <= kSlots; ++n) {
    const BaseDados& base = Slot(n).baseDados;
    ligado[n] = base.Connected() || base.Lost();
    dialeto[n] = base.SQLDialect();
    // A server that hit the time limit: its idle read connections are cut off, since no read will
    // wait on it until it answers again.
    if (base.Lost() && m_religador->Perdido(n, base.DatabaseName(), base.LostError(), base.LostTimedOut())) {
      m_leitura->Descartar(n, true);
    }
  }
  MutexLock trava(m_trava);
  m_slotLigado = ligado;
  m_slotDialeto = dialeto;
}

}  // namespace vespril
