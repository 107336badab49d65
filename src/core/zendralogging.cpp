// SPDX-License-Identifier: MIT
// Definitions of the logging categories; every level is on by default, as for qDebug().
#include "zendralogging_p.h"

Q_LOGGING_CATEGORY(lcZendraEncryption, "zendra.encryption")
Q_LOGGING_CATEGORY(lcZendraFtp, "zendra.ftp")
Q_LOGGING_CATEGORY(lcZendraCertificates, "zendra.certificates")
