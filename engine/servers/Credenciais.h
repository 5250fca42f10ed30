// Credenciais: the user and password each server is attached with. They come from a credentials file
// when there is one: the file named by VESPRIL_CREDENCIAIS, else vespril-credenciais in the folder of
// the service manager's credentials ($CREDENTIALS_DIRECTORY, what LoadCredential= fills), else
// Credenciais.conf in the working directory if it exists. One line a server, "Nome usuario senha"
// separated by blanks, "*" as the name of every server not named; blank lines and lines starting
// with "#" are skipped. Without a file, or for a server the file does not cover, SYSDBA and the
// gateway's fixed password.
//
// A file that anyone but its owner (and this process's own user, to whom a service manager grants
// it) may read or write is refused, as is a line that is not three fields or a name given twice: the
// start-up fails with a message that names the file and says why. No message here ever holds a
// password, nor the text of a line that might.
//
// Built once at start-up and never changed: any thread may read it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vespril {

// The credentials of every attachment when no file gives others.
inline constexpr char kUsuario[] = "SYSDBA";
inline constexpr char kSenha[] = "quillbark";

class Credenciais {
 public:
  // What one server is attached with, and where it came from: "padrão" or the file, with the name
  // of its line ("/etc/vespril/credenciais (ALFA)", "Credenciais.conf (*)"). Only `fonte` may be shown.
  struct Acesso {
    std::string usuario;
    std::string senha;
    std::string fonte;
  };

  // SYSDBA and the fixed password for every server.
  Credenciais();
  // The file found as above (none: the defaults). Throws Error, naming the file and why.
  static Credenciais DoAmbiente();
  // The file at `caminho`, as the name to show it by; `variavel` (VESPRIL_CREDENCIAIS or "") heads
  // the messages. Throws Error.
  static Credenciais DoArquivo(const std::string& caminho, std::string_view variavel = {});
  // The lines of a file already read, for `caminho`. Throws Error.
  static Credenciais DoTexto(std::string_view texto, const std::string& caminho,
                             std::string_view variavel = {});

  // The access of server `nome` (compared without regard to case, as the server table does).
  const Acesso& Para(std::string_view nome) const;
  // The file they came from; "" when none.
  const std::string& Arquivo() const { return m_arquivo; }

 private:
  struct Linha {
    std::string nome;
    Acesso acesso;
  };

  std::string m_arquivo;
  std::vector<Linha> m_linhas;  // "*" among them, if given
  Acesso m_padrao;              // SYSDBA, or the "*" line
};

}  // namespace vespril
