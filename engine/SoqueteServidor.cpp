#include "engine/SoqueteServidor.h"
