/* korvane's C API: the native operation tables of its extension modules.
 * Build with the directory korvane.get_include() returns on the include path;
 * korvane/capi.h describes what every table shares. */
#ifndef KORVANE_H
#define KORVANE_H

#include "korvane/capi.h"
#include "korvane/counter_hub.h"
#include "korvane/lockfree_core.h"
#include "korvane/slab_engine.h"

#endif
