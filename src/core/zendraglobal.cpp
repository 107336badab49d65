// SPDX-License-Identifier: MIT
#include "zendraglobal.h"

void zendra_noop()
{
}
