// SPDX-License-Identifier: MIT
// The library's logging categories, one per subsystem, so that a host can silence zendra alone
// (QT_LOGGING_RULES="zendra.*=false") without touching its own lines. Internal.
#ifndef ZENDRA_ZENDRALOGGING_P_H
#define ZENDRA_ZENDRALOGGING_P_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcZendraEncryption)
Q_DECLARE_LOGGING_CATEGORY(lcZendraFtp)
Q_DECLARE_LOGGING_CATEGORY(lcZendraCertificates)

#endif // ZENDRA_ZENDRALOGGING_P_H
