// Request handling: how a client's frame becomes a task of the agenda and its reply (see
// RequestHandling.cpp, which also holds the engine's listener handlers).
#pragma once

#include "scheduler/Agenda.h"

namespace vespril {

class VESPRIL;

// The agenda's runner for groups of write requests: runs them through VESPRIL::ExecutarGrupo and
// leaves each request's reply for its completion. The engine must outlive the agenda's work.
Agenda::ExecutorGrupo ExecutorDeGrupos(VESPRIL& engine);

}  // namespace vespril
