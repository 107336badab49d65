// SPDX-License-Identifier: MIT
#ifndef ZENDRA_ZENDRAGLOBAL_H
#define ZENDRA_ZENDRAGLOBAL_H

#include "zendra_export.h"

/// Does nothing. Exported so that a host can force the library to be loaded.
ZENDRA_EXPORT void zendra_noop();

#endif // ZENDRA_ZENDRAGLOBAL_H
