// SPDX-License-Identifier: MIT
// Internal: the listing path shared by FtpService, its tests and the listing benchmark.
#include "mlsdlisting_p.h"

#include <QByteArrayView>

#include <cstring>

namespace zendra {

namespace {

// QString::fromUtf8(line) into @p text, reusing its buffer when the line is ASCII (the common
// case, where UTF-8 decoding is a widening of every byte).
void decodeLine(QByteArrayView line, QString &text)
{
    text.resize(line.size());
    char16_t *const out = reinterpret_cast<char16_t *>(text.data());
    uchar bits = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        bits |= uchar(line[i]);
        out[i] = uchar(line[i]);
    }
    if (bits >= 0x80)
        text = QString::fromUtf8(line);
}

} // namespace

QList<FtpFileInfo> parseMlsdListing(const QByteArray &reply, FtpFileInfo::FileType fileType)
{
    QList<FtpFileInfo> entries;
    qsizetype lines = 1;
    for (const char *at = reply.constData(), *end = at + reply.size();
         (at = static_cast<const char *>(std::memchr(at, '\n', size_t(end - at)))); ++at) {
        ++lines;
    }
    entries.reserve(lines);
    // Every piece is a line, also the empty one after the last line feed (as QByteArray::split()
    // gives them); the entry parser drops a CR and rejects what is not an entry.
    QString text;
    const char *const end = reply.constData() + reply.size();
    for (const char *start = reply.constData();;) {
        const char *const lineFeed
            = static_cast<const char *>(std::memchr(start, '\n', size_t(end - start)));
        const char *const lineEnd = lineFeed ? lineFeed : end;
        decodeLine(QByteArrayView(start, lineEnd - start), text);
        // Built in place, and dropped again when it is not wanted.
        const FtpFileInfo &entry = entries.emplaceBack(text);
        if (!entry.isValid() || (fileType != FtpFileInfo::All && entry.type() != fileType))
            entries.removeLast();
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
