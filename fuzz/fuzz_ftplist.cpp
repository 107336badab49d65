// SPDX-License-Identifier: MIT
// Arbitrary bytes as a LIST reply, and as an MLSD reply of a lenient listing: every entry kept
// must be valid, with its name as id where LIST or a missing "unique" fact left none, and read
// back in full; the first line alone must give what the listing gave for it. Seeds: the recorded
// listings of tests/data/listings.
#include "ftplistparser_p.h"
#include "mlsdlisting_p.h"
#include "quietmessages.h"

#include <QByteArray>
#include <QDate>

#include <cstddef>
#include <cstdint>

using zendra::FtpFileInfo;

namespace {

void check(const QList<FtpFileInfo> &entries, bool list)
{
    for (const FtpFileInfo &entry : entries) {
        const QDateTime date = entry.modificationDate();
        if (!entry.isValid() || entry.id().isEmpty() || (list && entry.id() != entry.name())
            || (list && (entry.size64() < 0 || (date.isValid() && date.time().second() != 0)))) {
            __builtin_trap();
        }
        entry.print();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    silenceQtMessages();

    const QByteArray reply
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    // A leap day after which "Feb 29" lines fall back a year; also the day itself.
    const QDate today = QDate(2024, 2, 28).addDays(size % 3);
    const QList<FtpFileInfo> entries = zendra::parseListListing(reply, FtpFileInfo::All, today);
    check(entries, true);
    check(zendra::parseMlsdListing(reply, FtpFileInfo::All, true), false);

    const qsizetype end = reply.indexOf('\n');
    const FtpFileInfo first
        = FtpFileInfo::fromListLine(QString::fromUtf8(end < 0 ? reply : reply.left(end)), today);
    if (first.isValid()
        && (entries.isEmpty() || entries.first().name() != first.name()
            || entries.first().modificationDate() != first.modificationDate()
            || entries.first().size64() != first.size64()
            || entries.first().mode() != first.mode())) {
        __builtin_trap();
    }
    return 0;
}
