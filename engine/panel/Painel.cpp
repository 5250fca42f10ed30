#include "panel/Painel.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include <QLoggingCategory>
#include <QString>

#include "foundation/Text.h"
#include "panel/Metricas.h"

namespace vespril {

namespace {

Q_LOGGING_CATEGORY(lcPedidos, "vespril.requests", QtInfoMsg)
Q_LOGGING_CATEGORY(lcServidores, "vespril.servers", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSoquete, "vespril.listener", QtInfoMsg)

constexpr size_t kInstrucoesContadas = 8;     // statements a line tells by kind and table
constexpr size_t kMaiorLinhaGuardada = 4096;  // the status window keeps no more of a line
constexpr std::chrono::milliseconds kIntervaloEscrita{100};
constexpr int kPrioridadeEscrita = 10;  // nice value of the log's thread

struct ContaDaLinha {
  Painel* painel = nullptr;
  int64_t* linhas = nullptr;
  int64_t* bytes = nullptr;
};
thread_local ContaDaLinha t_conta;

// "2024-05-01 12:00:00.123", local time.
std::string Hora(std::chrono::system_clock::time_point quando) {
  const std::time_t segundos = std::chrono::system_clock::to_time_t(quando);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(quando.time_since_epoch()).count() % 1000;
  std::tm partes{};
  localtime_r(&segundos, &partes);
  char texto[40];
  const size_t n = std::strftime(texto, sizeof texto, "%Y-%m-%d %H:%M:%S", &partes);
  std::snprintf(texto + n, sizeof texto - n, ".%03d", static_cast<int>(ms));
  return texto;
}

// A field between double quotes, with quotes, backslashes and control bytes escaped, so that a line
// is one line and its fields can be told apart whatever a client sends.
void Citar(std::string& linha, std::string_view valor) {
  linha += '"';
  for (const char c : valor) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      linha += '\\';
      linha += c;
    } else if (c == '\r') {
      linha += "\\r";
    } else if (c == '\n') {
      linha += "\\n";
    } else if (byte < 32 || byte == 127) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      linha += escape;
    } else {
      linha += c;
    }
  }
  linha += '"';
}

bool Palavra(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$' || c == '"';
}

// The words of a statement, literals skipped: a quoted string holds values, never names.
std::vector<std::string> Palavras(std::string_view instrucao, size_t quantas) {
  std::vector<std::string> palavras;
  size_t i = 0;
  while (i < instrucao.size() && palavras.size() < quantas) {
    const char c = instrucao[i];
    if (c == '\'') {
      const size_t fim = instrucao.find('\'', i + 1);
      i = fim == std::string_view::npos ? instrucao.size() : fim + 1;
    } else if (Palavra(c)) {
      const size_t inicio = i;
      while (i < instrucao.size() && Palavra(instrucao[i])) ++i;
      palavras.push_back(std::string(instrucao.substr(inicio, std::min<size_t>(i - inicio, 63))));
    } else {
      ++i;
    }
  }
  return palavras;
}

// "insert PEDIDO": the statement's first word and the table it names, when its kind says where.
std::string Resumir(std::string_view instrucao) {
  const std::vector<std::string> palavras = Palavras(instrucao, 64);
  if (palavras.empty()) return "(vazia)";
  const std::string tipo = LowerAscii(palavras[0]);
  const char* antes = tipo == "insert"                       ? "into"
                      : tipo == "select" || tipo == "delete" ? "from"
                      : tipo == "update"                     ? "update"
                                                             : nullptr;
  if (antes != nullptr) {
    for (size_t i = 0; i + 1 < palavras.size(); ++i) {
      if (LowerAscii(palavras[i]) == antes) return tipo + " " + palavras[i + 1];
    }
  }
  return tipo;
}

}  // namespace

