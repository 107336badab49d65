// SPDX-License-Identifier: MIT
// Internal: the "modify" fact of an MLSD line as a QDateTime, for FtpFileInfo and its tests.
#ifndef ZENDRA_MLSDTIME_P_H
#define ZENDRA_MLSDTIME_P_H

#include <QDateTime>
#include <QStringView>

namespace zendra {

// The result of QDateTime::fromString(value, "yyyyMMddhhmmss"), local time, always; only faster.
QDateTime mlsdModificationTime(QStringView value);

} // namespace zendra

#endif // ZENDRA_MLSDTIME_P_H
