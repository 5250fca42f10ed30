// vespril-client: sends one request to a VESPRIL gateway and shows its outcome. Exit status: 0 when
// the gateway reports no failure, 1 when it does (its Mensagem goes to standard error), 2 when the
// command line is wrong, the gateway cannot be reached or its reply is broken, or a result file
// cannot be shown.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <langinfo.h>
#include <locale.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ResultFile.h"
#include "VesprilClient.h"
#include "foundation/Descriptor.h"

namespace vespril {
namespace {

constexpr char kHelp[] =
    R"(Usage: vespril-client [OPTION]... CLIENTE PEDIDO [-e SCRIPT | -f FILE | --baixar | --deletar]

Sends one request to a VESPRIL gateway: a script of SQL statements (given with -e, read from FILE
with -f, or else read from standard input), or one of the commands Baixar and Deletar. CLIENTE and
PEDIDO name the client and the request; the gateway names the request's result file after them.

  --host H          the gateway's host (default 127.0.0.1)
  --port P          the gateway's port (default 3211)
  --timeout S       seconds to wait for the connection and for each reply (default 30; 0 waits
                    forever)
  -e SCRIPT         the script itself
  -f FILE           the script from FILE
  --baixar          asks for the path of the result file and prints it
  --deletar         asks the gateway to remove the result file (no reply comes)
  --chave PAI,CAMPO the script is one INSERT, and its column CAMPO takes the last key the gateway
                    handed out for table PAI; repeat it for each foreign key
  --mostrar         after a script with a query (or with --baixar), reads the result file and
                    prints its rows as a table; the gateway must run on this machine
  --xml             as --mostrar, but prints the result file as it is
  -h, --help        this text

Statements end with ";"; the script's last one may leave it out. The gateway gives every INSERT its
primary key itself.

Exit status: 0 when the gateway reports no failure; 1 when it does, and its message is printed on
standard error; 2 when the command line is wrong, the gateway cannot be reached, its reply is
broken, or the result file cannot be read.

Examples:
  vespril-client loja 1 -e "insert into PEDIDO (CLIENTE) values ('Ana');"
  vespril-client loja 2 --chave PEDIDO,IDPEDIDO -e "insert into ITEM (QTD, PRECO) values (2, 9.5);"
  vespril-client loja 3 --mostrar -e "select * from ITEM;"
  echo "select * from PEDIDO;" | vespril-client loja 4 --xml
  vespril-client loja 3 --baixar
  vespril-client loja 3 --deletar
)";

struct Usage {
  std::string problem;
};

enum class Acao { Script, Baixar, Deletar };

struct Opcoes {
  std::string host = "127.0.0.1";
  uint16_t port = 3211;
  std::chrono::milliseconds timeout = std::chrono::seconds(30);
  std::vector<std::string> posicionais;
  Acao acao = Acao::Script;
  std::optional<std::string> script;
  std::optional<std::string> arquivo;
  std::vector<ChaveEstrangeira> chaves;
  bool mostrar = false;
  bool xml = false;
};

Opcoes LerOpcoes(int argc, char** argv) {
  Opcoes o;
  int fontes = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto valor = [&]() -> std::string {
      if (i + 1 >= argc) throw Usage{arg + " needs a value"};
      return argv[++i];
    };
    if (arg == "--host") {
      o.host = valor();
    } else if (arg == "--port") {
      const std::string v = valor();
      char* end = nullptr;
      const long port = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || port < 1 || port > 65535) throw Usage{"not a port: " + v};
      o.port = static_cast<uint16_t>(port);
    } else if (arg == "--timeout") {
      const std::string v = valor();
      char* end = nullptr;
      const double seconds = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(seconds >= 0) || seconds > 1e6)
        throw Usage{"not a number of seconds: " + v};
      o.timeout = std::chrono::milliseconds(std::llround(seconds * 1000));
    } else if (arg == "-e") {
      o.script = valor();
      ++fontes;
    } else if (arg == "-f") {
      o.arquivo = valor();
      ++fontes;
    } else if (arg == "--baixar") {
      o.acao = Acao::Baixar;
      ++fontes;
    } else if (arg == "--deletar") {
      o.acao = Acao::Deletar;
      ++fontes;
    } else if (arg == "--chave") {
      const std::string v = valor();
      const size_t comma = v.find(',');
      if (comma == std::string::npos) throw Usage{"--chave takes PAI,CAMPO: " + v};
      o.chaves.push_back({v.substr(0, comma), v.substr(comma + 1)});
    } else if (arg == "--mostrar") {
      o.mostrar = true;
    } else if (arg == "--xml") {
      o.xml = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw Usage{"unknown option " + arg};
    } else {
      o.posicionais.push_back(arg);
    }
  }
  if (o.posicionais.size() != 2) throw Usage{"CLIENTE and PEDIDO are needed, and nothing else"};
  if (fontes > 1) throw Usage{"-e, -f, --baixar and --deletar exclude each other"};
  if (!o.chaves.empty() && o.acao != Acao::Script) throw Usage{"--chave annotates a script's INSERT"};
  if (o.mostrar && o.xml) throw Usage{"--mostrar and --xml exclude each other"};
  if ((o.mostrar || o.xml) && o.acao == Acao::Deletar) throw Usage{"--deletar leaves no result file to show"};
  return o;
}

