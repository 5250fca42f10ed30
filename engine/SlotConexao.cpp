#include "engine/SlotConexao.h"
