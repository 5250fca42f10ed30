// The four configuration tables of the gateway: their fields, sizes, files and sort orders, and the
// procedure that builds one and loads it from its file in the current working directory. Knows only
// tables; the engine owns the four tables and reads and changes them through its own operations.
#pragma once

#include "config/PersistedTable.h"

namespace vespril::config {

// File names, bare: they resolve against the working directory at the moment of loading or saving.
inline constexpr char kArquivoPortaRelembrar[] = "Porta_Relembrar.xml";
inline constexpr char kArquivoServidor[] = "Servidor.xml";
inline constexpr char kArquivoTabela[] = "Tabela.xml";
inline constexpr char kArquivoServidorTabela[] = "ServidorTabela.xml";

// Each builds its table: fields in order, FileName, IndexFieldNames, Create, then a load when the file
// exists. Never writes a file. Throws the table layer's Error when an existing file can't be loaded.
PersistedTable BuildPortaRelembrar();  // Atributo s30, Valor s30; by "Atributo"
PersistedTable BuildServidor();        // Nome s30, Endereco s500; by "Nome"
PersistedTable BuildTabela();          // Tabela s30, Chave s30, Gerador i4; by "Tabela"
PersistedTable BuildServidorTabela();  // Servidor s30, Tabela s30, Registro i4; by "Tabela;Registro"
// The same two, left empty whatever their files hold.
PersistedTable BuildTabelaVazia();
PersistedTable BuildServidorTabelaVazia();

}  // namespace vespril::config
