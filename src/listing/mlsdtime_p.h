// SPDX-License-Identifier: MIT
// Internal: the "modify" fact of an MLSD line as a QDateTime, for FtpFileInfo and its tests.
#ifndef ZENDRA_MLSDTIME_P_H
#define ZENDRA_MLSDTIME_P_H

#include <QDateTime>
#include <QStringView>

namespace zendra {

// The result of QDateTime::fromString(value, "yyyyMMddhhmmss"), local time, always; only faster.
QDateTime mlsdModificationTime(QStringView value);

// A value of exactly 14 ASCII digits as that number plus 10^14 (so never 0); otherwise 0.
quint64 mlsdPackedDigits(QStringView value);

// The days of @p month (1 to 12) in @p year of the Gregorian calendar, the parser's default.
int daysInMonth(int year, int month);

// mlsdModificationTime() of the value that mlsdPackedDigits() packed into @p packed (not 0).
QDateTime mlsdModificationTime(quint64 packed);

// The value that mlsdPackedDigits() packed into @p packed read as UTC; invalid where there is no
// such day or time.
QDateTime mlsdModificationTimeUtc(quint64 packed);

// A value of 14 digits, '.' and more digits (RFC 3659's fractional seconds, which the parser of
// mlsdModificationTime() refuses) as mlsdPackedDigits() of the 14 digits times 1000 plus the
// milliseconds (so at least 10^17); otherwise 0.
quint64 mlsdPackedFraction(QStringView value);

} // namespace zendra

#endif // ZENDRA_MLSDTIME_P_H
