#include "engine/ArquivoConsulta.h"
