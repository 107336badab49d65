// SPDX-License-Identifier: MIT
// Arbitrary bytes as one MLSD line: parse, read every field, print, copy and assign. A line of
// 14 to 20 characters is also checked against the date parser that the fast path (and the
// conversion when the date is read) stands in for.
#include "ftpfileinfo.h"
#include "quietmessages.h"

#include <QDateTime>
#include <QString>

#include <cstddef>
#include <cstdint>

using zendra::FtpFileInfo;

namespace {

bool sameDate(const QDateTime &a, const QDateTime &b)
{
    if (a.isValid() != b.isValid() || a.isNull() != b.isNull() || a.timeSpec() != b.timeSpec())
        return false;
    return !a.isValid()
        || (a.toMSecsSinceEpoch() == b.toMSecsSinceEpoch() && a.date() == b.date()
            && a.time() == b.time() && a.offsetFromUtc() == b.offsetFromUtc());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    silenceQtMessages();

    const QString line = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const FtpFileInfo entry(line);
    volatile qsizetype sink = entry.name().size() + entry.permissions().size() + entry.id().size()
        + entry.type() + entry.group() + entry.mode() + entry.owner() + entry.size()
        + entry.size64() + entry.isValid() + entry.modificationDate().isValid()
        + entry.modificationDateUtc().isValid();
    Q_UNUSED(sink);
    entry.print();

    FtpFileInfo copy(entry);
    FtpFileInfo assigned(QStringLiteral("type=file;unique=1; x"));
    assigned = copy;
    if (assigned.name() != entry.name() || assigned.size() != entry.size()
        || assigned.size64() != entry.size64()
        || !sameDate(assigned.modificationDate(), entry.modificationDate())) {
        __builtin_trap();
    }

    if (line.size() >= 14 && line.size() <= 20 && !line.contains(u';')) {
        const FtpFileInfo dated(QStringLiteral("modify=") + line);
        const QDateTime expected = QDateTime::fromString(line, QStringLiteral("yyyyMMddhhmmss"));
        if (!sameDate(dated.modificationDate(), expected))
            __builtin_trap();
    }
    return 0;
}
