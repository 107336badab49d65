// SPDX-License-Identifier: MIT
// For the fuzzers that print what they parse: Qt's messages go nowhere, so that a run stays fast
// and its own report readable.
#ifndef ZENDRA_FUZZ_QUIETMESSAGES_H
#define ZENDRA_FUZZ_QUIETMESSAGES_H

#include <QtGlobal>

inline void silenceQtMessages()
{
    static const bool installed = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        return true;
    }();
    Q_UNUSED(installed);
}

#endif // ZENDRA_FUZZ_QUIETMESSAGES_H
