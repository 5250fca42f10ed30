// The operations through which the operator changes the configuration. Each posts its change and
// saves the changed table before it returns; a failing step stops the operation, and the steps already
// done stay done. They run as window operations, alone in the write lane; tables are changed under the
// engine's lock, and slots, files and databases are reached outside it.
#include <string>
#include <vector>

#include "execution/Reservas.h"
#include "foundation/Error.h"
#include "foundation/Text.h"
#include "gateway/UVESPRIL.h"
#include "servers/ConexoesLeitura.h"

namespace vespril {

namespace {

void EditOrAppend(PersistedTable& table, std::string_view field, std::string_view value) {
  if (table.Locate(field, value)) {
    table.Edit();
  } else {
    table.Append();
  }
}

// Sets attribute = value in the settings table. REQUIRES: the engine's lock held.
void Definir(PersistedTable& table, const char* atributo, const std::string& valor) {
  EditOrAppend(table, "Atributo", atributo);
  table.SetFieldAsString("Atributo", atributo);
  table.SetFieldAsString("Valor", valor);
  table.Post();
}

}  // namespace

void VESPRIL::SetPorta(int porta) {
  SalvarPorta(porta);
  ReabrirSoquete();
}

void VESPRIL::SalvarPorta(int porta) {
  // A port no socket can take would be stored and then stop every later start-up.
  if (porta < 0 || porta > 65535) {
    throw Error("Porta inv\xE1lida: " + std::to_string(porta) + " (deve estar entre 0 e 65535)");
  }
  {
    MutexLock trava(m_trava);
    Definir(CdsPortaRelembrar, "Porta", std::to_string(porta));
  }
  Salvar(&CdsPortaRelembrar);
}

void VESPRIL::ReabrirSoquete() {
  SoqueteServidor& soquete = Soquete();
  soquete.SetActive(false);
  soquete.SetPort(GetPorta());
  m_falhaSoquete.clear();
  try {
    soquete.SetActive(true);
  } catch (const Error& e) {
    m_falhaSoquete = e.Message();
    throw;
  }
}

void VESPRIL::SetTabelaRelembrar(bool relembrar) {
  {
    MutexLock trava(m_trava);
    Definir(CdsPortaRelembrar, "TabelaRelembrar", relembrar ? "True" : "False");
  }
  Salvar(&CdsPortaRelembrar);
}

std::string VESPRIL::GetServidor() {
  MutexLock trava(m_trava);
  std::string lista;
  for (CdsServidor.First(); !CdsServidor.Eof(); CdsServidor.Next()) {
    lista += CdsServidor.FieldAsString("Nome") + "," + CdsServidor.FieldAsString("Endereco") + ";";
  }
  return lista;
}

void VESPRIL::SetServidor(const std::string& nomeDado, const std::string& endereco) {
  std::string nome;
  {
    MutexLock trava(m_trava);
    // Looked for as it will be stored: a name longer than its field still names a single record.
    nome = CdsServidor.AsStored("Nome", nomeDado);
    const bool existe = CdsServidor.Locate("Nome", nome);
    if (!existe && CdsServidor.RecordCount() >= kSlots) {
      throw Error("N\xE3o \xE9 poss\xEDvel incluir o servidor " + nome + ": o limite \xE9 de 10 servidores");
    }
    if (existe) {
      CdsServidor.Edit();
    } else {
      CdsServidor.Append();
    }
    CdsServidor.SetFieldAsString("Nome", nome);
    CdsServidor.SetFieldAsString("Endereco", endereco);
    CdsServidor.Post();
  }

  std::string falhaDoServidor;
  try {
    ConectarServidor(nome);
  } catch (const Error& e) {
    falhaDoServidor = e.Message();
  }
  // A new name shifts the record numbers of the servers after it; their slots follow them even when
  // the named server can't be reached.
  const std::string falhaDeOutro = ReatarSlots(false);
  if (!falhaDoServidor.empty()) throw Error(falhaDoServidor);
  Salvar(&CdsServidor);
  MontarServidorTabela();
  if (!falhaDeOutro.empty()) throw Error(falhaDeOutro);
}

std::string VESPRIL::ReatarSlots(bool todos) {
  const std::vector<Vinculo> servidores = Servidores();
  for (int n = static_cast<int>(servidores.size()) + 1; n <= kSlots; ++n) LiberarSlot(n);
  PublicarSlots();
  // A server that can't be reached is reported after the others had their turn, so one dead server
  // doesn't leave the rest bound to the wrong slots.
  std::string falha;
  for (const Vinculo& servidor : servidores) {
    if (!todos && Slot(servidor.n).baseDados.DatabaseName() == servidor.endereco) continue;
    try {
      ConectarServidor(servidor.nome);
    } catch (const Error& e) {
      if (falha.empty()) falha = e.Message();
    }
  }
  return falha;
}

void VESPRIL::EraseServidor(const std::string& nomeDado) {
  std::string nome;
  {
    MutexLock trava(m_trava);
    nome = CdsServidor.AsStored("Nome", nomeDado);
    if (!CdsServidor.Locate("Nome", nome)) return;
  }
  DesconectarServidor(nome);
  EraseServidorTabela(nome, true);
  {
    MutexLock trava(m_trava);
    // Found above, and only this operation changes the tables meanwhile.
    if (!CdsServidor.Locate("Nome", nome)) throw Error("Falha na localiza\xE7\xE3o do servidor " + nome);
    CdsServidor.Delete();
  }
  // Every remaining server is attached again, to the slot of its new record number.
  const std::string falha = ReatarSlots(true);
  if (!falha.empty()) throw Error(falha);
  Salvar(&CdsServidor);
}

std::string VESPRIL::GetTabela() {
  MutexLock trava(m_trava);
  std::string lista;
  for (CdsTabela.First(); !CdsTabela.Eof(); CdsTabela.Next()) {
    lista += CdsTabela.FieldAsString("Tabela") + "," + CdsTabela.FieldAsString("Chave") + "," +
             CdsTabela.FieldAsString("Gerador") + ";";
  }
  return lista;
}

void VESPRIL::SetTabela(const std::string& nome, const std::string& chave, int gerador) {
  {
    MutexLock trava(m_trava);
    // Located by the name as it is stored, so " ITEM " changes the record ITEM instead of adding one,
    // and a name longer than its field names a single record.
    const std::string tabela = CdsTabela.AsStored("Tabela", Trim(nome));
    EditOrAppend(CdsTabela, "Tabela", tabela);
    CdsTabela.SetFieldAsString("Tabela", tabela);
    CdsTabela.SetFieldAsString("Chave", Trim(chave));
    CdsTabela.SetFieldAsInteger("Gerador", gerador);
    CdsTabela.Post();
    m_reservas->Esquecer(tabela);  // the next key starts a block from the value set
  }
  Salvar(&CdsTabela);
  MontarServidorTabela();
}

void VESPRIL::EraseTabela(const std::string& nome) {
  std::string tabela;
  {
    MutexLock trava(m_trava);
    tabela = CdsTabela.AsStored("Tabela", Trim(nome));
    if (!CdsTabela.Locate("Tabela", tabela)) return;
  }
  EraseServidorTabela(tabela, false);
  {
    MutexLock trava(m_trava);
    // Found above, and only this operation changes the tables meanwhile.
    if (!CdsTabela.Locate("Tabela", tabela)) throw Error("Falha na localiza\xE7\xE3o da tabela " + tabela);
    CdsTabela.Delete();
    m_reservas->Esquecer(tabela);
  }
  Salvar(&CdsTabela);
  CopiarTabelas();
}

void VESPRIL::EraseServidorTabela(const std::string& nome, bool porServidor) {
  {
    MutexLock trava(m_trava);
    const char* campo = porServidor ? "Servidor" : "Tabela";
    while (CdsServidorTabela.Locate(campo, nome)) CdsServidorTabela.Delete();
  }
  Salvar(&CdsServidorTabela);
  CopiarTabelas();
}

void VESPRIL::MontarServidorTabela() {
  {
    MutexLock trava(m_trava);
    for (CdsServidor.First(); !CdsServidor.Eof(); CdsServidor.Next()) {
      const std::string servidor = CdsServidor.FieldAsString("Nome");
      for (CdsTabela.First(); !CdsTabela.Eof(); CdsTabela.Next()) {
        const std::string tabela = CdsTabela.FieldAsString("Tabela");
        if (CdsServidorTabela.Locate("Servidor;Tabela", {servidor, tabela})) {
          CdsServidorTabela.Edit();
        } else {
          CdsServidorTabela.Append();
        }
        CdsServidorTabela.SetFieldAsString("Servidor", servidor);
        CdsServidorTabela.SetFieldAsString("Tabela", tabela);
        CdsServidorTabela.SetFieldAsInteger("Registro", 0);
        CdsServidorTabela.Post();
      }
    }
  }
  Salvar(&CdsServidorTabela);
  CopiarTabelas();
}

}  // namespace vespril
