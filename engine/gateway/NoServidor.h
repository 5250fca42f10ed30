// Which server a failure came from, for the log: the server a statement is on while it calls it is
// named before the call and cleared once it returns, so a failure that leaves it named happened
// there. The log tells the failure with it; the reply keeps the server's own text. Per thread.
// Internal to the engine.
#pragma once

#include <string>
#include <vector>

namespace vespril {

inline thread_local std::string t_noServidor;

// While a VESPRIL::ServidoresDasFalhas lives on this thread, the list it names.
inline thread_local std::vector<std::string>* t_servidoresDasFalhas = nullptr;

template <typename F>
void NoServidor(const std::string& nome, F&& chamada) {
  t_noServidor = nome;
  chamada();
  t_noServidor.clear();
}

// A write script run on its own ended with `falha` ("" for none): its server noted, when asked.
inline void AnotarFalha(const std::string& falha) {
  if (t_servidoresDasFalhas != nullptr)
    t_servidoresDasFalhas->push_back(falha.empty() ? std::string() : t_noServidor);
}

}  // namespace vespril
