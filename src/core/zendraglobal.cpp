// SPDX-License-Identifier: MIT
// The library's one free function.
#include "zendraglobal.h"

void zendra_noop()
{
}
