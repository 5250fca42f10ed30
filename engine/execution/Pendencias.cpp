#include "execution/Pendencias.h"

#include <QByteArray>

#include <algorithm>
#include <random>

#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"

namespace vespril {

namespace {

// What a group's transactions carry at the server, before the group's name.
constexpr std::string_view kMarca = "VESPRIL ";

// A limbo transaction's description as the database gives it: its bytes, or their hexadecimal form
// for a binary BLOB.
std::string Descricao(const std::string& texto) {
  if (texto.rfind(kMarca, 0) == 0) return texto;
  return QByteArray::fromHex(QByteArray::fromStdString(texto)).toStdString();
}

// The transactions in limbo with this program's mark on one attachment: their numbers and groups.
std::vector<std::pair<int64_t, std::string>> Limbo(fb::Attachment& attachment) {
  std::vector<std::pair<int64_t, std::string>> limbo;
  fb::Transaction leitura(attachment, fb::Transaction::Access::ReadOnly);
  fb::Statement consulta(attachment);
  consulta.Prepare(leitura,
                   "select RDB$TRANSACTION_ID, RDB$TRANSACTION_DESCRIPTION from RDB$TRANSACTIONS "
                   "where RDB$TRANSACTION_STATE = 1",
                   attachment.DatabaseDialect());
  consulta.OpenCursor(leitura);
  while (consulta.Fetch()) {
    const std::string descricao = Descricao(consulta.AsText(1));
    if (descricao.rfind(kMarca, 0) == 0)
      limbo.emplace_back(consulta.AsInt64(0), descricao.substr(kMarca.size()));
  }
  return limbo;
}

std::string Aleatorio() {
  std::random_device aleatorio;
  const uint64_t valor = (static_cast<uint64_t>(aleatorio()) << 32) | aleatorio();
  return QByteArray::number(static_cast<qulonglong>(valor), 16).toStdString();
}

}  // namespace

Pendencias::Pendencias(Acesso acesso, fb::Watchdog* vigia) : m_acesso(std::move(acesso)), m_vigia(vigia) {
  m_conteudo = m_registro.Lido();
  m_inicioSujo = m_registro.Existia() && !m_conteudo.limpo;
  if (m_conteudo.espaco.empty()) m_conteudo.espaco = Aleatorio();
  m_execucao = Aleatorio();
  m_linha = std::thread([this] { Laco(); });
}

Pendencias::~Pendencias() {
  {
    MutexLock trava(m_mutex);
    m_parar = true;
  }
  m_mudou.notify_all();
  m_linha.join();
}

void Pendencias::Iniciar(const std::vector<std::string>& configurados,
                         const std::vector<std::string>& presentes) {
  std::vector<std::string> visitar = configurados;
  {
    MutexLock trava(m_mutex);
    std::vector<std::pair<std::string, std::string>> decididos;
    for (const auto& [grupo, endereco] : m_conteudo.decididos) {
      if (!endereco.empty()) {
        decididos.emplace_back(grupo, endereco);
        visitar.push_back(endereco);
        continue;
      }
      for (const std::string& cada : configurados) decididos.emplace_back(grupo, cada);
    }
    m_conteudo.decididos = std::move(decididos);
  }
  std::sort(visitar.begin(), visitar.end());
  visitar.erase(std::unique(visitar.begin(), visitar.end()), visitar.end());
  for (const std::string& endereco : visitar) {
    // A server that is away is not waited on here.
    const bool presente = std::find(presentes.begin(), presentes.end(), endereco) != presentes.end();
    if (!presente || VisitarAgora(endereco) < 0) Pendente(endereco);
  }
}

std::string Pendencias::NovoGrupo() {
  MutexLock trava(m_mutex);
  return m_conteudo.espaco + ":" + m_execucao + "." + std::to_string(m_proximo++);
}

void Pendencias::EmCurso(const std::string& grupo) {
  MutexLock trava(m_mutex);
  m_emCurso = grupo;
}

void Pendencias::Decidir(const std::string& grupo, const std::vector<std::string>& enderecos,
                         RegistroGrupos::Copia copia) {
  MutexLock trava(m_mutex);
  m_conteudo.copia = std::move(copia);
  const size_t antes = m_conteudo.decididos.size();
  for (const std::string& endereco : enderecos) m_conteudo.decididos.emplace_back(grupo, endereco);
  try {
    Gravar();
    return;
  } catch (const RegistroGrupos::NaoGravado&) {
    m_conteudo.decididos.resize(antes);
    throw;
  } catch (const RegistroGrupos::Incerto&) {
    // The disk may hold the decision: from here the group is decided, and written again to be sure.
  }
  try {
    Gravar();
  } catch (const Error&) {
    // Kept decided in memory; the next record carries it.
  }
}

void Pendencias::Registrar(RegistroGrupos::Copia copia) {
  MutexLock trava(m_mutex);
  m_conteudo.copia = std::move(copia);
  Gravar();
}

void Pendencias::Feito(const std::string& grupo, const std::string& endereco) {
  MutexLock trava(m_mutex);
  std::erase(m_conteudo.decididos, std::pair(grupo, endereco));
}

void Pendencias::Pendente(const std::string& endereco) {
  {
    MutexLock trava(m_mutex);
    ++m_visitar[endereco];
  }
  m_mudou.notify_all();
}

bool Pendencias::Concluir(const std::string& endereco) { return VisitarAgora(endereco) >= 0; }

void Pendencias::Sujar(RegistroGrupos::Copia copia) {
  MutexLock trava(m_mutex);
  if (m_sujo) return;
  m_conteudo.limpo = false;
  m_conteudo.copia = std::move(copia);
  Gravar();
  m_sujo = true;
}

bool Pendencias::Escreveu() {
  MutexLock trava(m_mutex);
  return m_sujo;
}

bool Pendencias::Existe() {
  MutexLock trava(m_mutex);
  return m_registro.Existia();
}

void Pendencias::Encerrar(RegistroGrupos::Copia copia) noexcept {
  MutexLock trava(m_mutex);
  if (!m_sujo) return;
  m_conteudo.limpo = true;
  m_conteudo.copia = std::move(copia);
  try {
    Gravar();
  } catch (...) {
    // The next start takes this run's end for a crash, and counts again: nothing is lost.
  }
}

RegistroGrupos::Conteudo Pendencias::Registro() {
  MutexLock trava(m_mutex);
  return m_conteudo;
}

int Pendencias::Visitar(const std::string& endereco, fb::Attachment& attachment) {
  int terminadas = 0;
  for (const auto& [numero, grupo] : Limbo(attachment)) {
    bool confirmar = false;
    {
      MutexLock trava(m_mutex);
      if (!Nosso(grupo) || grupo == m_emCurso) continue;
      confirmar = std::find(m_conteudo.decididos.begin(), m_conteudo.decididos.end(),
                            std::pair(grupo, endereco)) != m_conteudo.decididos.end();
    }
    fb::Transaction limbo = fb::Transaction::Reconnect(attachment, numero);
    if (confirmar) {
      limbo.Commit();
    } else {
      limbo.Rollback();
    }
    ++terminadas;
  }
  // Every decision for this server is seen through now, but the one in flight's.
  MutexLock trava(m_mutex);
  const size_t antes = m_conteudo.decididos.size();
  std::erase_if(m_conteudo.decididos, [&](const auto& decidido) REQUIRES(m_mutex) {
    return decidido.second == endereco && decidido.first != m_emCurso;
  });
  if (m_conteudo.decididos.size() != antes) {
    try {
      Gravar();
    } catch (const Error&) {
      // What stays on the disk names transactions that are ended: a later visit finds nothing.
    }
  }
  return terminadas;
}

int Pendencias::VisitarAgora(const std::string& endereco) {
  uint64_t pedidas = 0;
  {
    MutexLock trava(m_mutex);
    if (const auto it = m_visitar.find(endereco); it != m_visitar.end()) pedidas = it->second;
  }
  int terminadas = 0;
  try {
    const auto [usuario, senha] = m_acesso(endereco);
    fb::Attachment attachment(endereco, usuario, senha, m_vigia);
    terminadas = Visitar(endereco, attachment);
  } catch (const Error&) {
    return -1;
  }
  MutexLock trava(m_mutex);
  if (const auto it = m_visitar.find(endereco); it != m_visitar.end() && it->second == pedidas)
    m_visitar.erase(it);
  return terminadas;
}

void Pendencias::Laco() {
  UniqueLock trava(m_mutex);
  while (!m_parar) {
    if (m_visitar.empty()) {
      m_espera = kPrimeiraEspera;
      m_mudou.wait(trava.Native(), [this]() REQUIRES(m_mutex) { return m_parar || !m_visitar.empty(); });
      continue;
    }
    // The wait's length is copied: a Pendente meanwhile does not change how long this one waits.
    const auto ate = std::chrono::steady_clock::now() + m_espera;
    m_mudou.wait_until(trava.Native(), ate, [this]() REQUIRES(m_mutex) { return m_parar; });
    if (m_parar) break;
    std::vector<std::string> enderecos;
    for (const auto& [endereco, vezes] : m_visitar) enderecos.push_back(endereco);
    trava.unlock();
    bool todas = true;
    for (const std::string& endereco : enderecos) todas = VisitarAgora(endereco) >= 0 && todas;
    trava.lock();
    m_espera = todas ? kPrimeiraEspera : std::min(m_espera * 2, kMaiorEspera);
  }
}

void Pendencias::Gravar() { m_registro.Gravar(m_conteudo); }

bool Pendencias::Nosso(const std::string& grupo) const {
  // Names of the older layout carry no workspace mark; only this program made them.
  return grupo.rfind(m_conteudo.espaco + ":", 0) == 0 || grupo.find(':') == std::string::npos;
}

}  // namespace vespril