const char* NomeTipo(TipoPedido tipo) {
  switch (tipo) {
    case TipoPedido::Consulta:
      return "consulta";
    case TipoPedido::Escrita:
      return "escrita";
    case TipoPedido::Baixar:
      return "Baixar";
    case TipoPedido::Deletar:
      return "Deletar";
    case TipoPedido::Recusado:
      return "recusado";
  }
  return "";
}

const char* NomeEstado(EstadoServidor estado) {
  switch (estado) {
    case EstadoServidor::Livre:
      return "livre";
    case EstadoServidor::Desligado:
      return "desligado";
    case EstadoServidor::Ligado:
      return "ligado";
    case EstadoServidor::Perdido:
      return "perdido";
    case EstadoServidor::Religando:
      return "religando";
  }
  return "";
}

std::string ResumirScript(std::string_view script, bool inteiro) {
  if (inteiro) {
    std::string texto;
    Citar(texto, script);
    return texto;
  }
  // Statements end at ";", as the executor cuts them; text after the last one never runs.
  const auto total = static_cast<size_t>(std::count(script.begin(), script.end(), ';'));
  std::string texto = std::to_string(total);
  size_t inicio = 0;
  for (size_t i = 0; i < std::min(total, kInstrucoesContadas); ++i) {
    const size_t fim = script.find(';', inicio);
    texto += i == 0 ? ": " : "; ";
    texto += Resumir(script.substr(inicio, fim - inicio));
    inicio = fim + 1;
  }
  if (total > kInstrucoesContadas) texto += "; ...";
  return texto;
}

Painel::Painel() {
  m_instrucoesInteiras = qgetenv("VESPRIL_REGISTRO_SQL") == "1";
  const QByteArray endereco = qgetenv("VESPRIL_METRICAS");
  if (!endereco.isEmpty()) {
    try {
      m_metricas = std::make_unique<Metricas>(endereco.toStdString());
      m_metricasEndereco = m_metricas->Endereco();
    } catch (const std::exception& e) {
      m_metricasFalha =
          "As m\xE9tricas n\xE3o puderam ser servidas em " + endereco.toStdString() + ": " + e.what();
    }
  }
  m_escritor = std::thread([this] { Laco(); });
  if (!m_metricasEndereco.empty()) Soquete("m\xE9tricas em http://" + m_metricasEndereco + "/metrics");
  if (!m_metricasFalha.empty()) Soquete(m_metricasFalha);
}

Painel::~Painel() {
  {
    MutexLock trava(m_mutex);
    m_parar = true;
  }
  m_haLinhas.notify_all();
  m_escritor.join();
}

void Painel::Enfileirado() noexcept { Contar(1, 0); }
void Painel::Iniciado() noexcept { Contar(-1, 1); }
void Painel::Cancelado() noexcept { Contar(-1, 0); }

void Painel::Contar(int fila, int rodando) noexcept {
  if (!m_metricas) {
    m_fila += fila;
    m_rodando += rodando;
    return;
  }
  // Counted and published together, so that the gauges end as the counts do.
  MutexLock trava(m_mutexContagem);
  m_metricas->Fila(m_fila += fila);
  m_metricas->Rodando(m_rodando += rodando);
}

void Painel::Concluido(RelatoPedido relato) noexcept {
  Contar(0, -1);
  if (m_metricas) m_metricas->Pedido(relato.tipo, relato.falha.empty(), relato.segundos);
  if (!lcPedidos().isInfoEnabled()) return;
  try {
    // Formatted by the log's thread: a request pays for a move and a push.
    Enfileirar(Pendente{Categoria::Pedidos, {}, std::move(relato)}, false);
  } catch (...) {
    // Short of memory the line is lost; the request went on regardless.
  }
}