std::string LerTudo(std::istream& in) { return std::string(std::istreambuf_iterator<char>(in), {}); }

struct NotRegularFile {};

// A regular file open for reading; move-only, the destructor closes it. Opening never waits (a FIFO
// with no writer would hold open() up for good) and refuses anything but a regular file, which alone
// is sure to end: /dev/zero never does, and a FIFO or a terminal may never speak.
class RegularFile {
 public:
  // Throws std::system_error with the reason it cannot be opened, NotRegularFile when it is no regular
  // file.
  explicit RegularFile(const std::string& path)
      : m_file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) {
    if (!m_file.Valid()) throw std::system_error(errno, std::generic_category());
    struct stat info {};
    if (fstat(m_file.Get(), &info) != 0) throw std::system_error(errno, std::generic_category());
    if (!S_ISREG(info.st_mode)) throw NotRegularFile{};
  }

  // The next bytes into `buffer`, as many as fit; empty at the end. Throws std::system_error.
  std::string_view Read(std::vector<char>& buffer) {
    for (;;) {
      const ssize_t n = read(m_file.Get(), buffer.data(), buffer.size());
      if (n >= 0) return {buffer.data(), static_cast<size_t>(n)};
      if (errno != EINTR) throw std::system_error(errno, std::generic_category());
    }
  }
  void Rewind() {
    if (lseek(m_file.Get(), 0, SEEK_SET) != 0) throw std::system_error(errno, std::generic_category());
  }

 private:
  Descriptor m_file;
};

