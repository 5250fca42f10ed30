// vespril-insert-loop DIR RESULTS [COUNT]: the child of the crash test. Starts a gateway engine with DIR
// as its working directory (so it loads DIR's configuration files) and RESULTS as its program directory,
// prints "ready", then runs one script over and over: a PEDIDO and an ITEM that carries its key. It
// stops after COUNT scripts (0 or none: until it is killed). A failed start or script is printed to
// standard error and ends the process with status 1.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include <QCoreApplication>

#include "engine/UVESPRIL.h"
#include "foundation/Error.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 3 || chdir(argv[1]) != 0) {
    std::fprintf(stderr, "usage: vespril-insert-loop DIR RESULTS [COUNT]\n");
    return 2;
  }
  const long count = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
  const std::string script =
      "insert into PEDIDO (CLIENTE) values ('crash');\r\n"
      "insert into ITEM (QTD) values (1)\x1B\n\rPEDIDO, IDPEDIDO\x1B\n\r;";
  try {
    vespril::VESPRIL engine(argv[2]);
    std::printf("ready\n");
    std::fflush(stdout);
    for (long i = 0; count == 0 || i < count; ++i) {
      const std::string message = engine.ExecutarScript(script, "crash", "1");
      if (!message.empty()) {
        std::fprintf(stderr, "script %ld failed: %s\n", i + 1, message.c_str());
        return 1;
      }
    }
  } catch (const vespril::Error& error) {
    std::fprintf(stderr, "start failed: %s\n", error.Message().c_str());
    return 1;
  }
  return 0;
}
