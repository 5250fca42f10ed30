// Scripts of INSERTs run as one group of the write lane: the same replies, rows, keys, parents' keys,
// servers and counts as one at a time, whatever text the scripts hold; and the record of decisions.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "execution/RegistroGrupos.h"
#include "gateway/UVESPRIL.h"
#include "protocol/WireProtocol.h"
#include "tests/support/FirebirdTestDatabase.h"
#include "tests/support/Workspace.h"

namespace vespril {
namespace {

using test::FirebirdTestDatabase;
using test::Workspace;

const std::string SEP(SeparadorChave);

std::string Pedido(const std::string& cliente) {
  return "insert into PEDIDO (CLIENTE) values ('" + cliente + "');";
}
std::string Item(int qtd) {
  return "insert into ITEM (QTD) values (" + std::to_string(qtd) + ")" + SEP + "PEDIDO, IDPEDIDO" + SEP + ";";
}

// A gateway on two fresh servers, ALFA and BETA, with PEDIDO and ITEM spread over them.
struct Gateway {
  Gateway() {
    workspace.WriteServers({{"ALFA", alfa.Address()}, {"BETA", beta.Address()}});
    workspace.WriteTables({{"PEDIDO", "IDPEDIDO", 10}, {"ITEM", "IDITEM", 0}});
    workspace.WriteMatrix(
        {{"ALFA", "PEDIDO", 1}, {"BETA", "PEDIDO", 0}, {"ALFA", "ITEM", 0}, {"BETA", "ITEM", 2}});
    engine = std::make_unique<VESPRIL>(workspace.ResultDirectory());
  }
  // Everything the scripts could have changed, in one text.
  std::string Estado() const {
    const char* pedidos = "select IDPEDIDO, CLIENTE from PEDIDO order by 1";
    const char* itens = "select IDITEM, IDPEDIDO, QTD from ITEM order by 1";
    return alfa.Dump(pedidos) + " / " + beta.Dump(pedidos) + " / " + alfa.Dump(itens) + " / " +
           beta.Dump(itens) + " / " + workspace.Read("Tabela.xml") + " / " +
           workspace.Read("ServidorTabela.xml");
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
  std::string registro;  // what the write lane's record holds once the scripts ran
};
// Firebird's "Unexpected end of command" names a line and column it does not set for a statement
// that ends inside a comment or a string (numbers that differ run to run): they are left out.
std::string SemPosicao(std::string mensagem) {
  static const std::regex posicao("Unexpected end of command - line [0-9]+, column [0-9]+");
  return std::regex_replace(mensagem, posicao, "Unexpected end of command");
}

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
    for (const vespril::Pedido& p : pedidos)
      desfecho.mensagens.push_back(gateway.engine->ExecutarScript(p.comando, p.cliente, p.pedido));
  }
  for (std::string& mensagem : desfecho.mensagens) mensagem = SemPosicao(mensagem);
  desfecho.registro = gateway.engine->RegistroDecisoes();
  desfecho.estado = gateway.Estado();
  desfecho.arquivos = gateway.workspace.Files();
  return desfecho;
}

// Scripts of INSERTs as clients write them, for the differential test: parents and annotated
// children, comments of both kinds anywhere (some unclosed, some holding ";"), ";" inside strings,
// unclosed strings, empty statements and values the server refuses. Every statement names INSERT, so
// each script is one the gateway would group.
class Gerador {
 public:
  explicit Gerador(unsigned semente) : m_aleatorio(semente) {}

  std::string Script() {
    std::string script;
    const int partes = Entre(1, 3);
    for (int i = 0; i < partes; ++i) script += Parte();
    return script;
  }

 private:
  int Entre(int menor, int maior) { return std::uniform_int_distribution<int>(menor, maior)(m_aleatorio); }
  std::string Nome() {
    return std::string(1, static_cast<char>('A' + Entre(0, 25))) + std::to_string(m_nomes++);
  }

  std::string Parte() {
    switch (Entre(0, 11)) {
      case 0:
        return "insert into PEDIDO (CLIENTE) values ('" + Nome() + "') /* nota;";  // unclosed comment
      case 1:
        return "-- insert into PEDIDO (CLIENTE) values ('" + Nome() + "');\n";
      case 2:
        return "insert into PEDIDO (CLIENTE) values ('" + Nome() + ";" + Nome() + "');";  // ";" in a string
      case 3:
        return "insert into PEDIDO (CLIENTE) values ('" + Nome() + ";";  // unclosed string
      case 4:
        return "/* insert; */ insert into PEDIDO (CLIENTE) values ('" + Nome() + "') /* de B */;";
      case 5:
        return " ; insert into PEDIDO (CLIENTE) values ('" + Nome() + "');";  // an empty statement first
      case 6:
        return Pedido(std::string(40, 'x'));  // refused: too long
      case 7:
        return "insert into PEDIDO (CLIENTE) values ('" + Nome() + "') -- fim;";
      case 8:
        return "insert into ITEM (QTD) values (" + std::to_string(Entre(1, 9)) + ") /* item */" + SEP +
               "PEDIDO, IDPEDIDO" + SEP + ";";
      case 9:
        return "insert into PEDIDO (CLIENTE, IDPEDIDO) values ('" + Nome() + "', 1);";  // refused once taken
      default:
        return Entre(0, 1) ? Pedido(Nome()) : Item(Entre(1, 9));
    }
  }

