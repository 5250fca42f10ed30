// Componente: the base of the engine's component array, the named objects the gateway is made of (its
// listener and the objects of its connection slots). Knows nothing else.
#pragma once

#include <string>
#include <utility>

namespace vespril {

// A named member of the engine's component array.
class Componente {
 public:
  explicit Componente(std::string name) : m_name(std::move(name)) {}
  virtual ~Componente() = default;
  Componente(const Componente&) = delete;
  Componente& operator=(const Componente&) = delete;

  const std::string& Name() const { return m_name; }

 private:
  std::string m_name;
};

}  // namespace vespril
