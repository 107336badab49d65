// SPDX-License-Identifier: MIT
// Internal: an MLSD reply as the entries that FtpService::listDirectory() hands its caller.
#ifndef ZENDRA_MLSDLISTING_P_H
#define ZENDRA_MLSDLISTING_P_H

#include "ftpfileinfo.h"

#include <QByteArray>
#include <QList>

namespace zendra {

// The valid entries of @p reply, one per line in the server's order, of type @p fileType or of
// every type for FtpFileInfo::All. Lines are UTF-8 and end in LF or CR LF.
QList<FtpFileInfo> parseMlsdListing(const QByteArray &reply, FtpFileInfo::FileType fileType);

} // namespace zendra

#endif // ZENDRA_MLSDLISTING_P_H
