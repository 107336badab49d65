// SPDX-License-Identifier: MIT
// Internal: an MLSD reply as the entries that FtpService::listDirectory() hands its caller, and
// the line loop that the LIST reply of a lenient listing shares with it.
#ifndef ZENDRA_MLSDLISTING_P_H
#define ZENDRA_MLSDLISTING_P_H

#include "ftpfileinfo.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <cstring>

namespace zendra {

// The valid entries of @p reply, one per line in the server's order, of type @p fileType or of
// every type for FtpFileInfo::All. Lines are UTF-8 and end in LF or CR LF. With @p lenient, an
// entry without a "unique" fact is kept too, with its name as id.
QList<FtpFileInfo> parseMlsdListing(
    const QByteArray &reply, FtpFileInfo::FileType fileType, bool lenient = false);

// QString::fromUtf8(line) into @p text, reusing its buffer.
void decodeListingLine(QByteArrayView line, QString &text);

// Every piece of @p reply between line feeds (also the empty one after the last, as
// QByteArray::split() gives them), decoded, a CR kept, goes to @p add(text, entries), which
// appends one entry and says whether it is one; kept are those of @p fileType (any for All).
template<typename Add>
QList<FtpFileInfo> readListingLines(
    const QByteArray &reply, FtpFileInfo::FileType fileType, Add add)
{
    QList<FtpFileInfo> entries;
    qsizetype lines = 1;
    for (const char *at = reply.constData(), *end = at + reply.size();
         (at = static_cast<const char *>(std::memchr(at, '\n', size_t(end - at)))); ++at) {
        ++lines;
    }
    entries.reserve(lines);
    QString text;
    const char *const end = reply.constData() + reply.size();
    for (const char *start = reply.constData();;) {
        const char *const lineFeed
            = static_cast<const char *>(std::memchr(start, '\n', size_t(end - start)));
        const char *const lineEnd = lineFeed ? lineFeed : end;
        decodeListingLine(QByteArrayView(start, lineEnd - start), text);
        // Built in place, and dropped again when it is not wanted.
        if (!add(text, entries)
            || (fileType != FtpFileInfo::All && entries.constLast().type() != fileType)) {
            entries.removeLast();
        }
        if (!lineFeed)
            break;
        start = lineFeed + 1;
    }
    // A filter that kept few entries should not leave the caller a list sized for every line.
    if (entries.size() < entries.capacity() / 2)
        entries.squeeze();
    return entries;
}

} // namespace zendra

#endif // ZENDRA_MLSDLISTING_P_H
