// SPDX-License-Identifier: MIT
// Internal: LIST lines, which servers write for people, not programs. What they share: the Unix
// "ls -l" form (permissions, links, owner, group, size, then "Mon DD HH:MM" for recent files or
// "Mon DD  YYYY" for older ones, and the name up to the line end, spaces included), and the DOS
// form of IIS and other Windows servers ("MM-DD-YY  HH:MMAM  <DIR> name" or a size for "<DIR>").
// Columns and their widths differ from server to server, so a Unix line is read by its date: the
// first month name with a size before it and a day and a time or year after it.
#include "ftplistparser_p.h"

#include "mlsdlisting_p.h"
#include "mlsdtime_p.h"

#include <QVarLengthArray>

#include <climits>

namespace zendra {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The value of 1 to 18 ASCII digits, or -1.
qint64 number(QStringView text)
{
    if (text.isEmpty() || text.size() > 18)
        return -1;
    qint64 value = 0;
    for (const QChar c : text) {
        if (!isDigit(c))
            return -1;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

// A numeric user or group id, or -1 for a name.
int numericId(QStringView text)
{
    const qint64 id = number(text);
    return id <= INT_MAX ? int(id) : -1;
}

// 1 to 12 for an English month abbreviation in any case, else 0.
int monthOf(QStringView token)
{
    static constexpr char names[] = "janfebmaraprmayjunjulaugsepoctnovdec";
    if (token.size() != 3)
        return 0;
    const char16_t a = token[0].unicode() | 0x20, b = token[1].unicode() | 0x20,
                   c = token[2].unicode() | 0x20;
    for (int month = 0; month < 12; ++month) {
        if (names[3 * month] == a && names[3 * month + 1] == b && names[3 * month + 2] == c)
            return month + 1;
    }
    return 0;
}

// "rwxr-xr-x" as "UNIX.mode" writes it, read as a decimal number: 755; set-id and sticky bits
// (s, S, t, T) make the leading digit, 4755. -1 for other characters.
int permissionBits(QStringView nine)
{
    int special = 0;
    int bits = 0;
    for (int i = 0; i < 9; ++i) {
        const char16_t c = nine[i].unicode();
        const int position = i % 3;
        int bit = 0;
        const bool setId = position == 2 && (c == u's' || c == u't' || c == u'S' || c == u'T');
        if (c
                == (position == 0       ? u'r'
                        : position == 1 ? u'w'
                                        : u'x')
            || (setId && (c == u's' || c == u't')))
            bit = 1;
        else if (c != u'-' && !setId)
            return -1;
        if (setId)
            special |= 4 >> (i / 3);
        bits = bits * 2 + bit;
    }
    return special * 1000 + (bits >> 6) * 100 + ((bits >> 3) & 7) * 10 + (bits & 7);
}

struct Token
{
    qsizetype begin;
    qsizetype end;
};

} // namespace

FtpListParser::FtpListParser(const QDate &today)
{
    const QDate tomorrow = today.addDays(1);
    m_tomorrow = tomorrow.year() * 10000 + tomorrow.month() * 100 + tomorrow.day();
}

bool FtpListParser::parse(QStringView line, FtpFileInfo &entry) const
{
    if (line.endsWith(u'\r'))
        line.chop(1);
    if (line.isEmpty())
        return false;
    return isDigit(line[0]) ? parseDos(line, entry) : parseUnix(line, entry);
}

bool FtpListParser::parseUnix(QStringView line, FtpFileInfo &entry) const
{
    if (line.size() < 10)
        return false;
    const char16_t kind = line[0].unicode();
    if (kind != u'-' && kind != u'd' && kind != u'l')
        return false;
    const int mode = permissionBits(line.sliced(1, 9));
    if (mode < 0)
        return false;

    // Tokens up to the date: permissions, then links, owner and group (each may be missing),
    // the size and the date's three tokens, or two in the ISO form "2024-01-16 14:30".
    QVarLengthArray<Token, 12> tokens;
    qsizetype at = 0;
    int dateTokens = 0;
    while (dateTokens == 0 && tokens.size() < 12) {
        while (at < line.size() && isBlank(line[at]))
            ++at;
        if (at == line.size())
            return false;
        const qsizetype begin = at;
        while (at < line.size() && !isBlank(line[at]))
            ++at;
        tokens.append({begin, at});
        const auto text = [&](qsizetype fromEnd) {
            const Token &token = tokens[tokens.size() - fromEnd];
            return line.sliced(token.begin, token.end - token.begin);
        };
        const qsizetype count = tokens.size();
        if (count >= 5 && monthOf(text(3)) && number(text(4)) >= 0)
            dateTokens = 3;
        else if (count >= 4 && text(2).size() == 10 && text(2)[4] == u'-' && text(1).contains(u':')
            && number(text(3)) >= 0)
            dateTokens = 2;
    }
    if (dateTokens == 0 || at + 1 >= line.size())
        return false;
    const auto token = [&](qsizetype index) {
        return line.sliced(tokens[index].begin, tokens[index].end - tokens[index].begin);
    };
    const qsizetype last = tokens.size() - 1;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    QStringView time;
    if (dateTokens == 3) {
        month = monthOf(token(last - 2));
        day = int(number(token(last - 1)));
        const QStringView yearOrTime = token(last);
        if (yearOrTime.contains(u':'))
            time = yearOrTime;
        else
            year = int(number(yearOrTime));
    } else {
        const QStringView date = token(last - 1);
        year = int(number(date.first(4)));
        month = date[7] == u'-' ? int(number(date.sliced(5, 2))) : -1;
        day = int(number(date.sliced(8)));
        time = token(last);
    }
    if (!time.isEmpty()) {
        const qsizetype colon = time.indexOf(u':');
        hour = int(number(time.first(colon)));
        minute = int(number(time.sliced(colon + 1)));
        if (colon > 2 || time.size() - colon != 3 || hour < 0 || hour > 23 || minute < 0
            || minute > 59) {
            return false;
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 0 || year > 9999)
        return false;
    if (dateTokens == 3 && !time.isEmpty()) {
        // "ls -l" leaves the year out for the last six months: the latest year that makes the
        // date no later than tomorrow, and a date that exists (29 February).
        year = m_tomorrow / 10000;
        if (year * 10000 + month * 100 + day > m_tomorrow || day > daysInMonth(year, month))
            --year;
    }

    // The name is everything after the one space that follows the date, spaces included.
    QStringView name = line.sliced(at + 1);
    if (kind == u'l') {
        const qsizetype arrow = name.indexOf(u" -> ");
        if (arrow >= 0)
            name.truncate(arrow);
    }
    if (name.isEmpty())
        return false;
    setName(name, entry);
    entry.m_type = kind != u'd' ? FtpFileInfo::File
        : name == u"."          ? FtpFileInfo::CurrentDir
        : name == u".."         ? FtpFileInfo::ParentDir
                                : FtpFileInfo::Dir;
    entry.m_mode = mode;
    const qsizetype sizeIndex = last - dateTokens;
    entry.m_size64 = number(token(sizeIndex));
    entry.m_size = qint64(int(entry.m_size64)) == entry.m_size64 ? int(entry.m_size64) : 0;
    // Links, owner and group before the size; only numeric owners and groups fit the entry.
    if (sizeIndex >= 3) {
        entry.m_owner = numericId(token(2));
        entry.m_group = sizeIndex >= 4 ? numericId(token(3)) : -1;
    }
    setDate(year, month, day, hour, minute, entry);
    return true;
}

bool FtpListParser::parseDos(QStringView line, FtpFileInfo &entry) const
{
    // MM-DD-YY or MM-DD-YYYY, then HH:MM with AM or PM, or without for 24 hours.
    if (line.size() < 8 || line[2] != u'-' || line[5] != u'-')
        return false;
    const int month = int(number(line.first(2)));
    const int day = int(number(line.sliced(3, 2)));
    qsizetype at = 6;
    while (at < line.size() && isDigit(line[at]))
        ++at;
    int year = int(number(line.sliced(6, at - 6)));
    if (at - 6 == 2)
        year += year < 70 ? 2000 : 1900; // as POSIX strptime() reads %y
    else if (at - 6 != 4)
        return false;
    const auto skipBlanks = [&] {
        const qsizetype from = at;
        while (at < line.size() && isBlank(line[at]))
            ++at;
        return at > from;
    };
    const auto word = [&] {
        const qsizetype begin = at;
        while (at < line.size() && !isBlank(line[at]))
            ++at;
        return line.sliced(begin, at - begin);
    };
    if (!skipBlanks())
        return false;
    QStringView time = word();
    const qsizetype colon = time.indexOf(u':');
    if (colon < 1 || colon > 2 || time.size() < colon + 3)
        return false;
    int hour = int(number(time.first(colon)));
    const int minute = int(number(time.sliced(colon + 1, 2)));
    QStringView half = time.sliced(colon + 3);
    const qsizetype beforeHalf = at;
    if (half.isEmpty() && skipBlanks()) {
        half = word();
        if (half.compare(u"AM", Qt::CaseInsensitive) && half.compare(u"PM", Qt::CaseInsensitive)) {
            half = {};
            at = beforeHalf;
        }
    }
    if (!half.isEmpty()) {
        const bool pm = !half.compare(u"PM", Qt::CaseInsensitive);
        if ((!pm && half.compare(u"AM", Qt::CaseInsensitive)) || hour < 1 || hour > 12)
            return false;
        hour = hour % 12 + (pm ? 12 : 0);
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0
        || minute > 59 || !skipBlanks()) {
        return false;
    }
    const QStringView sizeOrDir = word();
    const bool dir = sizeOrDir.compare(u"<DIR>", Qt::CaseInsensitive) == 0;
    const qint64 size = dir ? 0 : number(sizeOrDir);
    // The name follows the column's padding; a name that starts with spaces loses them.
    if (size < 0 || !skipBlanks() || at == line.size())
        return false;
    const QStringView name = line.sliced(at);
    setName(name, entry);
    entry.m_type = !dir ? FtpFileInfo::File
        : name == u"."  ? FtpFileInfo::CurrentDir
        : name == u".." ? FtpFileInfo::ParentDir
                        : FtpFileInfo::Dir;
    entry.m_size64 = size;
    entry.m_size = qint64(int(size)) == size ? int(size) : 0;
    setDate(year, month, day, hour, minute, entry);
    return true;
}

void FtpListParser::setName(QStringView name, FtpFileInfo &entry)
{
    entry.m_name = name.toString();
    entry.m_id = entry.m_name; // shared, not copied
}

void FtpListParser::setDate(int year, int month, int day, int hour, int minute, FtpFileInfo &entry)
{
    // 1yyyyMMddhhmm00, as FtpFileInfo keeps 14 plain "modify" digits; an impossible date is
    // found invalid when the date is read.
    const quint64 packed = 100000000000000ULL + quint64(year) * 10000000000ULL
        + quint64(month) * 100000000ULL + quint64(day) * 1000000ULL + quint64(hour) * 10000ULL
        + quint64(minute) * 100ULL;
    entry.m_modificationDate = QDateTime::fromMSecsSinceEpoch(qint64(packed), Qt::UTC);
}

void FtpListParser::makeUpId(FtpFileInfo &entry)
{
    if (entry.m_id.isEmpty())
        entry.m_id = entry.m_name;
}

QList<FtpFileInfo> parseListListing(
    const QByteArray &reply, FtpFileInfo::FileType fileType, const QDate &today)
{
    const FtpListParser parser(today);
    const FtpFileInfo blank = FtpListParser::blankEntry();
    return readListingLines(reply, fileType, [&](const QString &line, QList<FtpFileInfo> &entries) {
        return parser.parse(line, entries.emplaceBack(blank));
    });
}

FtpFileInfo FtpFileInfo::fromListLine(const QString &line, const QDate &today)
{
    FtpFileInfo entry;
    FtpListParser(today).parse(line, entry);
    return entry;
}

} // namespace zendra
