// SPDX-License-Identifier: MIT
#include "ftpfileinfo.h"

#include <QDebug>
#include <QStringView>
#include <QTimeZone>
#include <QVarLengthArray>

#include <algorithm>
#include <chrono>
#include <iterator>

namespace zendra {

namespace {

// Fact keys in the order in which they are looked up.
enum Fact { Modify, Perm, Size, Type, Unique, UnixGroup, UnixMode, UnixOwner, FactCount };

constexpr QStringView factKeys[FactCount] = {
    u"modify=",
    u"perm=",
    u"size=",
    u"type=",
    u"unique=",
    u"UNIX.group=",
    u"UNIX.mode=",
    u"UNIX.owner=",
};

// Remaining part indices kept as flags; walked in index order like the QSet in searchKey().
class RemainingParts
{
public:
    explicit RemainingParts(qsizetype count) : m_flags(count, true) { }
    bool contains(qsizetype index) const { return m_flags[index]; }
    void remove(qsizetype index) { m_flags[index] = false; }

private:
    QVarLengthArray<bool, 16> m_flags;
};

// One search for every key over the remaining parts, first match in index order wins and is
// consumed. Shared by searchKey() and the constructor's allocation-free variant.
template<typename Parts, typename Remaining, typename Matches>
int consumeFirstMatch(const Parts &parts, Remaining &remaining, Matches matches)
{
    for (qsizetype i = 0; i < qsizetype(parts.size()); ++i) {
        if (remaining.contains(int(i)) && matches(i)) {
            remaining.remove(int(i));
            return int(i);
        }
    }
    return -1;
}

// The facts whose key ends at the '=' that closes @p text. Every key ends in '=', so "the part
// contains the key" is "the key ends at one of the part's '='": one pass over the line instead of
// eight substring searches per part.
uint factsEndingAt(QStringView text)
{
    const QChar beforeEquals = text.size() > 1 ? text[text.size() - 2] : QChar();
    uint facts = 0;
    for (int fact = 0; fact < FactCount; ++fact) {
        const QStringView key = factKeys[fact];
        if (key.size() <= text.size() && key[key.size() - 2] == beforeEquals
            && std::equal(key.begin(), key.end(), text.end() - key.size())) {
            facts |= 1u << fact;
        }
    }
    return facts;
}

// Same result as QStringView::toInt(), which is slow for the plain digit strings that servers send.
int toInt(QStringView value)
{
    if (value.isEmpty() || value.size() > 9)
        return value.toInt();
    int result = 0;
    for (const QChar c : value) {
        if (c < u'0' || c > u'9')
            return value.toInt();
        result = result * 10 + (c.unicode() - u'0');
    }
    return result;
}

int twoDigits(const char16_t *digits)
{
    return (digits[0] - u'0') * 10 + (digits[1] - u'0');
}

// Gregorian, as the parser's default calendar.
int daysInMonth(int year, int month)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0))
        return 29;
    return days[month - 1];
}

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
            m_transitionsLoaded = false;
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
    // Near a change of offset the constructor and the parser disagree (which of a repeated hour's
    // two times they pick; the gap of nonexistent times), so such times are left to the parser,
    // as is everything when the zone's changes are unknown. An invalid result means: ask it.
    QDateTime convert(const QDate &date, const QTime &time)
    {
        if (!m_transitionsLoaded)
            loadTransitions();
        if (!m_zoneKnown)
            return QDateTime();
        // The wall-clock time read as UTC; every offset is far less than a day.
        const qint64 wallClock
            = (date.toJulianDay() - unixEpochJulianDay) * msecsPerDay + time.msecsSinceStartOfDay();
        const auto next = std::lower_bound(
            m_transitions.cbegin(), m_transitions.cend(), wallClock - msecsPerDay);
        if (next != m_transitions.cend() && *next <= wallClock + msecsPerDay)
            return QDateTime();
        const QDateTime result(date, time);
        if (!result.isValid() || result.date() != date || result.time() != time)
            return QDateTime();
        return result;
    }

    void loadTransitions()
    {
        m_transitions.clear();
        const QTimeZone zone = QTimeZone::systemTimeZone();
        m_zoneKnown = zone.isValid();
        if (m_zoneKnown) {
            const auto transitions
                = zone.transitions(QDateTime(QDate(1969, 1, 1), QTime(0, 0), Qt::UTC),
                    QDateTime(QDate(2039, 1, 1), QTime(0, 0), Qt::UTC));
            for (const QTimeZone::OffsetData &transition : transitions)
                m_transitions.append(transition.atUtc.toMSecsSinceEpoch());
        }
        m_transitionsLoaded = true;
    }

    static constexpr qint64 unixEpochJulianDay = 2440588;
    static constexpr qint64 msecsPerDay = 24 * 3600 * 1000;
    static constexpr std::size_t Slots = 61;
    quint64 m_keys[Slots] = {};
    QDateTime m_values[Slots];
    QList<qint64> m_transitions;
    bool m_transitionsLoaded = false;
    bool m_zoneKnown = false;
    std::chrono::steady_clock::time_point m_filledSince;
};

