// SPDX-License-Identifier: MIT
#ifndef ZENDRA_FTPFILEINFO_H
#define ZENDRA_FTPFILEINFO_H

#include "zendra_export.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>

namespace zendra {

/// One entry of an MLSD directory listing, parsed from its line, or of a LIST listing
/// (fromListLine()). group(), mode() and owner() are -1 when the line has no such fact.
class ZENDRA_EXPORT FtpFileInfo
{
public:
    /// Entry types; All is a listing filter only and never the type of an entry.
    enum FileType {
        NoType = -1, ///< No "type" fact, or a value other than the four below.
        File = 0, ///< "type=file".
        Dir = 1, ///< "type=dir".
        ParentDir = 2, ///< "type=pdir": the parent directory.
        CurrentDir = 3, ///< "type=cdir": the listed directory itself.
        All = 4 ///< The listing filter that keeps entries of every type.
    };

    /// Parses one MLSD line ("fact=value;...; name"); a trailing CR is ignored.
    explicit FtpFileInfo(const QString &line);
    /// Parses one line of a LIST reply: Unix "ls -l" (symbolic links, names with spaces) or the
    /// DOS/IIS form ("<DIR>", AM/PM). LIST tells less than MLSD, and the entry shows it: id() is
    /// the name (made up by zendra), permissions() is empty, mode() holds the permission bits as
    /// "UNIX.mode" would (755), and modificationDate() has no seconds and no time zone (read as
    /// local time, like MLSD dates), is midnight when the line gives a year but no time, and takes
    /// the latest year that puts it no later than a day after @p today when the line gives a time
    /// but no year. A symbolic link is a File. A line that is no entry ("total 8") is not valid.
    static FtpFileInfo fromListLine(const QString &line, const QDate &today = QDate::currentDate());
    /// Copies every field of @p other.
    FtpFileInfo(const FtpFileInfo &other);
    /// Copies every field of @p other into this entry.
    FtpFileInfo &operator=(const FtpFileInfo &other);
    /// Destroys the entry.
    virtual ~FtpFileInfo();

    /// The file name, trimmed.
    QString name() const;
    /// The "modify" fact as local time; invalid when absent or malformed. A plain 14-digit value
    /// is converted when it is read, in the system time zone of that moment, not when parsed.
    QDateTime modificationDate() const;
    /// The "modify" fact as MLSD means it, in UTC: the instant the server gave, with its fraction
    /// of a second (to the millisecond), which modificationDate() refuses. Invalid when absent or
    /// malformed; unlike modificationDate() never moved by the local zone's changes. For an entry
    /// of a LIST line, whose zone the server does not say, the server's wall clock read as UTC.
    QDateTime modificationDateUtc() const;
    /// The "perm" fact, or empty.
    QString permissions() const;
    /// The "type" fact, or NoType.
    FileType type() const;
    /// The "unique" fact, or empty.
    QString id() const;
    /// The "UNIX.group" fact, or -1.
    int group() const;
    /// The "UNIX.mode" fact read as a decimal number, or -1.
    int mode() const;
    /// The "UNIX.owner" fact, or -1.
    int owner() const;
    /// The "size" fact, or 0 (also when it does not fit an int).
    int size() const;
    /// The "size" fact as a 64-bit number, for files of 2 GiB and more, which size() gives as 0;
    /// 0 when absent, not a base-10 number or beyond the range of qint64.
    qint64 size64() const;

    /// True when the entry has a known type, a unique id and a name.
    bool isValid() const;
    /// Writes the entry as one debug line.
    void print() const;

private:
    friend class FtpListParser;
    FtpFileInfo() = default;
    static int searchKey(const QString &key, const QList<QString> &parts, QSet<int> &remaining);

    QString m_name;
    QDateTime m_modificationDate;
    QString m_permissions;
    FileType m_type = NoType;
    QString m_id;
    int m_group = -1;
    int m_mode = -1;
    int m_owner = -1;
    int m_size = 0;
    // Not a field of the record but how it is kept: the "size" value in 64 bits. And where the
    // "modify" value is 14 plain digits, m_modificationDate holds that number plus 10^14 as
    // milliseconds since the epoch in Qt::UTC (which the parse never gives): the value to
    // convert when it is read; with a fraction of a second, mlsdPackedFraction() of it, which
    // is larger than any such number.
    qint64 m_size64 = 0;
};

} // namespace zendra

#endif // ZENDRA_FTPFILEINFO_H
