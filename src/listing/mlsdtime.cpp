// SPDX-License-Identifier: MIT
// Internal: the fast path from an MLSD "modify" value to a QDateTime.
//
// Why it exists: QDateTime::fromString() is most of the cost of parsing a listing line, and
// listings run on the caller's (GUI) thread. What it must stay identical to: fromString(value,
// "yyyyMMddhhmmss") in every observable respect (validity, date, time, time zone, offset), for
// every input and under every system time zone. Plain in-range values are built directly (when
// FtpFileInfo::modificationDate() is read, not when the line is parsed); all else (bad ranges,
// other lengths or characters) goes through the parser itself, except fractional seconds, which
// it never accepts. tests/tst_records.cpp compares the two.
#include "mlsdtime_p.h"

#include <algorithm>
#include <chrono>
#include <iterator>

namespace zendra {

int daysInMonth(int year, int month)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0))
        return 29;
    return days[month - 1];
}

namespace {

// The six fields of a packed value, read as written: taken lowest digits first, in the order in
// which the members are declared (and so initialised).
struct MlsdFields
{
    explicit MlsdFields(quint64 packed)
        : second(take(packed))
        , minute(take(packed))
        , hour(take(packed))
        , day(take(packed))
        , month(take(packed))
        , year(int(packed % 10000))
    {
    }
    static int take(quint64 &digits)
    {
        const int field = int(digits % 100);
        digits /= 100;
        return field;
    }
    int second, minute, hour, day, month, year;
};

QDateTime parseModificationTime(QStringView value)
{
    return QDateTime::fromString(value.toString(), QStringLiteral("yyyyMMddhhmmss"));
}

// Converting a local time asks the C library, which checks the zone file on every call unless
// TZ is set: several microseconds a line. Entries of one directory share few distinct times, so
// recent results are kept per thread, and dropped after a second to follow a change of zone.
class LocalTimeCache
{
public:
    QDateTime value(quint64 key, const QDate &date, const QTime &time)
    {
        const auto now = std::chrono::steady_clock::now();
        if (now - m_filledSince > std::chrono::seconds(1)) {
            std::fill(std::begin(m_keys), std::end(m_keys), 0);
            m_filledSince = now;
        }
        const std::size_t slot = key % Slots;
        if (m_keys[slot] != key) {
            m_values[slot] = convert(date, time);
            m_keys[slot] = key;
        }
        return m_values[slot];
    }

private:
    // The constructor and the parser agree also next to a change of the zone's offset (the gap
    // of skipped times, the repeated hour): tests/tst_records.cpp sweeps every minute around
    // each change, and Qt 6.4.2 passed it without any guard there in the 16 zones of
    // bench/README.md. A value that the constructor moves or cannot make is still left to the
    // parser: an invalid result means "ask it".
    static QDateTime convert(const QDate &date, const QTime &time)
    {
        const QDateTime result(date, time);
        if (!result.isValid() || result.date() != date || result.time() != time)
            return QDateTime();
        return result;
    }

    static constexpr std::size_t Slots = 61;
    quint64 m_keys[Slots] = {};
    QDateTime m_values[Slots];
    std::chrono::steady_clock::time_point m_filledSince;
};

} // namespace

quint64 mlsdPackedDigits(QStringView value)
{
    if (value.size() != 14)
        return 0;
    quint64 packed = 1;
    for (const QChar c : value) {
        if (c < u'0' || c > u'9')
            return 0;
        packed = packed * 10 + (c.unicode() - u'0');
    }
    return packed;
}

QDateTime mlsdModificationTime(QStringView value)
{
    if (const quint64 packed = mlsdPackedDigits(value))
        return mlsdModificationTime(packed);
    // Fractional seconds, as some servers send them: the parser never takes what follows the
    // seconds, so the date is invalid without asking it.
    if (value.size() > 14 && value[14] == u'.' && mlsdPackedDigits(value.first(14)))
        return QDateTime();
    return parseModificationTime(value);
}

QDateTime mlsdModificationTime(quint64 packed)
{
    const MlsdFields f(packed);
    // Beyond these years local time is taken from a similar year, where the two may differ.
    if (f.year < 1970 || f.year > 2037 || f.month < 1 || f.month > 12 || f.day < 1
        || f.day > daysInMonth(f.year, f.month) || f.hour > 23 || f.minute > 59 || f.second > 59) {
        return parseModificationTime(QString::number(packed).sliced(1));
    }
    const QDate date(f.year, f.month, f.day);
    const QTime time(f.hour, f.minute, f.second);
    static thread_local LocalTimeCache cache;
    const QDateTime result = cache.value(packed, date, time);
    if (!result.isValid())
        return parseModificationTime(QString::number(packed).sliced(1));
    return result;
}

QDateTime mlsdModificationTimeUtc(quint64 packed)
{
    const MlsdFields f(packed);
    const QDate date(f.year, f.month, f.day);
    const QTime time(f.hour, f.minute, f.second);
    return date.isValid() && time.isValid() ? QDateTime(date, time, Qt::UTC) : QDateTime();
}

quint64 mlsdPackedFraction(QStringView value)
{
    const quint64 packed
        = value.size() > 15 && value[14] == u'.' ? mlsdPackedDigits(value.first(14)) : 0;
    if (!packed)
        return 0;
    quint64 msecs = 0;
    for (qsizetype i = 15; i < value.size(); ++i) {
        if (value[i] < u'0' || value[i] > u'9')
            return 0;
        if (i < 18)
            msecs += (value[i].unicode() - u'0') * (i == 15 ? 100 : i == 16 ? 10 : 1);
    }
    return packed * 1000 + msecs;
}

} // namespace zendra
