#include "engine/UVESPRIL.h"
