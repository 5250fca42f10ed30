// Request handling: the engine's handlers for the listener's client events. Each frame a connection
// delivers becomes one task of the agenda; its reply goes out on the GUI thread when the task ends, and
// only then is the connection's next frame taken. Runs on the GUI thread; the script itself runs on a
// worker. When it ends, its line goes to the request log (engine/panel/Painel.h).
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include <QPointer>

#include "gateway/RequestHandling.h"

#include "execution/ArquivoConsulta.h"
#include "foundation/Error.h"
#include "gateway/UVESPRIL.h"
#include "scheduler/Agenda.h"

namespace vespril {

namespace {

constexpr char kEcoRecusado[] = "Cliente ou Pedido inv\xE1lido para a resposta";
// A request whose outcome could not be told, as its log line says.
constexpr char kFechada[] = "Conex\xE3o fechada sem resposta";

// What a request's task leaves for its completion.
struct Desfecho {
  std::optional<std::string> resposta;  // the reply frame; nothing for "Deletar"
  // The outcome can't be told (the task failed past its own handling, did not run, or no reply could
  // be built for want of memory): the connection is closed instead of answered. Work that ends well
  // clears it.
  bool fechar = true;
  RelatoPedido relato;  // its log line
};

// A write request that may run in a group: its frame and where its reply goes.
struct MembroPedido final : Agenda::Membro {
  MembroPedido(Pedido pedido, std::shared_ptr<Desfecho> desfecho)
      : request(std::move(pedido)), desfecho(std::move(desfecho)) {}
  Pedido request;
  std::shared_ptr<Desfecho> desfecho;
};

// Scripts up to this size are looked at, on this thread, for whether they may run in a group.
constexpr size_t kAgrupavelMaximo = 64u * 1024u;

// The reply to a script. Short of memory for the echo of a large script, the same Mensagem without
// the echo, so that the outcome still reaches the client.
std::optional<std::string> ResponderScript(const Pedido& request, const std::string& mensagem) {
  try {
    return MontarResposta(request.cliente, request.pedido, mensagem, request.comando);
  } catch (const std::bad_alloc&) {
  }
  try {
    return MontarResposta(request.cliente, request.pedido, mensagem, "");
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

// A script's request on its way through, alone or in a group: its log line's summary before it runs,
// and after, its outcome, reply and log line.
void Comecar(VESPRIL& engine, MembroPedido& membro) {
  membro.desfecho->relato.instrucoes =
      ResumirScript(membro.request.comando, engine.Atividade().InstrucoesInteiras());
}
// The reply keeps the server's text, as clients read it; the log says which server it was.
void Terminar(MembroPedido& membro, const std::string& mensagem, const std::string& servidor) {
  Desfecho& desfecho = *membro.desfecho;
  desfecho.relato.falha = servidor.empty() || mensagem.empty() ? mensagem : servidor + ": " + mensagem;
  desfecho.resposta = ResponderScript(membro.request, mensagem);
  desfecho.fechar = !desfecho.resposta;
}

// A request as the agenda runs it: refusals and "Baixar" at once on the GUI thread (no database, no
// disk), "Deletar" and scripts on a worker.
Agenda::Tarefa Planejar(VESPRIL& engine, Pedido request, const std::shared_ptr<Desfecho>& desfecho) {
  Agenda::Tarefa tarefa;
  const bool baixar = request.comando == "Baixar";
  const bool deletar = request.comando == "Deletar";
  RelatoPedido& relato = desfecho->relato;
  relato.cliente = request.cliente;
  relato.pedido = request.pedido;
  relato.tipo = TipoPedido::Recusado;
  // Echoed, these fields would cut the reply in the wrong places: they are left out of it, and the
  // request is refused before anything runs.
  desfecho->fechar = false;  // refusals and "Baixar" have their reply at once
  if (!PodeEcoar(request.cliente, request.pedido)) {
    tarefa.imediata = true;
    relato.falha = kEcoRecusado;
    if (!deletar) desfecho->resposta = MontarResposta("", "", kEcoRecusado, baixar ? "" : request.comando);
    return tarefa;
  }
  std::string path;
  try {
    path = CaminhoArquivoConsulta(engine.DiretorioPrograma(), request.cliente, request.pedido);
  } catch (const Error& refusal) {
    // A request may reach no file but its own result file: it is refused before anything runs.
    tarefa.imediata = true;
    relato.falha = refusal.Message();
    if (!deletar) {
      desfecho->resposta =
          MontarResposta(request.cliente, request.pedido, refusal.Message(), baixar ? "" : request.comando);
    }
    return tarefa;
  }
  tarefa.arquivo = path;
  if (baixar) {
    tarefa.imediata = true;
    relato.tipo = TipoPedido::Baixar;
    desfecho->resposta = MontarResposta(request.cliente, request.pedido, "", path);
    return tarefa;
  }
  desfecho->fechar = true;  // until the work has run
  if (deletar) {
    relato.tipo = TipoPedido::Deletar;
    tarefa.trabalho = [path, desfecho] {
      DeleteArquivoConsulta(path);
      desfecho->fechar = false;
    };
    return tarefa;
  }
  tarefa.escrita = !VESPRIL::ScriptDeLeitura(request.comando);
  relato.tipo = tarefa.escrita ? TipoPedido::Escrita : TipoPedido::Consulta;
  // A script of INSERTs touches no file, and may share the write lane with others like it.
  const bool agrupavel = tarefa.escrita && request.comando.size() <= kAgrupavelMaximo &&
                         VESPRIL::ScriptDeInsercoes(request.comando);
  auto membro = std::make_shared<MembroPedido>(std::move(request), desfecho);
  if (agrupavel) {
    tarefa.arquivo.clear();
    tarefa.bytes = membro->request.comando.size();
    tarefa.membro = membro;
  }
  tarefa.trabalho = [&engine, membro] {
    const Pedido& request = membro->request;
    RelatoPedido& relato = membro->desfecho->relato;
    Comecar(engine, *membro);
    std::string mensagem;
    std::string servidor;
    {
      const Painel::Conta conta(engine.Atividade(), relato.linhas, relato.bytes);
      mensagem = engine.ExecutarScript(request.comando, request.cliente, request.pedido, servidor);
    }
    Terminar(*membro, mensagem, servidor);
  };
  return tarefa;
}

}  // namespace

Agenda::ExecutorGrupo ExecutorDeGrupos(VESPRIL& engine) {
  return [&engine](const std::vector<Agenda::Membro*>& membros) {
    std::vector<const Pedido*> pedidos;
    for (Agenda::Membro* membro : membros) {
      auto* pedido = static_cast<MembroPedido*>(membro);
      engine.Atividade().Iniciado();  // as every task's work starts
      Comecar(engine, *pedido);
      pedidos.push_back(&pedido->request);
    }
    std::vector<std::string> servidores;
    std::vector<std::string> mensagens;
    {
      const VESPRIL::ServidoresDasFalhas anotar(servidores);
      mensagens = engine.ExecutarGrupo(pedidos);
    }
    // A group that went through failed nowhere; one dropped ran its scripts alone, each noting where.
    const bool sozinhos = servidores.size() == membros.size();
    for (size_t i = 0; i < membros.size(); ++i) {
      Terminar(*static_cast<MembroPedido*>(membros[i]), mensagens[i],
               sozinhos ? servidores[i] : std::string());
    }
  };
}

void VESPRIL::SoqueteClientRead(ClientConnection& connection) {
  // One request of a connection at a time; a client that does not read its replies is not answered
  // further until they drain. The reply is sent, and the next frame taken, when the request ends.
  while (connection.Open() && !connection.Busy() && !connection.Congested()) {
    SoqueteServidor* soquete = &Soquete();
    size_t bytes = 0;
    bool retido = false;
    bool enfileirado = false;
    try {
      std::optional<Pedido> request = connection.Assembler().Next();
      if (!request) break;
      bytes = request->cliente.size() + request->pedido.size() + request->comando.size();
      auto desfecho = std::make_shared<Desfecho>();
      desfecho->relato.par = connection.Peer();
      const auto inicio = std::chrono::steady_clock::now();
      Painel* painel = m_painel.get();
      Agenda::Tarefa tarefa = Planejar(*this, std::move(*request), desfecho);
      tarefa.trabalho = [painel, trabalho = std::move(tarefa.trabalho)] {
        painel->Iniciado();
        if (trabalho) trabalho();
      };
      tarefa.concluir = [guard = QPointer<ClientConnection>(&connection), desfecho, soquete, bytes, painel,
                         inicio] {
        soquete->ReleaseRequest(bytes);
        RelatoPedido& relato = desfecho->relato;
        relato.segundos = std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
        if (desfecho->fechar && relato.falha.empty()) relato.falha = kFechada;
        // A connection that went away loses the reply only.
        if (guard) {
          if (desfecho->resposta) guard->Send(*desfecho->resposta);
          guard->SetBusy(false);
          if (desfecho->fechar) guard->Close();
        }
        painel->Concluido(std::move(relato));
      };
      tarefa.cancelar = [guard = QPointer<ClientConnection>(&connection), soquete, bytes, painel] {
        soquete->ReleaseRequest(bytes);
        if (guard) guard->SetBusy(false);
        painel->Cancelado();
      };
      soquete->HoldRequest(bytes);
      retido = true;
      connection.SetBusy(true, bytes);
      painel->Enfileirado();
      enfileirado = true;
      m_agenda->Enfileirar(std::move(tarefa));
    } catch (...) {
      // Short of memory, the request can't be taken in: it is refused by closing its connection, and
      // the other clients go on.
      if (retido) {
        soquete->ReleaseRequest(bytes);
        connection.SetBusy(false);
      }
      if (enfileirado) m_painel->Cancelado();
      connection.Close();
      return;
    }
  }
}

void VESPRIL::SoqueteClientError(ClientConnection&, SocketError& errorCode) { errorCode = SocketError::None; }

}  // namespace vespril