std::string Painel::Formatar(const RelatoPedido& relato, std::chrono::system_clock::time_point quando) {
  std::string linha = Hora(quando);
  linha += ' ';
  linha += relato.par.empty() ? "-" : relato.par;
  linha += " Cliente=";
  Citar(linha, relato.cliente);
  linha += " Pedido=";
  Citar(linha, relato.pedido);
  linha += ' ';
  linha += NomeTipo(relato.tipo);
  if (!relato.instrucoes.empty()) {
    linha += " instrucoes=";
    linha += relato.instrucoes;
  }
  linha += " linhas=" + std::to_string(relato.linhas);
  char duracao[32];
  std::snprintf(duracao, sizeof duracao, " %.3f ms ", relato.segundos * 1000);
  linha += duracao;
  if (relato.falha.empty()) {
    linha += "ok";
  } else {
    linha += "falha=";
    Citar(linha, relato.falha);
  }
  return linha;
}

void Painel::Conexoes(int quantas) noexcept {
  m_conexoes = quantas;
  if (m_metricas) m_metricas->Conexoes(quantas);
}

void Painel::Soquete(const std::string& evento) noexcept {
  if (!lcSoquete().isInfoEnabled()) return;
  try {
    Enfileirar(Pendente{Categoria::Soquete, evento, {}}, true);
  } catch (...) {
  }
}

void Painel::Nota(const std::string& texto) noexcept {
  if (!lcServidores().isInfoEnabled()) return;
  try {
    Enfileirar(Pendente{Categoria::Servidores, Hora(std::chrono::system_clock::now()) + " " + texto, {}},
               true);
  } catch (...) {
  }
}

void Painel::Servidor(int n, const SituacaoServidor& situacao) noexcept {
  if (n < 1 || n > kSlots) return;
  try {
    bool mudou = false;
    {
      MutexLock trava(m_mutex);
      SituacaoServidor& antes = m_servidores[static_cast<size_t>(n)];
      mudou = antes.estado != situacao.estado || antes.nome != situacao.nome ||
              antes.endereco != situacao.endereco;
      const int64_t tentativas = antes.tentativas;
      antes = situacao;
      antes.tentativas = tentativas;
    }
    if (m_metricas) m_metricas->Servidor(n, situacao.nome, situacao.estado);
    if (!mudou || !lcServidores().isInfoEnabled()) return;
    std::string linha = "slot " + std::to_string(n) + " ";
    Citar(linha, situacao.nome);
    linha += " ";
    linha += NomeEstado(situacao.estado);
    if (!situacao.endereco.empty()) {
      linha += " endereco=";
      Citar(linha, situacao.endereco);
    }
    if (!situacao.credenciais.empty()) {
      linha += " credenciais=";
      Citar(linha, situacao.credenciais);
    }
    if (!situacao.erro.empty() && situacao.estado != EstadoServidor::Ligado) {
      linha += " erro=";
      Citar(linha, situacao.erro);
    }
    Enfileirar(Pendente{Categoria::Servidores, std::move(linha), {}}, true);
  } catch (...) {
  }
}

void Painel::Aviso(const std::string& texto) noexcept {
  if (!lcServidores().isInfoEnabled()) return;
  try {
    Enfileirar(Pendente{Categoria::Servidores, Hora(std::chrono::system_clock::now()) + " " + texto, {}},
               true);
  } catch (...) {
  }
}

void Painel::Tentativa(int n) noexcept {
  if (n < 1 || n > kSlots) return;
  std::string nome;
  try {
    MutexLock trava(m_mutex);
    ++m_servidores[static_cast<size_t>(n)].tentativas;
    if (m_metricas) nome = m_servidores[static_cast<size_t>(n)].nome;
  } catch (...) {
  }
  if (m_metricas) m_metricas->Tentativa(nome);
}

void Painel::Roteada(int n, const std::string& tabela) noexcept {
  if (!m_metricas || n < 1 || n > kSlots) return;
  try {
    std::string nome;
    {
      MutexLock trava(m_mutex);
      nome = m_servidores[static_cast<size_t>(n)].nome;
    }
    m_metricas->Roteada(nome, tabela);
  } catch (...) {
  }
}

void Painel::Rota(const std::string& servidor, const std::string& tabela) noexcept {
  if (m_metricas) m_metricas->Conhecer(servidor, tabela);
}

