// SPDX-License-Identifier: MIT
// Internal: the listing path shared by FtpService, its tests and the listing benchmark.
#include "mlsdlisting_p.h"

namespace zendra {

QList<FtpFileInfo> parseMlsdListing(const QByteArray &reply, FtpFileInfo::FileType fileType)
{
    QList<FtpFileInfo> entries;
    // Every piece is a line, also the empty one after the last line feed; the entry parser drops
    // a CR and rejects what is not an entry.
    const QList<QByteArray> lines = reply.split('\n');
    for (const QByteArray &line : lines) {
        const FtpFileInfo entry(QString::fromUtf8(line));
        if (entry.isValid() && (fileType == FtpFileInfo::All || entry.type() == fileType))
            entries.append(entry);
    }
    return entries;
}

} // namespace zendra
