// Agenda: decides when each request and window operation runs, and runs them on worker threads so
// that the GUI thread never waits on a database or a disk. Everything but the work itself happens on
// the GUI thread: tasks are queued there in arrival order, started there, and finished there.
//
// The rules, applied in arrival order:
//   - at most kMaximo tasks run at once on the workers;
//   - a write task runs alone among write tasks, in arrival order;
//   - tasks that name the same result file run in arrival order, never overlapping;
//   - an exclusive task (a window operation) waits for every running task, and every task that
//     arrives after it waits for it;
//   - anything else (a read) runs alongside anything.
// The engine keeps at most one request of a connection queued or running (the connection is marked
// busy meanwhile), which keeps its requests in order and its replies too.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>
#include <list>
#include <map>
#include <set>
#include <string>

#include <QObject>

namespace vespril {

class Agenda final : public QObject {
  Q_OBJECT

 public:
  static constexpr int kMaximo = 16;

  struct Tarefa {
    bool escrita = false;
    bool exclusiva = false;
    // On the GUI thread, at once, instead of on a worker: work that touches no database and no disk.
    bool imediata = false;
    std::string arquivo;  // the result file it names; "" for none
    std::function<void()> trabalho;  // on a worker (or at once)
    std::function<void()> concluir;  // then on the GUI thread; may queue further tasks
    std::function<void()> cancelar;  // instead of both, when it is dropped before it starts
  };

  Agenda();
  ~Agenda() override;  // waits for the running work; what was only queued is dropped

  void Enfileirar(Tarefa tarefa);
  // Tasks running on the workers.
  int Rodando() const { return m_rodando; }
  // From now on no task starts: those waiting are dropped (cancelled), and those that arrive later
  // too. The running ones go on; their completions still run.
  void Encerrar();

 private:
  void Admitir();
  void Iniciar(std::list<Tarefa>::iterator tarefa);
  void Concluir(uint64_t id);
  // Runs the completions the workers have handed over.
  void Recolher();

  // The worker threads: one from the start, more as work waits, up to kMaximo. A thread that can't be
  // made (out of memory, say) leaves the work queued for those there are, so nothing is lost.
  class Trabalhadores {
   public:
    Trabalhadores();
    ~Trabalhadores();  // runs what is queued, then joins
    void Executar(std::function<void()> trabalho);

   private:
    void Laco();
    std::mutex m_mutex;
    std::condition_variable m_trabalho;
    std::deque<std::function<void()>> m_fila;
    std::vector<std::thread> m_threads;
    int m_livres = 0;
    bool m_parar = false;
  };

  // Finished work, handed over under a lock of our own so that everything the work wrote is seen by
  // the completion (the event that wakes the GUI thread carries no such promise we could check).
  std::mutex m_mutexConcluidas;
  std::vector<uint64_t> m_concluidas;
  std::list<Tarefa> m_fila;
  std::map<uint64_t, Tarefa> m_emCurso;
  std::multiset<std::string> m_arquivos;  // of the tasks running
  uint64_t m_proximo = 0;
  int m_rodando = 0;
  bool m_escrita = false;
  bool m_exclusiva = false;
  bool m_admitindo = false;
  bool m_denovo = false;
  bool m_encerrado = false;
  Trabalhadores m_trabalhadores;  // last: its threads end before anything they use
};

}  // namespace vespril
