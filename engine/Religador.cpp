#include "engine/Religador.h"

#include <algorithm>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbError.h"

namespace vespril {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kReligando[] = "O servidor est\xE1 sendo religado";

}  // namespace

Religador::Religador(const Credenciais& credenciais, fb::Watchdog& vigia, Painel& painel)
    : m_credenciais(credenciais), m_vigia(vigia), m_painel(painel) {}

Religador::~Religador() {
  {
    std::lock_guard trava(m_mutex);
    m_parar = true;
  }
  for (Slot& slot : m_slots) slot.mudou.notify_all();
  for (Slot& slot : m_slots) {
    if (slot.linha.joinable()) slot.linha.join();
  }
}

std::unique_ptr<fb::Attachment> Religador::Anexar(const std::string& nome, const std::string& endereco) {
  const Credenciais::Acesso& acesso = m_credenciais.Para(nome);
  return std::make_unique<fb::Attachment>(endereco, acesso.usuario, acesso.senha, &m_vigia);
}

void Religador::Vincular(int n, const std::string& nome, const std::string& endereco, bool ligado,
                         const std::string& erro) {
  std::unique_ptr<fb::Attachment> sobra;  // detached outside the lock
  {
    std::lock_guard trava(m_mutex);
    Slot& slot = m_slots.at(static_cast<size_t>(n));
    ++slot.geracao;
    sobra = std::move(slot.pronta);
    slot.nome = nome;
    slot.endereco = endereco;
    slot.estado = endereco.empty() ? EstadoServidor::Livre
                  : ligado         ? EstadoServidor::Ligado
                                   : EstadoServidor::Desligado;
    slot.erro = erro;
    slot.silencioso = false;
    slot.espera = kPrimeiraEspera;
    Publicar(n);
  }
}

void Religador::Perdido(int n, const std::string& endereco, const std::string& erro) {
  std::lock_guard trava(m_mutex);
  const Slot& slot = m_slots.at(static_cast<size_t>(n));
  if (slot.estado != EstadoServidor::Ligado || slot.endereco != endereco || slot.pronta) return;
  Perder(n, erro);
}

void Religador::Perder(int n, const std::string& erro) {
  Slot& slot = m_slots[static_cast<size_t>(n)];
  slot.estado = EstadoServidor::Perdido;
  slot.erro = erro;
  slot.espera = kPrimeiraEspera;
  slot.proxima = Clock::now() + kPrimeiraEspera;
  Publicar(n);
  if (!slot.linha.joinable()) {
    try {
      slot.linha = std::thread([this, n] { Laco(n); });
    } catch (...) {
      // Without a thread of its own the slot is attached again by the next request that needs it.
    }
  }
  slot.mudou.notify_all();
}

std::unique_ptr<fb::Attachment> Religador::Retomar(int n, const std::string& erro) {
  std::string nome;
  std::string endereco;
  unsigned geracao = 0;
  {
    std::unique_lock trava(m_mutex);
    Slot& slot = m_slots.at(static_cast<size_t>(n));
    if (slot.estado == EstadoServidor::Ligado && !slot.pronta) Perder(n, erro);
    // An attempt under way ends within the time limit (at once, while the server refuses): its
    // outcome is this request's.
    const bool esperou = slot.tentando;
    slot.mudou.wait(trava, [&] { return !slot.tentando || m_parar; });
    if (slot.pronta) {
      slot.estado = EstadoServidor::Ligado;
      Publicar(n);
      return std::move(slot.pronta);
    }
    if (esperou || m_parar || (slot.silencioso && Clock::now() < slot.proxima)) {
      throw Error(slot.erro.empty() ? kReligando : slot.erro);
    }
    slot.tentando = true;
    nome = slot.nome;
    endereco = slot.endereco;
    geracao = slot.geracao;
  }
  m_painel.Tentativa(n);
  try {
    std::unique_ptr<fb::Attachment> anexo = Anexar(nome, endereco);
    std::lock_guard trava(m_mutex);
    Desfecho(n, geracao, true, "", false);
    return anexo;
  } catch (const std::exception& e) {
    const auto* fbErro = dynamic_cast<const fb::FbError*>(&e);
    std::lock_guard trava(m_mutex);
    Desfecho(n, geracao, false, e.what(), fbErro != nullptr && fbErro->TimedOut());
    throw;
  }
}

void Religador::Desfecho(int n, unsigned geracao, bool ok, const std::string& erro, bool silencioso) {
  Slot& slot = m_slots[static_cast<size_t>(n)];
  slot.tentando = false;
  if (slot.geracao != geracao) return;
  if (ok) {
    slot.estado = EstadoServidor::Ligado;
    slot.silencioso = false;
    slot.espera = kPrimeiraEspera;
  } else {
    slot.estado = EstadoServidor::Perdido;
    slot.erro = erro;
    slot.silencioso = silencioso;
    slot.proxima = Clock::now() + slot.espera;
    slot.espera = std::min(slot.espera * 2, kMaiorEspera);
  }
  Publicar(n);
  slot.mudou.notify_all();
}

void Religador::Laco(int n) {
  Slot& slot = m_slots[static_cast<size_t>(n)];
  std::unique_lock trava(m_mutex);
  for (;;) {
    const auto devida = [&] {
      return slot.estado == EstadoServidor::Perdido && !slot.tentando && !slot.pronta && Clock::now() >= slot.proxima;
    };
    while (!m_parar && !devida()) {
      if (slot.estado == EstadoServidor::Perdido && !slot.tentando && !slot.pronta) {
        slot.mudou.wait_until(trava, slot.proxima);
      } else {
        slot.mudou.wait(trava);
      }
    }
    if (m_parar) return;
    slot.tentando = true;
    slot.estado = EstadoServidor::Religando;
    Publicar(n);
    const std::string nome = slot.nome;
    const std::string endereco = slot.endereco;
    const unsigned geracao = slot.geracao;
    trava.unlock();
    m_painel.Tentativa(n);
    std::unique_ptr<fb::Attachment> anexo;
    std::string erro;
    bool silencioso = false;
    try {
      anexo = Anexar(nome, endereco);
    } catch (const fb::FbError& e) {
      erro = e.Message();
      silencioso = e.TimedOut();
    } catch (const std::exception& e) {
      erro = e.what();
    }
    trava.lock();
    const bool valida = slot.geracao == geracao && !m_parar;
    Desfecho(n, geracao, anexo != nullptr, erro, silencioso);
    if (anexo && valida) slot.pronta = std::move(anexo);
    if (anexo) {
      // Made for a binding that has gone: detached outside the lock.
      trava.unlock();
      anexo.reset();
      trava.lock();
    }
  }
}

void Religador::Publicar(int n) {
  const Slot& slot = m_slots[static_cast<size_t>(n)];
  m_painel.Servidor(n, SituacaoServidor{slot.nome, slot.endereco, slot.estado, slot.erro, 0,
                                        slot.endereco.empty() ? "" : m_credenciais.Para(slot.nome).fonte});
}

}  // namespace vespril
