// SPDX-License-Identifier: MIT
// Internal: the lines of a LIST reply as FtpFileInfo entries, for servers without MLSD. Used by
// FtpFileInfo::fromListLine(), by FtpService's lenient listings and by their tests, fuzzer and
// benchmark.
#ifndef ZENDRA_FTPLISTPARSER_P_H
#define ZENDRA_FTPLISTPARSER_P_H

#include "ftpfileinfo.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QStringView>

namespace zendra {

class FtpListParser
{
public:
    // @p today is the date near the server's, for the year that recent "ls -l" lines leave out.
    explicit FtpListParser(const QDate &today);

    // Reads one LIST line (a CR at its end is ignored) into @p entry, which has every field at
    // its default; false when the line is no entry.
    bool parse(QStringView line, FtpFileInfo &entry) const;

    // An entry without an id gets its name as one: what a lenient listing does with MLSD lines
    // that have no "unique" fact.
    static void makeUpId(FtpFileInfo &entry);
    // An entry with every field at its default, for parse() to fill.
    static FtpFileInfo blankEntry() { return FtpFileInfo(); }

private:
    bool parseUnix(QStringView line, FtpFileInfo &entry) const;
    bool parseDos(QStringView line, FtpFileInfo &entry) const;
    static void setName(QStringView name, FtpFileInfo &entry);
    // The date and time as FtpFileInfo keeps a plain MLSD "modify" value: converted when read.
    static void setDate(int year, int month, int day, int hour, int minute, FtpFileInfo &entry);

    int m_tomorrow; // yyyymmdd, a day after today: the latest date a recent line can mean
};

// The entries of a LIST reply, one per line that is one, of type @p fileType (any for All).
QList<FtpFileInfo> parseListListing(
    const QByteArray &reply, FtpFileInfo::FileType fileType, const QDate &today);

} // namespace zendra

#endif // ZENDRA_FTPLISTPARSER_P_H
