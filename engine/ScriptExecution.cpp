// Script execution: cuts a client's script at ";" and runs each statement on the servers. A query runs
// on every server into the client's result file, an INSERT on the one server that holds the fewest rows
// of its table with a key the gateway hands out, and anything else on every server in turn. The first
// failure ends the script and its text is the answer.
#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ArquivoConsulta.h"
#include "engine/InsertRewriting.h"
#include "engine/UVESPRIL.h"
#include "foundation/Error.h"
#include "foundation/Text.h"

namespace vespril {

namespace {

// ISO-8859-1 texts of the executor's own failures.
constexpr char kFalhaChaveEstrangeira[] = "Falha na localiza\xE7\xE3o da chave estrangeira";
constexpr char kFalhaChavePrimaria[] = "Falha na localiza\xE7\xE3o da chave prim\xE1ria";
constexpr char kFalhaRecontagem[] =
    "Falha na atualiza\xE7\xE3o da quantidade de registros da tabela no servidor";
constexpr char kFalhaTabela[] = "Falha na localiza\xE7\xE3o da tabela";
constexpr char kFalhaServidor[] = "Falha na localiza\xE7\xE3o do servidor";

enum class Tipo { Consulta, Insert, Outra };

Tipo Classificar(std::string_view statement) {
  const std::string lower = LowerAscii(statement);
  if (lower.find("select") != std::string::npos) return Tipo::Consulta;
  if (lower.find("insert") != std::string::npos) return Tipo::Insert;
  return Tipo::Outra;
}

void Preparar(ConexaoSQL& consulta, const std::string& statement) {
  consulta.Close();
  consulta.SQL().clear();
  consulta.SQL().push_back(statement);
}

int32_t ParaGerador(int64_t value, const std::string& tabela) {
  if (value < INT32_MIN || value > INT32_MAX) {
    throw Error("Chave fora do intervalo do gerador na tabela " + tabela + ": " + std::to_string(value));
  }
  return static_cast<int32_t>(value);
}

}  // namespace

std::string VESPRIL::ExecutarScript(const std::string& script, const std::string& cliente,
                                    const std::string& pedido) {
  if (script.empty()) return "";
  try {
    // W is the rest of the script from `resto` on; text after the last ";" is never run.
    size_t resto = 0;
    do {
      std::string statement;
      if (const size_t fim = script.find(';', resto); fim != std::string::npos) {
        statement = script.substr(resto, fim + 1 - resto);
        resto = fim + 1;
      }
      switch (Classificar(statement)) {
        case Tipo::Consulta:
          ExecutarConsulta(statement, cliente, pedido);
          break;
        case Tipo::Insert:
          ExecutarInsert(statement);
          break;
        case Tipo::Outra:
          ExecutarOutra(statement);
          break;
      }
    } while (script.find(';', resto) != std::string::npos);
  } catch (const Error& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

void VESPRIL::ExecutarConsulta(const std::string& statement, const std::string& cliente,
                               const std::string& pedido) {
  ArquivoConsulta arquivo(CaminhoArquivoConsulta(m_programDirectory, cliente, pedido));
  std::vector<std::string> names;
  std::vector<std::string> values;
  for (CdsServidor.First(); !CdsServidor.Eof(); CdsServidor.Next()) {
    ConexaoSQL& consulta = Slot(CdsServidor.RecNo()).conexaoSQL;
    Preparar(consulta, statement);
    consulta.Open();
    const int columns = consulta.FieldCount();
    names.resize(columns);
    values.resize(columns);
    for (int i = 0; i < columns; ++i) names[i] = consulta.FieldName(i);
    for (consulta.First(); !consulta.Eof(); consulta.Next()) {
      for (int i = 0; i < columns; ++i) values[i] = consulta.FieldAsString(i);
      arquivo.EscreverRegistro(names, values);
    }
  }
  arquivo.Finalizar();
}

void VESPRIL::ExecutarOutra(const std::string& statement) {
  for (CdsServidor.First(); !CdsServidor.Eof(); CdsServidor.Next()) {
    ConexaoSQL& consulta = Slot(CdsServidor.RecNo()).conexaoSQL;
    Preparar(consulta, statement);
    consulta.ExecSQL();
  }
}

void VESPRIL::ExecutarInsert(const std::string& statement) {
  InsertSeparado separado = SepararChaves(statement);
  std::string sql = std::move(separado.sql);

  // Foreign keys take the parent's last key handed out: a parent inserted earlier in the same script
  // gives its children its own key.
  for (const ChaveEstrangeira& chave : separado.chaves) {
    if (!CdsTabela.Locate("Tabela", chave.TabelaPai)) throw Error(kFalhaChaveEstrangeira);
    sql = IncluirCampo(sql, chave.Campo, CdsTabela.FieldAsString("Gerador"));
  }

  const std::string tabela = ExtrairTabela(sql);

  if (GetTabelaRelembrar()) {
    if (!CdsTabela.Locate("Tabela", tabela)) throw Error(kFalhaChavePrimaria);
    const std::string chave = CdsTabela.FieldAsString("Chave");
    const std::string recontagem =
        "select count(" + chave + ") as QtAtual, max(" + chave + ") as IDMax from " + tabela;
    for (CdsServidor.First(); !CdsServidor.Eof(); CdsServidor.Next()) {
      ConexaoSQL& consulta = Slot(CdsServidor.RecNo()).conexaoSQL;
      Preparar(consulta, recontagem);
      consulta.Open();
      if (!CdsServidorTabela.Locate("Servidor;Tabela", {CdsServidor.FieldAsString("Nome"), tabela})) {
        throw Error(kFalhaRecontagem);
      }
      CdsServidorTabela.Edit();
      CdsServidorTabela.SetFieldAsInteger("Registro",
                                          ParaGerador(consulta.FieldAsInteger("QtAtual"), tabela));
      CdsServidorTabela.Post();
      const int32_t maior = ParaGerador(consulta.FieldAsInteger("IDMax"), tabela);
      if (CdsTabela.FieldAsInteger("Gerador") < maior) {
        CdsTabela.Edit();
        CdsTabela.SetFieldAsInteger("Gerador", maior);
        CdsTabela.Post();
      }
    }
  }

  // The matrix is sorted by table then row count: the first row of the table names the server that
  // holds the fewest of its rows.
  if (!CdsTabela.Locate("Tabela", tabela) || !CdsServidorTabela.Locate("Tabela", tabela)) {
    throw Error(kFalhaTabela);
  }
  const std::string servidor = CdsServidorTabela.FieldAsString("Servidor");
  if (!CdsServidor.Locate("Nome", servidor)) throw Error(kFalhaServidor);

  const int32_t gerador = CdsTabela.FieldAsInteger("Gerador");
  if (gerador == INT32_MAX) throw Error("O gerador da tabela " + tabela + " chegou ao seu limite");
  sql = IncluirCampo(sql, CdsTabela.FieldAsString("Chave"), std::to_string(gerador + 1));

  ConexaoSQL& consulta = Slot(CdsServidor.RecNo()).conexaoSQL;
  Preparar(consulta, sql);
  consulta.ExecSQL();

  // The row is in the database: both counters go up in memory before either file is written, so a
  // failed save can never hand the same key out twice.
  CdsServidorTabela.Edit();
  CdsServidorTabela.SetFieldAsInteger("Registro", CdsServidorTabela.FieldAsInteger("Registro") + 1);
  CdsServidorTabela.Post();
  CdsTabela.Edit();
  CdsTabela.SetFieldAsInteger("Gerador", gerador + 1);
  CdsTabela.Post();

  std::optional<Error> falha;
  for (PersistedTable* table : {&CdsServidorTabela, &CdsTabela}) {
    try {
      Salvar(*table);
    } catch (const Error& e) {
      if (!falha) falha = e;
    }
  }
  if (falha) throw *falha;
}

}  // namespace vespril