// Identical to QDateTime::fromString(value, "yyyyMMddhhmmss"). Plain in-range values are built
// directly, which is many times faster; everything else (bad ranges, other lengths or characters,
// times in a daylight saving gap) goes through the parser itself.
QDateTime modificationTime(QStringView value)
{
    if (value.size() != 14)
        return parseModificationTime(value);
    const char16_t *digits = value.utf16();
    // Never 0, which marks an empty cache slot.
    quint64 key = 1;
    for (int i = 0; i < 14; ++i) {
        if (digits[i] < u'0' || digits[i] > u'9')
            return parseModificationTime(value);
        key = key * 10 + (digits[i] - u'0');
    }
    const int year = twoDigits(digits) * 100 + twoDigits(digits + 2);
    const int month = twoDigits(digits + 4);
    const int day = twoDigits(digits + 6);
    const int hour = twoDigits(digits + 8);
    const int minute = twoDigits(digits + 10);
    const int second = twoDigits(digits + 12);
    // Beyond these years local time is taken from a similar year, where the two may differ.
    if (year < 1970 || year > 2037 || month < 1 || month > 12 || day < 1
        || day > daysInMonth(year, month) || hour > 23 || minute > 59 || second > 59) {
        return parseModificationTime(value);
    }
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    static thread_local LocalTimeCache cache;
    const QDateTime result = cache.value(key, date, time);
    if (!result.isValid())
        return parseModificationTime(value);
    return result;
}

} // namespace

FtpFileInfo::FtpFileInfo(const QString &line)
{
    QVarLengthArray<QStringView, 16> parts;
    // Bit n of facts[i] set when parts[i] contains factKeys[n].
    QVarLengthArray<uint, 16> facts;
    const QStringView text(line);
    qsizetype start = 0;
    uint factsOfPart = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u';') {
            parts.append(text.sliced(start, i - start));
            facts.append(factsOfPart);
            factsOfPart = 0;
            start = i + 1;
        } else if (text[i] == u'=') {
            factsOfPart |= factsEndingAt(text.sliced(start, i + 1 - start));
        }
    }
    RemainingParts remaining(parts.size());

    m_name = parts.last().trimmed().toString();

    for (int fact = 0; fact < FactCount; ++fact) {
        const int index = consumeFirstMatch(
            parts, remaining, [&](qsizetype i) { return facts[i] & (1u << fact); });
        if (index < 0)
            continue;
        // The value starts after as many characters as the key has, wherever the key stood.
        const QStringView value = parts[index].mid(factKeys[fact].size());
        switch (fact) {
        case Modify:
            m_modificationDate = modificationTime(value);
            break;
        case Perm:
            m_permissions = value.toString();
            break;
        case Size:
            m_size = toInt(value);
            break;
        case Type:
            if (value == u"file")
                m_type = File;
            else if (value == u"dir")
                m_type = Dir;
            else if (value == u"cdir")
                m_type = CurrentDir;
            else if (value == u"pdir")
                m_type = ParentDir;
            break;
        case Unique:
            m_id = value.toString();
            break;
        case UnixGroup:
            m_group = toInt(value);
            break;
        case UnixMode:
            m_mode = toInt(value);
            break;
        case UnixOwner:
            m_owner = toInt(value);
            break;
        }
    }
}

FtpFileInfo::FtpFileInfo(const FtpFileInfo &other) = default;

FtpFileInfo &FtpFileInfo::operator=(const FtpFileInfo &other) = default;

FtpFileInfo::~FtpFileInfo() = default;

QString FtpFileInfo::name() const
{
    return m_name;
}

QDateTime FtpFileInfo::modificationDate() const
{
    return m_modificationDate;
}

QString FtpFileInfo::permissions() const
{
    return m_permissions;
}

FtpFileInfo::FileType FtpFileInfo::type() const
{
    return m_type;
}

QString FtpFileInfo::id() const
{
    return m_id;
}

int FtpFileInfo::group() const
{
    return m_group;
}

int FtpFileInfo::mode() const
{
    return m_mode;
}

int FtpFileInfo::owner() const
{
    return m_owner;
}

int FtpFileInfo::size() const
{
    return m_size;
}

bool FtpFileInfo::isValid() const
{
    return m_type != NoType && !m_id.isEmpty() && !m_name.isEmpty();
}

void FtpFileInfo::print() const
{
    qDebug() << "Name: " << m_name << " type: " << int(m_type)
             << " modification date: " << m_modificationDate << " size: " << m_size
             << " permissions: " << m_permissions << " group: " << m_group << " mode: " << m_mode
             << " owner: " << m_owner << " id: " << m_id;
}

int FtpFileInfo::searchKey(const QString &key, const QList<QString> &parts, QSet<int> &remaining)
{
    return consumeFirstMatch(parts, remaining,
        [&](qsizetype i) { return parts.at(i).indexOf(key, 0, Qt::CaseSensitive) != -1; });
}

} // namespace zendra