Painel::Retrato Painel::Instantaneo(uint64_t& desde) const {
  Retrato retrato;
  retrato.fila = std::max(0, m_fila.load());
  retrato.rodando = std::max(0, m_rodando.load());
  retrato.conexoes = m_conexoes.load();
  MutexLock trava(m_mutex);
  retrato.servidores = m_servidores;
  const uint64_t novas = std::min<uint64_t>(m_numero - std::min(desde, m_numero), m_guardadas.size());
  retrato.linhas.assign(m_guardadas.end() - static_cast<std::ptrdiff_t>(novas), m_guardadas.end());
  desde = m_numero;
  return retrato;
}

Painel::Conta::Conta(Painel& painel, int64_t& linhas, int64_t& bytes) noexcept {
  t_conta = ContaDaLinha{&painel, &linhas, &bytes};
}

Painel::Conta::~Conta() { t_conta = ContaDaLinha{}; }

void Painel::ContarResultado(int64_t linhas, int64_t bytes) noexcept {
  if (t_conta.painel == nullptr) return;
  *t_conta.linhas += linhas;
  *t_conta.bytes += bytes;
  if (t_conta.painel->m_metricas) t_conta.painel->m_metricas->BytesResultado(bytes);
}

void Painel::Enfileirar(Pendente pendente, bool agora) {
  {
    MutexLock trava(m_mutex);
    if (m_pendentes.size() >= kLinhasPendentes) {
      ++m_descartadas;
      return;
    }
    // Taken under the lock, so the times of the queue never go back.
    pendente.quando = std::chrono::system_clock::now();
    m_pendentes.push_back(std::move(pendente));
  }
  if (agora) m_haLinhas.notify_one();
}

void Painel::Laco() {
  static constexpr const char* kPrefixos[] = {
      "vespril.requests: ", "vespril.servers: ", "vespril.listener: "};
  // The log gives way to the requests it tells of: on a busy machine its lines wait, not the replies.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kPrioridadeEscrita);
  std::deque<Pendente> lote;
  UniqueLock trava(m_mutex);
  for (;;) {
    // Request lines wait for the next turn and go out together; events wake the thread at once.
    m_haLinhas.wait_for(trava.Native(), kIntervaloEscrita,
                        [this]() REQUIRES(m_mutex) { return m_parar || !m_pendentes.empty(); });
    if (m_pendentes.empty() && m_parar) return;
    lote.swap(m_pendentes);
    const uint64_t descartadas = std::exchange(m_descartadas, 0);
    trava.unlock();
    std::vector<std::string> guardadas;
    try {
      if (descartadas > 0)
        qCWarning(lcPedidos).noquote() << descartadas << "linhas descartadas (registro atrasado)";
      for (Pendente& pendente : lote) {
        pendente.linha = pendente.relato ? Formatar(*pendente.relato, pendente.quando)
                                         : Hora(pendente.quando) + " " + pendente.linha;
        const QLoggingCategory& categoria = pendente.categoria == Categoria::Pedidos      ? lcPedidos()
                                            : pendente.categoria == Categoria::Servidores ? lcServidores()
                                                                                          : lcSoquete();
        qCInfo(categoria).noquote() << QString::fromLatin1(pendente.linha.data(),
                                                           static_cast<qsizetype>(pendente.linha.size()));
        guardadas.push_back(kPrefixos[static_cast<int>(pendente.categoria)] +
                            pendente.linha.substr(0, kMaiorLinhaGuardada));
      }
    } catch (...) {
      // Short of memory the rest of the batch is lost.
    }
    lote.clear();
    trava.lock();
    for (std::string& linha : guardadas) {
      if (m_guardadas.size() >= kLinhasGuardadas) m_guardadas.pop_front();
      m_guardadas.push_back(std::move(linha));
      ++m_numero;
    }
  }
}

}  // namespace vespril
