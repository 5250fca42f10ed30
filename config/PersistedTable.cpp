#include "config/PersistedTable.h"
