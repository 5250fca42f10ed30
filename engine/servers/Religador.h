// Religador: attaches again, in the background, the slot of a server whose link was lost, so that the
// gateway rides out a server's restart without the operator. The engine owns one; it holds, for each
// of the ten slots, the server bound there and how it stands.
//
// A slot found lost (by the write lane, or by a read script on one of the server's read connections)
// is attached again by a thread of the Religador's own for that slot, first 0.5 s after the loss, then
// at intervals that double up to 30 s. What it attaches waits here until the slot is next used (Retomar),
// since only the write lane and the threads it waits for touch the slots (see
// engine/servers/SlotConexao.h). The thread using a lost slot before that takes the attachment made
// meanwhile, or the outcome of the attempt under way, or makes the attempt itself: so the first request
// after the server is back succeeds, and while it is away requests fail with the client's text. A server
// that gave no answer within the time limit (see fb::Watchdog) is silent: no request waits on it again,
// each fails at once with that failure, until the background finds it answering. A server that could not be
// attached when it was bound (at start-up) is away from the start and healed the same way (Ausente).
// Binding the slot again (Vincular, when a window operation attaches, detaches or renumbers the servers)
// ends its healing: what an attempt under way brings back is dropped.
//
// Thread-safe: Vincular and Ausente from the write lane (or start-up), Retomar from the thread using the
// slot, Perdido and Respondeu from any worker, Presentes and Silencio from any thread. Every attachment
// made here is bounded by the watchdog's limit, which bounds the wait of the destructor for an attempt
// under way too.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "components/Slots.h"
#include "foundation/ThreadAnnotations.h"
#include "panel/Painel.h"
#include "servers/Credenciais.h"

namespace vespril {

namespace fb {
class Attachment;
class Watchdog;
}  // namespace fb

class Religador {
 public:
  static constexpr std::chrono::milliseconds kPrimeiraEspera{500};
  static constexpr std::chrono::milliseconds kMaiorEspera{30000};

  // Each server is attached with its credentials; they must outlive this.
  Religador(const Credenciais& credenciais, fb::Watchdog& vigia, Painel& painel);
  ~Religador();  // stops; waits for an attempt under way (at most the time limit)
  Religador(const Religador&) = delete;
  Religador& operator=(const Religador&) = delete;

  // Slot n (1-based) was bound to server `nome` at `endereco` ("" for none) and is attached or not,
  // `erro` saying why not. Ends what healing it had. The write lane.
  void Vincular(int n, const std::string& nome, const std::string& endereco, bool ligado,
                const std::string& erro);
  // Slot n was bound to `nome` at `endereco` and could not be attached (`erro`; `silencioso` when no
  // answer came within the limit): it is away, and attached in the background as a lost one is.
  void Ausente(int n, const std::string& nome, const std::string& endereco, const std::string& erro,
               bool silencioso);
  // The link of slot n was found lost, with the client's text (`silencioso`: a call on it hit the time
  // limit): it is attached again in the background. Bound elsewhere than `endereco`, nothing; already
  // being healed, it only learns that the server is silent. True when the server has just been found
  // silent. Any worker.
  bool Perdido(int n, const std::string& endereco, const std::string& erro, bool silencioso = false);
  // The thread about to use lost slot n: the attachment made meanwhile (waiting for an attempt
  // under way), else one made now on this thread. Throws at once while the server is silent, the
  // failure of the attempt it waited for, or the client's text of attaching now.
  std::unique_ptr<fb::Attachment> Retomar(int n, const std::string& erro);
  // The slots a request may be sent to: bound, and neither lost nor away (an attachment made in the
  // background and not yet taken counts as there). [0] is unused.
  std::array<bool, kSlots + 1> Presentes();
  // The failure of slot n's server while it is silent (a request must not wait on it); "" otherwise.
  std::string Silencio(int n);
  // Something else reached slot n's server (a read attached to it): if it is away and not being
  // tried, it is tried now rather than at its next turn. Any worker.
  void Respondeu(int n);

  // Called when the server of slot n answers again after it was away, lost or silent, once the
  // attachment that found it is made: on the healer's thread or the one that called Retomar, outside
  // this object's lock. The write lane is not held for it, so whatever it does on the server goes
  // through the engine.
  // Set before the first server is bound; must not throw.
  std::function<void(int n)> OnReligado;

 private:
  struct Slot {
    std::string nome;
    std::string endereco;
    EstadoServidor estado = EstadoServidor::Livre;
    std::string erro;
    unsigned geracao = 0;  // a binding's number: an attempt begun under an older one is dropped
    bool tentando = false;
    bool silencioso = false;  // a call or the last attempt found no answer within the limit
    std::unique_ptr<fb::Attachment> pronta;
    std::chrono::steady_clock::time_point proxima;
    std::chrono::milliseconds espera = kPrimeiraEspera;
    std::condition_variable mudou;
    std::thread linha;  // started at the slot's first loss
  };

  void Laco(int n);
  // Marks slot n lost and wakes its thread (starting it the first time).
  void Perder(int n, const std::string& erro, bool silencioso) REQUIRES(m_mutex);
  void Religado(int n) noexcept;
  // An attempt's outcome into slot n's state, unless the slot was bound again meanwhile.
  void Desfecho(int n, unsigned geracao, bool ok, const std::string& erro, bool silencioso) REQUIRES(m_mutex);
  void Publicar(int n) REQUIRES(m_mutex);
  std::unique_ptr<fb::Attachment> Anexar(const std::string& nome, const std::string& endereco);

  const Credenciais& m_credenciais;
  fb::Watchdog& m_vigia;
  Painel& m_painel;
  Mutex m_mutex;
  std::array<Slot, kSlots + 1> m_slots GUARDED_BY(m_mutex);  // [1..10], and each field of each
  bool m_parar GUARDED_BY(m_mutex) = false;
};

}  // namespace vespril
