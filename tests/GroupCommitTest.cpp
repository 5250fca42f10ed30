// Scripts of INSERTs run as one group of the write lane: the same rows, keys, parents' keys, servers
// and counts as one at a time, and a failure in the group changes no other script's outcome.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/UVESPRIL.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::FirebirdTestDatabase;
using test::Workspace;

const std::string SEP = "\x1B\n\r";

std::string Pedido(const std::string& cliente) { return "insert into PEDIDO (CLIENTE) values ('" + cliente + "');"; }
std::string Item(int qtd) {
  return "insert into ITEM (QTD) values (" + std::to_string(qtd) + ")" + SEP + "PEDIDO, IDPEDIDO" + SEP + ";";
}

// A gateway on two fresh servers, ALFA and BETA, with PEDIDO and ITEM spread over them.
struct Gateway {
  Gateway() {
    workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}});
    workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 10}, {"ITEM", "IDITEM", 0}});
    workspace.WriteMatrix({{"ALFA", "PEDIDO", 1}, {"BETA", "PEDIDO", 0}, {"ALFA", "ITEM", 0}, {"BETA", "ITEM", 2}});
    engine = std::make_unique<VESPRIL>(workspace.ResultDirectory());
  }
  // Everything the scripts could have changed, in one text.
  std::string Estado() const {
    const char* pedidos = "select IDPEDIDO, CLIENTE from PEDIDO order by 1";
    const char* itens = "select IDITEM, IDPEDIDO, QTD from ITEM order by 1";
    return alfa.Dump(pedidos) + " / " + beta.Dump(pedidos) + " / " + alfa.Dump(itens) + " / " + beta.Dump(itens) +
           " / " + workspace.Read("Tabela.xml") + " / " + workspace.Read("ServidorTabela.xml");
  }

  FirebirdTestDatabase alfa = FirebirdTestDatabase::WithOrders();
  FirebirdTestDatabase beta = FirebirdTestDatabase::WithOrders();
  Workspace workspace;
  std::unique_ptr<VESPRIL> engine;
};

// The scripts run on a fresh gateway, as one group or one at a time: their messages, and the state
// they leave (Gateway::Estado). Each gateway's workspace is the working directory while it lives.
struct Desfecho {
  std::vector<std::string> mensagens;
  std::vector<std::string> servidores;  // of a group's failures, for the log
  std::string estado;
  std::string arquivos;  // the working directory's files
};
Desfecho Rodar(bool emGrupo, const std::vector<std::string>& scripts) {
  Gateway gateway;
  std::vector<vespril::Pedido> pedidos;
  for (size_t i = 0; i < scripts.size(); ++i) pedidos.push_back({"c", std::to_string(i), scripts[i]});
  Desfecho desfecho;
  if (emGrupo) {
    std::vector<const vespril::Pedido*> grupo;
    for (const vespril::Pedido& pedido : pedidos) grupo.push_back(&pedido);
    const VESPRIL::ServidoresDasFalhas anotar(desfecho.servidores);
    desfecho.mensagens = gateway.engine->ExecutarGrupo(grupo);
  } else {
    for (const vespril::Pedido& p : pedidos) desfecho.mensagens.push_back(gateway.engine->ExecutarScript(p.comando, p.cliente, p.pedido));
  }
  desfecho.estado = gateway.Estado();
  desfecho.arquivos = gateway.workspace.Files();
  return desfecho;
}

TEST(GroupCommitTest, GroupGivesWhatOneAtATimeGives) {
  const std::vector<std::string> scripts = {
      Pedido("Ana") + Item(1) + Item(2), Item(3), Pedido("Bia"), Pedido("Caio") + Item(4),
      Item(5) + Item(6),                 Pedido("Dora"), Item(7), Pedido("Eva") + Pedido("Fabio") + Item(8),
  };
  const Desfecho grupo = Rodar(true, scripts);
  const Desfecho sozinhos = Rodar(false, scripts);
  EXPECT_EQ(grupo.mensagens, std::vector<std::string>(scripts.size()));
  EXPECT_EQ(sozinhos.mensagens, grupo.mensagens);
  EXPECT_EQ(grupo.estado, sozinhos.estado);
  // Committed as one group, on both servers: its decision was recorded.
  EXPECT_EQ(grupo.arquivos, "GruposConfirmados.dat," + sozinhos.arquivos);
}

// A statement the server refuses drops the group; each script then runs alone and gets the reply it
// gets alone. The same rows land on the same servers; their keys come after the group's, a gap.
TEST(GroupCommitTest, RefusedStatementChangesNoOtherScriptsOutcome) {
  const std::vector<std::string> scripts = {Pedido("Ana"), Pedido("Bia") + Item(1), Pedido(std::string(40, 'x')),
                                            Item(2)};
  const Desfecho grupo = Rodar(true, scripts);
  const Desfecho sozinhos = Rodar(false, scripts);
  ASSERT_NE(sozinhos.mensagens[2], "");
  EXPECT_EQ(grupo.mensagens, sozinhos.mensagens);
  EXPECT_EQ(grupo.servidores, (std::vector<std::string>{"", "", "BETA", ""}));
  EXPECT_EQ(grupo.estado.substr(0, grupo.estado.find(" / <?xml")),
            "15|Bia / 14|Ana / 3|15|1;4|15|2 / ");
  EXPECT_EQ(sozinhos.estado.substr(0, sozinhos.estado.find(" / <?xml")),
            "12|Bia / 11|Ana / 1|12|1;2|12|2 / ");
}

}  // namespace
}  // namespace vespril
