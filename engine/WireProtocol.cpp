#include "engine/WireProtocol.h"
