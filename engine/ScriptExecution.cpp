// Script execution: cuts a client's script at ";" and runs each statement on the servers. A query runs
// on every server into the client's result file, an INSERT on the one server that holds the fewest rows
// of its table with a key the gateway hands out, and anything else on every server in turn. The first
// failure ends the script and its text is the answer.
#include <array>
#include <climits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ArquivoConsulta.h"
#include "engine/ConexoesLeitura.h"
#include "engine/InsertRewriting.h"
#include "engine/UVESPRIL.h"
#include "foundation/Error.h"
#include "foundation/FbAttachment.h"
#include "foundation/FbStatement.h"
#include "foundation/FbTransaction.h"
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

// The configuration keeps counts and keys as 32-bit integers.
int32_t ParaInteiro(int64_t value, const std::string& what) {
  if (value < INT32_MIN || value > INT32_MAX) {
    throw Error(what + " fora do intervalo de 32 bits: " + std::to_string(value));
  }
  return static_cast<int32_t>(value);
}

// A table is located by its name; an empty name names no table, even when one was stored empty.
bool LocalizarTabela(PersistedTable& table, const char* field, const std::string& nome) {
  return !nome.empty() && table.Locate(field, nome);
}

// Hands each statement of a script to `f` as it runs, until `f` returns false: each up to and including
// its ";"; text after the last ";" never runs, and a script without one is one empty statement.
template <typename F>
void PercorrerInstrucoes(std::string_view script, F&& f) {
  size_t fim = script.find(';');
  if (fim == std::string_view::npos) {
    f(std::string_view());
    return;
  }
  size_t inicio = 0;
  do {
    if (!f(script.substr(inicio, fim + 1 - inicio))) return;
    inicio = fim + 1;
    fim = script.find(';', inicio);
  } while (fim != std::string_view::npos);
}

}  // namespace

// Runs on the GUI thread for every script, to schedule it: a write script is known by its first
// statement that is no query, without cutting the rest.
bool VESPRIL::ScriptDeLeitura(const std::string& script) {
  if (script.empty()) return true;
  bool leitura = true;
  PercorrerInstrucoes(script, [&](std::string_view statement) {
    leitura = Classificar(statement) == Tipo::Consulta;
    return leitura;
  });
  return leitura;
}

std::string VESPRIL::ExecutarScript(const std::string& script, const std::string& cliente,
                                    const std::string& pedido) {
  if (script.empty()) return "";
  const bool leitura = ScriptDeLeitura(script);
  std::string falha;
  try {
    PercorrerInstrucoes(script, [&](std::string_view vista) {
      const std::string statement(vista);
      switch (Classificar(statement)) {
        case Tipo::Consulta:
          if (leitura) {
            ExecutarConsultaLeitura(statement, cliente, pedido);
          } else {
            ExecutarConsulta(statement, cliente, pedido);
          }
          break;
        case Tipo::Insert:
          ExecutarInsert(statement);
          break;
        case Tipo::Outra:
          ExecutarOutra(statement);
          break;
      }
      return true;
    });
  } catch (const Error& e) {
    falha = e.Message();
  } catch (const std::exception& e) {
    falha = e.what();
  }
  // A write statement attaches a slot that was not.
  if (!leitura) PublicarSlots();
  return falha;
}

