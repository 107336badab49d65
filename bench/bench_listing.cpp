// SPDX-License-Identifier: MIT
// The whole listing path (split the reply at line feeds, parse every line as UTF-8, keep the
// valid entries of the wanted type) on a reply recorded from a real server and on one generated in
// ProFTPD's shape with a time of its own on every line, beside a reference
// that parses each line literally: QString::split, a QSet of remaining parts and
// QDateTime::fromString per line. And the LIST path of lenient listings on a generated "ls -l"
// whose every line has its own time, in the same run.
#include "ftplistparser_p.h"
#include "mlsdlisting_p.h"

#include <QFile>
#include <QSet>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

using zendra::FtpFileInfo;

namespace {

// The reference: one entry parsed as literally as the record's rules read.
struct NaiveEntry
{
    QString name;
    QDateTime modificationDate;
    QString permissions;
    FtpFileInfo::FileType type = FtpFileInfo::NoType;
    QString id;
    int group = -1;
    int mode = -1;
    int owner = -1;
    int size = 0;
    qint64 size64 = 0;

    explicit NaiveEntry(const QString &line)
    {
        const QList<QString> parts = line.split(u';', Qt::KeepEmptyParts);
        QSet<int> remaining;
        for (int i = 0; i < parts.size(); ++i)
            remaining.insert(i);
        name = parts.last().trimmed();
        const auto value = [&](const QString &key) -> std::optional<QString> {
            for (int i = 0; i < parts.size(); ++i) {
                if (remaining.contains(i) && parts.at(i).indexOf(key) != -1) {
                    remaining.remove(i);
                    return parts.at(i).mid(key.size());
                }
            }
            return std::nullopt;
        };
        if (const auto v = value(QStringLiteral("modify=")))
            modificationDate = QDateTime::fromString(*v, QStringLiteral("yyyyMMddhhmmss"));
        if (const auto v = value(QStringLiteral("perm=")))
            permissions = *v;
        if (const auto v = value(QStringLiteral("size="))) {
            size = v->toInt();
            size64 = v->toLongLong();
        }
        if (const auto v = value(QStringLiteral("type="))) {
            if (*v == u"file")
                type = FtpFileInfo::File;
            else if (*v == u"dir")
                type = FtpFileInfo::Dir;
            else if (*v == u"cdir")
                type = FtpFileInfo::CurrentDir;
            else if (*v == u"pdir")
                type = FtpFileInfo::ParentDir;
        }
        if (const auto v = value(QStringLiteral("unique=")))
            id = *v;
        if (const auto v = value(QStringLiteral("UNIX.group=")))
            group = v->toInt();
        if (const auto v = value(QStringLiteral("UNIX.mode=")))
            mode = v->toInt();
        if (const auto v = value(QStringLiteral("UNIX.owner=")))
            owner = v->toInt();
    }

    bool isValid() const { return type != FtpFileInfo::NoType && !id.isEmpty() && !name.isEmpty(); }
};

// The reference's listing path, written out as the service's rules read.
QList<NaiveEntry> naiveListing(const QByteArray &reply, FtpFileInfo::FileType fileType)
{
    QList<NaiveEntry> entries;
    for (const QByteArray &piece : reply.split('\n')) {
        const NaiveEntry entry(QString::fromUtf8(piece));
        if (entry.isValid() && (fileType == FtpFileInfo::All || entry.type == fileType))
            entries.append(entry);
    }
    return entries;
}

template<typename Entry>
QList<Entry> listing(const QByteArray &reply, FtpFileInfo::FileType fileType);

// The library's path is the very function that FtpService::listDirectory() runs.
template<>
QList<FtpFileInfo> listing(const QByteArray &reply, FtpFileInfo::FileType fileType)
{
    return zendra::parseMlsdListing(reply, fileType);
}

template<>
QList<NaiveEntry> listing(const QByteArray &reply, FtpFileInfo::FileType fileType)
{
    return naiveListing(reply, fileType);
}

QByteArray recordedReply()
{
    QFile file(QStringLiteral(ZENDRA_LISTING_REPLY));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", ZENDRA_LISTING_REPLY);
        std::exit(1);
    }
    return file.readAll();
}