  std::mt19937 m_aleatorio;
  int m_nomes = 0;
};

// A group gives what its scripts give one at a time: the same replies, rows, parents' keys, servers,
// counts and generators; and once it is committed everywhere, its decision is not kept.
TEST(GroupCommitTest, GroupGivesWhatOneAtATimeGives) {
  std::vector<std::vector<std::string>> lotes = {
      {Pedido("Ana") + Item(1) + Item(2), Item(3), Pedido("Bia"), Pedido("Caio") + Item(4), Item(5) + Item(6),
       Pedido("Dora"), Item(7), Pedido("Eva") + Pedido("Fabio") + Item(8)},
      // One client's unclosed comment before another's row; a commented-out parent between a parent
      // and its annotated child.
      {"insert into PEDIDO (CLIENTE) values ('Duda') /* a note;",
       "insert into PEDIDO (CLIENTE) values ('Eva') /* from B */;"},
      {Pedido("Ana") + "-- insert into PEDIDO (CLIENTE) values ('Bia');\n" + Item(1), Pedido("Caio")},
  };
  for (unsigned semente = 1; semente <= 8; ++semente) {
    Gerador gerador(semente);
    std::vector<std::string> lote;
    for (int i = 0; i < 6; ++i) lote.push_back(gerador.Script());
    lotes.push_back(std::move(lote));
  }
  for (const std::vector<std::string>& scripts : lotes) {
    SCOPED_TRACE(::testing::PrintToString(scripts));
    const Desfecho grupo = Rodar(true, scripts);
    const Desfecho sozinhos = Rodar(false, scripts);
    EXPECT_EQ(grupo.mensagens, sozinhos.mensagens);
    EXPECT_EQ(grupo.estado, sozinhos.estado);
    EXPECT_EQ(grupo.registro, "sujo");
    EXPECT_EQ(grupo.arquivos, sozinhos.arquivos);
  }
}

// The record keeps the one before a torn write: its newest slot spoiled, the record before it is read;
// also once the record outgrew its first slots and the file was made anew with bigger ones.
TEST(GroupCommitTest, RecordOutlivesATornWrite) {
  RegistroGrupos::Conteudo grande{"esp", false, {}, {true, {}, {}}};
  for (int i = 0; i < 300; ++i) {
    grande.copia.tabelas.push_back({"TABELA " + std::to_string(i), "ID%", i});
    grande.copia.contagens.push_back(
        {"SERVIDOR_" + std::to_string(i % 10), "TABELA " + std::to_string(i), i});
  }
  const RegistroGrupos::Conteudo pequeno{"esp", false, {{"esp:1.0", "localhost:/a.fdb"}}};
  const struct {
    const char* caso;
    std::vector<RegistroGrupos::Conteudo> gravados;  // the last one torn
  } casos[] = {
      {"small", {pequeno, {"esp", false, {}}}},
      {"grown", {{"esp", true, {}}, pequeno, grande, {"esp", false, {}}}},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.caso);
    Workspace workspace;
    const std::string arquivo = workspace.Path() + "/registro.dat";
    {
      RegistroGrupos registro(arquivo);
      for (const RegistroGrupos::Conteudo& conteudo : caso.gravados) registro.Gravar(conteudo);
    }
    EXPECT_EQ(RegistroGrupos(arquivo).Lido(), caso.gravados.back());
    {
      // The newest record's slot: the first when its sequence is even.
      std::fstream bytes(arquivo, std::ios::in | std::ios::out | std::ios::binary | std::ios::ate);
      const auto slot = static_cast<std::streamoff>(bytes.tellp()) / 2;
      bytes.seekp(slot * static_cast<std::streamoff>(caso.gravados.size() % 2) + RegistroGrupos::kCabecalho);
      bytes << "xx";
    }
    EXPECT_EQ(RegistroGrupos(arquivo).Lido(), caso.gravados[caso.gravados.size() - 2]);
  }
}

// A statement the server refuses drops the group; each script then runs alone and gets the reply it
// gets alone, and the log names the server of each failure.
TEST(GroupCommitTest, RefusedStatementChangesNoOtherScriptsOutcome) {
  const std::vector<std::string> scripts = {Pedido("Ana"), Pedido("Bia") + Item(1),
                                            Pedido(std::string(40, 'x')), Item(2)};
  const Desfecho grupo = Rodar(true, scripts);
  const Desfecho sozinhos = Rodar(false, scripts);
  ASSERT_NE(sozinhos.mensagens[2], "");
  EXPECT_EQ(grupo.mensagens, sozinhos.mensagens);
  EXPECT_EQ(grupo.servidores, (std::vector<std::string>{"", "", "BETA", ""}));
  EXPECT_EQ(grupo.estado, sozinhos.estado);
}

}  // namespace
}  // namespace vespril
