#include "engine/InsertRewriting.h"