// The recording's files were made within seconds, so they share a handful of times. This
// variant gives every line its own time, spread over years, as an old directory would have.
QByteArray distinctTimes(const QByteArray &reply)
{
    const QDateTime base(QDate(2010, 1, 1), QTime(0, 0));
    QByteArray result;
    qint64 i = 0;
    for (const QByteArray &piece : reply.split('\n')) {
        if (piece.startsWith("modify=")) {
            const QByteArray stamp
                = base.addSecs(i++ * 4099).toString(QStringLiteral("yyyyMMddhhmmss")).toLatin1();
            result += "modify=" + stamp + piece.mid(21) + '\n';
        } else if (!piece.isEmpty()) {
            result += piece + '\n';
        }
    }
    return result;
}

// A directory as ProFTPD 1.3.8 lists it (its fact order, UNIX.* facts with the owner's and group's
// names, CR LF): every line has its own modification time, 13 years apart in all, one line in
// ten is a directory, one file in a thousand is 3 GiB or more; "." and ".." come first.
QByteArray proftpdReply(int lines)
{
    const QDateTime base(QDate(2010, 1, 1), QTime(0, 0), Qt::UTC);
    QByteArray result = "modify=20240131120000;perm=flcdmpe;type=cdir;unique=FE00UA720F1;"
                        "UNIX.group=100;UNIX.groupname=users;UNIX.mode=0755;UNIX.owner=1000;"
                        "UNIX.ownername=alice; .\r\n"
                        "modify=20231224080000;perm=flcdmpe;type=pdir;unique=FE00UA70001;"
                        "UNIX.group=0;UNIX.groupname=root;UNIX.mode=0755;UNIX.owner=0;"
                        "UNIX.ownername=root; ..\r\n";
    for (int i = 0; i < lines - 2; ++i) {
        const QByteArray stamp
            = base.addSecs(qint64(i) * 4099).toString(QStringLiteral("yyyyMMddhhmmss")).toLatin1();
        const bool dir = i % 10 == 7;
        const qint64 size = i % 1000 == 999 ? 3221225472LL + i : qint64(i) * 7919 % 5000000;
        result += "modify=" + stamp + (dir ? ";perm=flcdmpe;" : ";perm=adfr;size=")
            + (dir ? QByteArray() : QByteArray::number(size) + ';')
            + "type=" + (dir ? "dir" : "file") + ";unique=FE00U"
            + QByteArray::number(0xA72100 + i, 16).toUpper()
            + ";UNIX.group=100;UNIX.groupname=users;UNIX.mode=" + (dir ? "0755" : "0644")
            + ";UNIX.owner=1000;UNIX.ownername=alice; " + (dir ? "dir-" : "report-")
            + QByteArray::number(i) + (dir ? "" : ".pdf") + "\r\n";
    }
    return result;
}

// Both parsers must agree on every entry before their speed means anything.
void checkSameResults(const QByteArray &reply)
{
    const QList<FtpFileInfo> fast = listing<FtpFileInfo>(reply, FtpFileInfo::All);
    const QList<NaiveEntry> naive = listing<NaiveEntry>(reply, FtpFileInfo::All);
    bool same = fast.size() == naive.size();
    for (qsizetype i = 0; same && i < fast.size(); ++i) {
        const FtpFileInfo &a = fast.at(i);
        const NaiveEntry &b = naive.at(i);
        same = a.name() == b.name && a.modificationDate() == b.modificationDate
            && a.modificationDate().isValid() == b.modificationDate.isValid()
            && a.modificationDate().timeSpec() == b.modificationDate.timeSpec()
            && a.permissions() == b.permissions && a.type() == b.type && a.id() == b.id
            && a.group() == b.group && a.mode() == b.mode && a.owner() == b.owner
            && a.size() == b.size && a.size64() == b.size64;
    }
    if (!same) {
        std::fprintf(stderr, "the listing path and the reference disagree\n");
        std::exit(1);
    }
}

