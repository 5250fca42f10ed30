// vespril-insert-loop DIR RESULTS [COUNT [CONNECTIONS]]: the child of the crash test. Starts a gateway
// engine with DIR as its working directory (so it loads DIR's configuration files) and RESULTS as its
// program directory, prints "ready", then runs one script over and over: a PEDIDO and an ITEM that
// carries its key. With CONNECTIONS, that many clients send it through the gateway's listener (on the
// port of DIR's settings) side by side until it is killed, so the write lane runs them in groups;
// without, the engine runs it directly, COUNT times (0: until it is killed). Through the listener each
// script names its own client (CLIENTE "p<pid>c<client>n<script>"), and each one acknowledged is
// added to DIR/ACKED as a line of that name once its reply came. A failed start or script,
// or a transaction left in limbo on a server once the engine has started, is printed to standard
// error and ends the process with status 1.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>

#include "foundation/Descriptor.h"
#include "foundation/Error.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"
#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"

namespace {

std::string Script(const std::string& cliente) {
  return "insert into PEDIDO (CLIENTE) values ('" + cliente +
         "');\r\n"
         "insert into ITEM (QTD) values (1)\x1B\n\rPEDIDO, IDPEDIDO\x1B\n\r;";
}

int g_confirmados = -1;  // DIR/ACKED, opened for appending

void Falhar(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

// One client: sends the script and waits for its reply, for ever.
void Cliente(int port, int indice) {
  const vespril::Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    Falhar("connect failed");
  }
  vespril::ReplyAssembler respostas;
  for (long i = 0;; ++i) {
    const std::string cliente =
        "p" + std::to_string(::getpid()) + "c" + std::to_string(indice) + "n" + std::to_string(i);
    const std::string pedido = vespril::MontarPedido("crash", "1", Script(cliente));
    if (::send(socket.Get(), pedido.data(), pedido.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(pedido.size())) {
      Falhar("send failed");
    }
    std::optional<vespril::Resposta> resposta;
    while (!(resposta = respostas.Next())) {
      char bytes[4096];
      const ssize_t n = ::recv(socket.Get(), bytes, sizeof bytes, 0);
      if (n <= 0) Falhar("the gateway closed the connection");
      respostas.Append(std::string_view(bytes, static_cast<size_t>(n)));
    }
    if (!resposta->mensagem.empty()) Falhar("script failed: " + resposta->mensagem);
    const std::string linha = cliente + "\n";
    if (::write(g_confirmados, linha.data(), linha.size()) != static_cast<ssize_t>(linha.size()))
      Falhar("ACKED");
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 3 || chdir(argv[1]) != 0) {
    std::fprintf(stderr, "usage: vespril-insert-loop DIR RESULTS [COUNT [CONNECTIONS]]\n");
    return 2;
  }
  const long count = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
  const int conexoes = argc > 4 ? std::atoi(argv[4]) : 0;
  try {
    vespril::VESPRIL engine(argv[2]);
    for (int n = 1; n <= vespril::kSlots; ++n) {
      vespril::BaseDados& base = engine.Slot(n).baseDados;
      if (!base.Connected()) continue;
      vespril::fb::Transaction leitura(base.Handle(), vespril::fb::Transaction::Access::ReadOnly);
      vespril::fb::Statement limbo(base.Handle());
      limbo.Prepare(leitura, "select count(*) from RDB$TRANSACTIONS where RDB$TRANSACTION_STATE = 1", 3);
      limbo.OpenCursor(leitura);
      if (limbo.Fetch() && limbo.AsInt64(0) != 0)
        Falhar("a transaction left in limbo on slot " + std::to_string(n));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (conexoes == 0) {
      for (long i = 0; count == 0 || i < count; ++i) {
        const std::string message = engine.ExecutarScript(Script("crash"), "crash", "1");
        if (!message.empty()) Falhar("script " + std::to_string(i + 1) + " failed: " + message);
      }
      return 0;
    }
    g_confirmados = ::open("ACKED", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (g_confirmados < 0) Falhar("cannot open ACKED");
    for (int i = 0; i < conexoes; ++i) std::thread(Cliente, engine.Soquete().BoundPort(), i).detach();
    return QCoreApplication::exec();
  } catch (const vespril::Error& error) {
    Falhar("start failed: " + error.Message());
  }
  return 0;
}