void VESPRIL::ExecutarConsulta(const std::string& statement, const std::string& cliente,
                               const std::string& pedido) {
  ArquivoConsulta arquivo(CaminhoArquivoConsulta(m_programDirectory, cliente, pedido));
  std::vector<std::string> names;
  std::vector<std::string> values;
  for (const Vinculo& servidor : Servidores()) {
    ConexaoSQL& consulta = Slot(servidor.n).conexaoSQL;
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

// The same rows as through the slots, from the read connections: each statement in a read-only
// transaction of its own, ended (with its statement) before the connection goes back.
void VESPRIL::ExecutarConsultaLeitura(const std::string& statement, const std::string& cliente,
                                      const std::string& pedido) {
  ArquivoConsulta arquivo(CaminhoArquivoConsulta(m_programDirectory, cliente, pedido));
  std::vector<Vinculo> servidores = Servidores();
  std::array<bool, kSlots + 1> ligado;
  {
    std::lock_guard trava(m_trava);
    ligado = m_slotLigado;
  }
  std::vector<std::string> names;
  std::vector<std::string> values;
  for (const Vinculo& servidor : servidores) {
    // A server whose slot is not attached is refused as the slot refuses it.
    if (!ligado[servidor.n]) throw Error("Cannot perform operation -- DB is not open");
    std::unique_ptr<ConexoesLeitura::Conexao> conexao = m_leitura->Tomar(servidor.n, servidor.endereco);
    try {
      fb::Transaction transacao(*conexao->attachment, fb::Transaction::Access::ReadOnly);
      {
        fb::Statement consulta(*conexao->attachment);
        consulta.Prepare(transacao, statement, conexao->dialect);
        if (!consulta.IsQuery()) throw Error("Instru\xE7\xE3o n\xE3o \xE9 uma consulta");
        consulta.OpenCursor(transacao);
        const int columns = consulta.ColumnCount();
        names.resize(columns);
        values.resize(columns);
        for (int i = 0; i < columns; ++i) names[i] = consulta.ColumnName(i);
        while (consulta.Fetch()) {
          for (int i = 0; i < columns; ++i) values[i] = consulta.AsText(i);
          arquivo.EscreverRegistro(names, values);
        }
        consulta.CloseCursor();
      }
      transacao.Commit();
    } catch (...) {
      m_leitura->Devolver(servidor.n, std::move(conexao), true);
      throw;
    }
    m_leitura->Devolver(servidor.n, std::move(conexao), false);
  }
  arquivo.Finalizar();
}

void VESPRIL::ExecutarOutra(const std::string& statement) {
  for (const Vinculo& servidor : Servidores()) {
    ConexaoSQL& consulta = Slot(servidor.n).conexaoSQL;
    Preparar(consulta, statement);
    consulta.ExecSQL();
  }
}

void VESPRIL::ExecutarInsert(const std::string& statement) {
  InsertSeparado separado = SepararChaves(statement);
  std::string sql = std::move(separado.sql);
  std::string tabela;
  std::string chave;
  bool relembrar = false;
  {
    std::lock_guard trava(m_trava);
    // Foreign keys take the parent's last key handed out: a parent inserted earlier in the same
    // script gives its children its own key.
    for (const ChaveEstrangeira& estrangeira : separado.chaves) {
      if (!LocalizarTabela(CdsTabela, "Tabela", estrangeira.TabelaPai)) throw Error(kFalhaChaveEstrangeira);
      sql = IncluirCampo(sql, estrangeira.Campo, std::to_string(CdsTabela.FieldAsInteger("Gerador")));
    }
    tabela = ExtrairTabela(sql);
    relembrar = GetTabelaRelembrar();
    if (relembrar) {
      if (!LocalizarTabela(CdsTabela, "Tabela", tabela)) throw Error(kFalhaChavePrimaria);
      chave = CdsTabela.FieldAsString("Chave");
    }
  }

  if (relembrar) {
    const std::string recontagem =
        "select count(" + chave + ") as QtAtual, max(" + chave + ") as IDMax from " + tabela;
    for (const Vinculo& servidor : Servidores()) {
      ConexaoSQL& consulta = Slot(servidor.n).conexaoSQL;
      Preparar(consulta, recontagem);
      consulta.Open();
      std::lock_guard trava(m_trava);
      if (!CdsServidorTabela.Locate("Servidor;Tabela", {servidor.nome, tabela})) {
        throw Error(kFalhaRecontagem);
      }
      const int32_t quantidade = ParaInteiro(consulta.FieldAsInteger("QtAtual"), "QtAtual de " + tabela);
      const int32_t maior = ParaInteiro(consulta.FieldAsInteger("IDMax"), "IDMax de " + tabela);
      CdsServidorTabela.Edit();
      CdsServidorTabela.SetFieldAsInteger("Registro", quantidade);
      CdsServidorTabela.Post();
      LocalizarTabela(CdsTabela, "Tabela", tabela);  // only this lane changes the tables: it is there
      if (CdsTabela.FieldAsInteger("Gerador") < maior) {
        CdsTabela.Edit();
        CdsTabela.SetFieldAsInteger("Gerador", maior);
        CdsTabela.Post();
      }
    }
  }

  // The matrix is sorted by table then row count: the first row of the table names the server that
  // holds the fewest of its rows.
  int32_t gerador = 0;
  int n = 0;
  {
    std::lock_guard trava(m_trava);
    if (!LocalizarTabela(CdsTabela, "Tabela", tabela) ||
        !LocalizarTabela(CdsServidorTabela, "Tabela", tabela)) {
      throw Error(kFalhaTabela);
    }
    const std::string servidor = CdsServidorTabela.FieldAsString("Servidor");
    if (!CdsServidor.Locate("Nome", servidor)) throw Error(kFalhaServidor);
    n = CdsServidor.RecNo();
    gerador = CdsTabela.FieldAsInteger("Gerador");
    if (gerador == INT32_MAX) throw Error("O gerador da tabela " + tabela + " chegou ao seu limite");
    sql = IncluirCampo(sql, CdsTabela.FieldAsString("Chave"), std::to_string(gerador + 1));
  }

  // The key is reserved on disk before the row is written: a crash in between leaves a gap in the
  // keys, never a key that the next start hands out a second time. The saves run without the lock;
  // the rows are found again under it (no one else moves them, others only move the cursors).
  const auto gerar = [this, &tabela](int32_t valor) {
    std::lock_guard trava(m_trava);
    LocalizarTabela(CdsTabela, "Tabela", tabela);
    CdsTabela.Edit();
    CdsTabela.SetFieldAsInteger("Gerador", valor);
    CdsTabela.Post();
  };
  gerar(gerador + 1);
  try {
    Salvar(CdsTabela);
  } catch (...) {
    gerar(gerador);  // the row was never written, so the key may still be handed out
    throw;
  }

  ConexaoSQL& consulta = Slot(n).conexaoSQL;
  Preparar(consulta, sql);
  try {
    consulta.ExecSQL();
  } catch (...) {
    // Nothing was inserted: the key goes back, in memory and on disk. Should that save fail, the file
    // keeps the higher value, which costs a gap and nothing more.
    gerar(gerador);
    try {
      Salvar(CdsTabela);
    } catch (...) {
    }
    throw;
  }

  // A crash before this save leaves the count one short, which only steers routing a little. At its
  // limit the count stays there rather than wrap.
  {
    std::lock_guard trava(m_trava);
    LocalizarTabela(CdsServidorTabela, "Tabela", tabela);
    const int32_t registro = CdsServidorTabela.FieldAsInteger("Registro");
    CdsServidorTabela.Edit();
    CdsServidorTabela.SetFieldAsInteger("Registro", registro == INT32_MAX ? registro : registro + 1);
    CdsServidorTabela.Post();
  }
  Salvar(CdsServidorTabela);
}

}  // namespace vespril
