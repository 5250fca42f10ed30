// One-line views of an engine's state for single assertions in the engine's tests.
#pragma once

#include <string>

#include "engine/UVESPRIL.h"

namespace vespril::test {

// "n=address*;" for every slot holding an address, * when attached: "1=/w/a.fdb*;2=/w/b.fdb;".
inline std::string Slots(const VESPRIL& engine) {
  std::string dump;
  for (int n = 1; n <= kSlots; ++n) {
    const BaseDados& base = engine.Slot(n).baseDados;
    if (base.DatabaseName().empty() && !base.Connected()) continue;
    dump += std::to_string(n) + "=" + base.DatabaseName() + (base.Connected() ? "*" : "") + ";";
  }
  return dump;
}

}  // namespace vespril::test
