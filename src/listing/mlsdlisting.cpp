// SPDX-License-Identifier: MIT
// Internal: the listing path shared by FtpService, its tests and the listing benchmark.
#include "mlsdlisting_p.h"

#include "ftplistparser_p.h"

namespace zendra {

// The common case is ASCII, where UTF-8 decoding is a widening of every byte.
void decodeListingLine(QByteArrayView line, QString &text)
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

QList<FtpFileInfo> parseMlsdListing(
    const QByteArray &reply, FtpFileInfo::FileType fileType, bool lenient)
{
    return readListingLines(
        reply, fileType, [lenient](const QString &line, QList<FtpFileInfo> &entries) {
            FtpFileInfo &entry = entries.emplaceBack(line);
            if (entry.isValid())
                return true;
            // The parse gives each field its default when the fact is missing, so a lenient listing
            // only has to tell an entry without a "unique" fact from a line that is no entry.
            if (!lenient || entry.type() == FtpFileInfo::NoType || entry.name().isEmpty())
                return false;
            FtpListParser::makeUpId(entry);
            return true;
        });
}

} // namespace zendra
