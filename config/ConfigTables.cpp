#include "config/ConfigTables.h"