bool Utf8Valido(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t n = lead < 0x80           ? 1
                     : (lead >> 5) == 0x6  ? 2
                     : (lead >> 4) == 0xE  ? 3
                     : (lead >> 3) == 0x1E ? 4
                                           : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

// The gateway's own messages are ISO-8859-1; a UTF-8 terminal is given them in its encoding.
std::string ParaTerminal(const std::string& mensagem) {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || std::string_view(codeset) != "UTF-8" || Utf8Valido(mensagem)) return mensagem;
  std::string out;
  for (char c : mensagem) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

int Falha(const std::string& texto) {
  std::cerr << "vespril-client: " << texto << "\n";
  return 2;
}

// The reply's Mensagem decides the status.
bool Aceita(const Resposta& resposta) {
  if (resposta.mensagem.empty()) return true;
  std::cerr << ParaTerminal(resposta.mensagem) << "\n";
  return false;
}

// The gateway's own test: a statement naming "select" anywhere is a query.
bool TemConsulta(const std::string& script) {
  std::string lower = script;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower.find("select") != std::string::npos;
}

// Prints the result file at `path` as it is (`xml`) or as a table, a piece at a time: the table is
// measured in a first pass over the file and printed in a second. Throws as RegularFile does, and
// ResultFileError when the file is no result file.
void MostrarArquivo(const std::string& path, bool xml) {
  RegularFile file(path);
  std::vector<char> buffer(1 << 16);
  if (xml) {
    for (std::string_view bytes; !(bytes = file.Read(buffer)).empty();) std::cout << bytes;
    return;
  }
  TabelaConsulta tabela;
  LeitorArquivoConsulta medir([&](RegistroConsulta&& registro) { tabela.Medir(registro); });
  for (std::string_view bytes; !(bytes = file.Read(buffer)).empty();) medir.Ler(bytes);
  medir.Fim();
  std::cout << tabela.Cabecalho();
  file.Rewind();
  LeitorArquivoConsulta imprimir([&](RegistroConsulta&& registro) { std::cout << tabela.Linhas(registro); });
  for (std::string_view bytes; !(bytes = file.Read(buffer)).empty();) imprimir.Ler(bytes);
  imprimir.Fim();
}

int Executar(const Opcoes& o) {
  const std::string& cliente = o.posicionais[0];
  const std::string& pedido = o.posicionais[1];
  std::string script;
  if (o.acao == Acao::Script) {
    if (o.script) {
      script = *o.script;
    } else if (o.arquivo) {
      std::ifstream in(*o.arquivo, std::ios::binary);
      if (!in) return Falha("cannot read " + *o.arquivo);
      script = LerTudo(in);
    } else {
      script = LerTudo(std::cin);
    }
    if (!o.chaves.empty()) script = AnotarChaves(script, o.chaves);
    // The gateway runs nothing after the last ";".
    const size_t last = script.find_last_not_of(" \t\r\n");
    if (last != std::string::npos && script[last] != ';') {
      std::string terminated = script.substr(0, last + 1);
      terminated += ';';
      terminated.append(script, last + 1);
      script = std::move(terminated);
    }
    if ((o.mostrar || o.xml) && !TemConsulta(script))
      return Falha("--mostrar and --xml need a script with a query");
  }

  VesprilClient gateway(o.host, o.port, o.timeout);
  if (o.acao == Acao::Deletar) {
    gateway.Deletar(cliente, pedido);
    return 0;
  }
  const bool ver = o.mostrar || o.xml;
  if (o.acao == Acao::Script) gateway.Send(cliente, pedido, script);
  if (o.acao == Acao::Baixar || ver) gateway.Send(cliente, pedido, "Baixar");
  if (o.acao == Acao::Script && !Aceita(gateway.Receive())) return 1;
  if (o.acao == Acao::Script && !ver) return 0;
  const Resposta baixar = gateway.Receive();
  if (!Aceita(baixar)) return 1;
  if (!ver) {
    std::cout << baixar.retorno << "\n";
    return 0;
  }
  try {
    MostrarArquivo(baixar.retorno, o.xml);
  } catch (const std::system_error& e) {
    const int error = e.code().value();
    return Falha(error == ENOENT
                     ? "there is no result file " + baixar.retorno +
                           " (no query of this request wrote one, it was deleted, or the "
                           "gateway runs on another machine)"
                     : "cannot read the result file " + baixar.retorno + ": " + std::strerror(error));
  } catch (const NotRegularFile&) {
    return Falha(baixar.retorno + " is not a regular file, so it is no result file");
  } catch (const ResultFileError& e) {
    return Falha(baixar.retorno + ": " + e.what());
  }
  std::cout.flush();
  return std::cout ? 0 : Falha("cannot write to standard output");
}

}  // namespace
}  // namespace vespril

int main(int argc, char** argv) {
  using namespace vespril;
  setlocale(LC_CTYPE, "");
  std::ios::sync_with_stdio(false);
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
      std::cout << kHelp;
      return 0;
    }
  }
  try {
    return Executar(LerOpcoes(argc, argv));
  } catch (const Usage& usage) {
    std::cerr << "vespril-client: " << usage.problem << "\nTry 'vespril-client --help'.\n";
    return 2;
  } catch (const ClientError& e) {
    return Falha(e.what());
  } catch (const std::exception& e) {
    return Falha(e.what());
  }
}