const QByteArray &reply(int variant)
{
    static const QByteArray recorded = recordedReply();
    static const QByteArray distinct = distinctTimes(recorded);
    static const QByteArray proftpd = proftpdReply(100000);
    static const bool checked
        = (checkSameResults(recorded), checkSameResults(distinct), checkSameResults(proftpd), true);
    Q_UNUSED(checked);
    return variant == 0 ? recorded : variant == 1 ? distinct : proftpd;
}

template<typename Entry>
void BM_Listing(benchmark::State &state)
{
    const QByteArray &data = reply(int(state.range(0)));
    const qsizetype lines = data.count('\n');
    for (auto _ : state) {
        const QList<Entry> entries = listing<Entry>(data, FtpFileInfo::File);
        benchmark::DoNotOptimize(entries.size());
    }
    state.SetItemsProcessed(state.iterations() * lines);
    static const char *const labels[] = {"recorded reply", "distinct times", "ProFTPD-shaped"};
    state.SetLabel(labels[state.range(0)]);
}

// A directory as "ls -l" shows it (LF, as libcurl delivers it), 100,000 lines each with its own
// time: nine in ten recent ("Dec  4 20:09", a minute apart, the year inferred), one in ten older
// ("Mar  4  2019", a day apart); one line in ten a directory, one in a hundred a link, names with
// spaces, one file in a thousand of 3 GiB or more. Each line's name, size and time go to @p
// expected.
QByteArray lsReply(int lines, const QDate &today, QStringList *expected)
{
    static const char *const months[]
        = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDateTime noon(today, QTime(12, 0));
    QByteArray result;
    for (int i = 0; i < lines; ++i) {
        const bool old = i % 10 == 3;
        const QDateTime time = old ? QDateTime(today.addDays(-200 - i / 10), QTime(0, 0))
                                   : noon.addSecs(-60 * qint64(i - i / 10));
        const char kind = i % 10 == 7 ? 'd' : i % 100 == 42 ? 'l' : '-';
        const qint64 size = kind == 'd' ? 4096
            : i % 1000 == 999           ? 3221225472LL + i
                                        : qint64(i) * 7919 % 5000000;
        const QByteArray name = (i % 4 == 1 ? "Quarterly report " : "report-")
            + QByteArray::number(i) + (kind == 'd' ? "" : ".pdf");
        const QByteArray yearOrTime = old ? QByteArray::number(time.date().year()).rightJustified(5)
                                          : time.toString("hh:mm").toLatin1();
        result += QByteArray(1, kind) + (kind == 'd' ? "rwxr-xr-x" : "rw-r--r--")
            + "    1 1000     100  " + QByteArray::number(size).rightJustified(12) + ' '
            + months[time.date().month() - 1] + ' '
            + QByteArray::number(time.date().day()).rightJustified(2) + ' ' + yearOrTime + ' '
            + name + (kind == 'l' ? " -> target" : "") + '\n';
        if (kind != 'd')
            expected->append(QString::fromLatin1(name + ' ' + QByteArray::number(size) + ' ')
                + time.toString("yyyyMMddhhmm"));
    }
    return result;
}

void BM_ListListing(benchmark::State &state)
{
    const QDate today(2026, 12, 7);
    QStringList expected;
    const QByteArray data = lsReply(100000, today, &expected);
    QStringList parsed;
    for (const FtpFileInfo &entry : zendra::parseListListing(data, FtpFileInfo::File, today)) {
        parsed.append(entry.name() + ' ' + QString::number(entry.size64()) + ' '
            + entry.modificationDate().toString("yyyyMMddhhmm"));
    }
    if (parsed != expected) {
        std::fprintf(stderr, "the LIST path misreads the generated listing\n");
        std::exit(1);
    }
    for (auto _ : state) {
        const QList<FtpFileInfo> entries = zendra::parseListListing(data, FtpFileInfo::File, today);
        benchmark::DoNotOptimize(entries.size());
    }
    state.SetItemsProcessed(state.iterations() * data.count('\n'));
    state.SetLabel("ls -l, distinct times");
}

} // namespace

BENCHMARK_TEMPLATE(BM_Listing, FtpFileInfo)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Listing, NaiveEntry)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListListing)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
