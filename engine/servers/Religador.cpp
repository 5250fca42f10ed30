#include "servers/Religador.h"

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
    MutexLock trava(m_mutex);
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
    MutexLock trava(m_mutex);
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

void Religador::Ausente(int n, const std::string& nome, const std::string& endereco, const std::string& erro,
                        bool silencioso) {
  std::unique_ptr<fb::Attachment> sobra;  // detached outside the lock
  MutexLock trava(m_mutex);
  Slot& slot = m_slots.at(static_cast<size_t>(n));
  ++slot.geracao;
  sobra = std::move(slot.pronta);
  slot.nome = nome;
  slot.endereco = endereco;
  Perder(n, erro, silencioso);
}

bool Religador::Perdido(int n, const std::string& endereco, const std::string& erro, bool silencioso) {
  MutexLock trava(m_mutex);
  Slot& slot = m_slots.at(static_cast<size_t>(n));
  if (slot.endereco != endereco || slot.pronta) return false;
  if (slot.estado == EstadoServidor::Ligado) {
    Perder(n, erro, silencioso);
    return silencioso;
  }
  if (!silencioso || slot.silencioso ||
      (slot.estado != EstadoServidor::Perdido && slot.estado != EstadoServidor::Religando)) {
    return false;
  }
  slot.silencioso = true;
  slot.erro = erro;
  Publicar(n);
  return true;
}

void Religador::Perder(int n, const std::string& erro, bool silencioso) {
  Slot& slot = m_slots[static_cast<size_t>(n)];
  slot.estado = EstadoServidor::Perdido;
  slot.erro = erro;
  slot.silencioso = silencioso;
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

std::array<bool, kSlots + 1> Religador::Presentes() {
  std::array<bool, kSlots + 1> presentes{};
  MutexLock trava(m_mutex);
  for (int n = 1; n <= kSlots; ++n) {
    const Slot& slot = m_slots[static_cast<size_t>(n)];
    presentes[n] = slot.estado == EstadoServidor::Ligado || slot.pronta != nullptr;
  }
  return presentes;
}

std::string Religador::Silencio(int n) {
  MutexLock trava(m_mutex);
  const Slot& slot = m_slots.at(static_cast<size_t>(n));
  if (!slot.silencioso || slot.pronta || slot.estado == EstadoServidor::Ligado) return "";
  return slot.erro.empty() ? kReligando : slot.erro;
}

void Religador::Respondeu(int n) {
  MutexLock trava(m_mutex);
  Slot& slot = m_slots.at(static_cast<size_t>(n));
  if (slot.estado != EstadoServidor::Perdido || slot.tentando || slot.pronta) return;
  slot.proxima = Clock::now();
  slot.mudou.notify_all();
}

void Religador::Religado(int n) noexcept {
  try {
    if (OnReligado) OnReligado(n);
  } catch (...) {
  }
}

std::unique_ptr<fb::Attachment> Religador::Retomar(int n, const std::string& erro) {
  std::string nome;
  std::string endereco;
  unsigned geracao = 0;
  {
    UniqueLock trava(m_mutex);
    Slot& slot = m_slots.at(static_cast<size_t>(n));
    // Found lost by a call that hit the time limit (its text is the watchdog's): the server is silent.
    if (slot.estado == EstadoServidor::Ligado && !slot.pronta) Perder(n, erro, erro == m_vigia.Message());
    // A silent server is not waited on: the background finds out when it answers.
    if (slot.silencioso && !slot.pronta) throw Error(slot.erro.empty() ? kReligando : slot.erro);
    // An attempt under way ends at once while the server refuses: its outcome is this request's.
    const bool esperou = slot.tentando;
    slot.mudou.wait(trava.Native(), [&]() REQUIRES(m_mutex) { return !slot.tentando || m_parar; });
    if (slot.pronta) {
      slot.estado = EstadoServidor::Ligado;
      Publicar(n);
      return std::move(slot.pronta);
    }
    if (esperou || m_parar || slot.silencioso) {
      throw Error(slot.erro.empty() ? kReligando : slot.erro);
    }
    slot.tentando = true;
    nome = slot.nome;
    endereco = slot.endereco;
    geracao = slot.geracao;
  }
  m_painel.Tentativa(n);
  std::unique_ptr<fb::Attachment> anexo;
  try {
    anexo = Anexar(nome, endereco);
  } catch (const std::exception& e) {
    const auto* fbErro = dynamic_cast<const fb::FbError*>(&e);
    MutexLock trava(m_mutex);
    Desfecho(n, geracao, false, e.what(), fbErro != nullptr && fbErro->TimedOut());
    throw;
  }
  {
    MutexLock trava(m_mutex);
    Desfecho(n, geracao, true, "", false);
  }
  Religado(n);
  return anexo;
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
  UniqueLock trava(m_mutex);
  Slot& slot = m_slots[static_cast<size_t>(n)];
  for (;;) {
    const auto devida = [&] {
      return slot.estado == EstadoServidor::Perdido && !slot.tentando && !slot.pronta &&
             Clock::now() >= slot.proxima;
    };
    while (!m_parar && !devida()) {
      if (slot.estado == EstadoServidor::Perdido && !slot.tentando && !slot.pronta) {
        slot.mudou.wait_until(trava.Native(), slot.proxima);
      } else {
        slot.mudou.wait(trava.Native());
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
    if (anexo && valida) {
      slot.pronta = std::move(anexo);
      trava.unlock();
      Religado(n);
      trava.lock();
    }
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
