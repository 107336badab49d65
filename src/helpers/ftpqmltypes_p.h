// SPDX-License-Identifier: MIT
// QML names for the enums of classes that are not QObjects, so that QML reads the helpers'
// properties by name (FtpResult.PinnedTrust). Internal; the QML module registers them.
#ifndef ZENDRA_FTPQMLTYPES_P_H
#define ZENDRA_FTPQMLTYPES_P_H

#include "ftpresult.h"

#include <QObject>
#include <QtQmlIntegration/qqmlintegration.h>

namespace zendra {

namespace FtpResultForeign {
Q_NAMESPACE
// QML_FOREIGN_NAMESPACE, which lives in Qt Qml, not in the integration headers.
Q_CLASSINFO("QML.Foreign", "zendra::FtpResult")
QML_NAMED_ELEMENT(FtpResult)
} // namespace FtpResultForeign

} // namespace zendra

#endif // ZENDRA_FTPQMLTYPES_P_H
