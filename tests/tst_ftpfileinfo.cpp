// SPDX-License-Identifier: MIT
#include <zendra/ftpfileinfo.h>

#include "logcapture.h"

#include <QDebug>
#include <QFile>
#include <QTest>

using zendra::FtpFileInfo;

Q_DECLARE_METATYPE(FtpFileInfo::FileType)

namespace {

QDateTime local(int year, int month, int day, int hour, int minute, int second)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second));
}

// The listing path as the FTP front end runs it: one entry per line feed piece, UTF-8.
QList<FtpFileInfo> parseReply(const QByteArray &reply, int *pieces = nullptr)
{
    QList<FtpFileInfo> entries;
    const QList<QByteArray> lines = reply.split('\n');
    for (const QByteArray &line : lines)
        entries.append(FtpFileInfo(QString(line)));
    if (pieces)
        *pieces = int(lines.size());
    return entries;
}

QByteArray readData(const QString &name)
{
    QFile file(QStringLiteral(ZENDRA_TEST_DATA_DIR "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

// One recorded entry as the test expects it.
struct Expected
{
    QString name;
    FtpFileInfo::FileType type;
    int size;
    QDateTime date;
    QString permissions;
    int group;
    int mode;
    int owner;
};

Q_DECLARE_METATYPE(QList<Expected>)

class tst_FtpFileInfo : public QObject
{
    Q_OBJECT

private slots:
    void parsesFactsOfALine_data();
    void parsesFactsOfALine();
    void copiesAndAssignsEveryField();
    void printsOneDebugLine_data();
    void printsOneDebugLine();
    void parsesRecordedReplies_data();
    void parsesRecordedReplies();
};

void tst_FtpFileInfo::parsesFactsOfALine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("name");
    QTest::addColumn<FtpFileInfo::FileType>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<QDateTime>("date");
    QTest::addColumn<QString>("permissions");
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("owner");
    QTest::addColumn<bool>("valid");

    const QDateTime none;
    const QDateTime lastSecondOfJanuary = local(2024, 1, 31, 23, 59, 59);

    QTest::newRow("every fact")
        << "type=file;size=1024;modify=20240131235959;perm=adfr;unique=8U3;UNIX.mode=0644;"
           "UNIX.owner=1000;UNIX.group=100; report.txt"
        << "report.txt" << FtpFileInfo::File << 1024 << lastSecondOfJanuary << "adfr"
        << "8U3" << 100 << 644 << 1000 << true;
    QTest::newRow("cdir is 3") << "type=cdir;unique=1; ."
                               << "." << FtpFileInfo::CurrentDir << 0 << none << ""
                               << "1" << -1 << -1 << -1 << true;
    QTest::newRow("pdir is 2") << "type=pdir;unique=2; .."
                               << ".." << FtpFileInfo::ParentDir << 0 << none << ""
                               << "2" << -1 << -1 << -1 << true;
    QTest::newRow("dir") << "type=dir;unique=3; sub"
                         << "sub" << FtpFileInfo::Dir << 0 << none << ""
                         << "3" << -1 << -1 << -1 << true;
    QTest::newRow("no unique") << "type=file;size=5; a"
                               << "a" << FtpFileInfo::File << 5 << none << ""
                               << "" << -1 << -1 << -1 << false;
    QTest::newRow("no type") << "size=5;unique=9; a"
                             << "a" << FtpFileInfo::NoType << 5 << none << ""
                             << "9" << -1 << -1 << -1 << false;
    QTest::newRow("type is case-sensitive") << "type=Dir;unique=9; a"
                                            << "a" << FtpFileInfo::NoType << 0 << none << ""
                                            << "9" << -1 << -1 << -1 << false;
    QTest::newRow("symlink type") << "type=OS.unix=slink:target;unique=9; a"
                                  << "a" << FtpFileInfo::NoType << 0 << none << ""
                                  << "9" << -1 << -1 << -1 << false;
    QTest::newRow("empty name") << "type=file;unique=9; "
                                << "" << FtpFileInfo::File << 0 << none << ""
                                << "9" << -1 << -1 << -1 << false;
    QTest::newRow("empty line") << ""
                                << "" << FtpFileInfo::NoType << 0 << none << ""
                                << "" << -1 << -1 << -1 << false;
    QTest::newRow("no semicolon is all name") << "size=5"
                                              << "size=5" << FtpFileInfo::NoType << 5 << none << ""
                                              << "" << -1 << -1 << -1 << false;
    QTest::newRow("carriage return") << "type=file;unique=9; a.txt\r"
                                     << "a.txt" << FtpFileInfo::File << 0 << none << ""
                                     << "9" << -1 << -1 << -1 << true;
    QTest::newRow("semicolon in name") << "type=file;unique=9; part one;part two.txt"
                                       << "part two.txt" << FtpFileInfo::File << 0 << none << ""
                                       << "9" << -1 << -1 << -1 << true;
    QTest::newRow("leading spaces and non-ASCII")
        << "type=file;unique=9;    résumé final.txt "
        << "résumé final.txt" << FtpFileInfo::File << 0 << none << ""
        << "9" << -1 << -1 << -1 << true;
    QTest::newRow("size beyond int") << "type=file;size=3000000000;unique=9; big"
                                     << "big" << FtpFileInfo::File << 0 << none << ""
                                     << "9" << -1 << -1 << -1 << true;
    QTest::newRow("largest int size") << "type=file;size=2147483647;unique=9; big"
                                      << "big" << FtpFileInfo::File << 2147483647 << none << ""
                                      << "9" << -1 << -1 << -1 << true;
    QTest::newRow("negative numbers") << "type=file;size=-5;UNIX.owner=-2;unique=9; n"
                                      << "n" << FtpFileInfo::File << -5 << none << ""
                                      << "9" << -1 << -1 << -2 << true;
    QTest::newRow("size not a number") << "type=file;size=12k;UNIX.mode=rwx;unique=9; n"
                                       << "n" << FtpFileInfo::File << 0 << none << ""
                                       << "9" << -1 << 0 << -1 << true;
    QTest::newRow("fractional seconds") << "type=file;modify=20240131235959.123;unique=9; f"
                                        << "f" << FtpFileInfo::File << 0 << none << ""
                                        << "9" << -1 << -1 << -1 << true;
    QTest::newRow("invalid calendar date") << "type=file;modify=20230229120000;unique=9; f"
                                           << "f" << FtpFileInfo::File << 0 << none << ""
                                           << "9" << -1 << -1 << -1 << true;
    QTest::newRow("leap day") << "type=file;modify=20240229000000;unique=9; f"
                              << "f" << FtpFileInfo::File << 0 << local(2024, 2, 29, 0, 0, 0) << ""
                              << "9" << -1 << -1 << -1 << true;
    QTest::newRow("fact names are case-sensitive")
        << "Type=file;Size=10;Modify=20240131235959;Perm=r;Unique=1;unix.mode=0644; f"
        << "f" << FtpFileInfo::NoType << 0 << none << ""
        << "" << -1 << -1 << -1 << false;
    QTest::newRow("ownername and groupname are not owner and group")
        << "type=file;unique=9;UNIX.groupname=staff;UNIX.ownername=joe; f"
        << "f" << FtpFileInfo::File << 0 << none << ""
        << "9" << -1 << -1 << -1 << true;
    QTest::newRow("unknown facts ignored") << "lang=en;type=file;x.y=z;unique=9; f"
                                           << "f" << FtpFileInfo::File << 0 << none << ""
                                           << "9" << -1 << -1 << -1 << true;
    // Containment: media-type holds "type=", comes first and is cut after five characters.
    QTest::newRow("key inside another fact") << "media-type=text/plain;type=file;unique=9; f"
                                             << "f" << FtpFileInfo::NoType << 0 << none << ""
                                             << "9" << -1 << -1 << -1 << false;
    QTest::newRow("key inside the name") << "unique=9; type=file"
                                         << "type=file" << FtpFileInfo::NoType << 0 << none << ""
                                         << "9" << -1 << -1 << -1 << false;
    QTest::newRow("key at the start of the name")
        << "unique=9;type=file;size=3;size=7.txt"
        << "size=7.txt" << FtpFileInfo::File << 3 << none << ""
        << "9" << -1 << -1 << -1 << true;
    QTest::newRow("name serves a missing fact")
        << "type=file; unique=in the name"
        << "unique=in the name" << FtpFileInfo::File << 0 << none << ""
        << "=in the name" << -1 << -1 << -1 << true;
    QTest::newRow("first part in index order wins") << "size=1;size=2;type=file;unique=9; f"
                                                    << "f" << FtpFileInfo::File << 1 << none << ""
                                                    << "9" << -1 << -1 << -1 << true;
    QTest::newRow("consumed part serves no later key")
        << "type=fileunique=5;perm=r; f"
        << "f" << FtpFileInfo::NoType << 0 << none << "r"
        << "" << -1 << -1 << -1 << false;
    // The earlier fact in lookup order takes the part, though its key stands second.
    QTest::newRow("second key of a part") << "perm=rmodify=20240131235959;type=file;unique=9; f"
                                          << "f" << FtpFileInfo::File << 0 << none << ""
                                          << "9" << -1 << -1 << -1 << true;
    QTest::newRow("value cut by key length") << "xmodify=20240131235959;type=file;unique=9; f"
                                             << "f" << FtpFileInfo::File << 0 << none << ""
                                             << "9" << -1 << -1 << -1 << true;
    QTest::newRow("empty values") << "type=file;perm=;unique=;size=; f"
                                  << "f" << FtpFileInfo::File << 0 << none << ""
                                  << "" << -1 << -1 << -1 << false;
    QTest::newRow("empty parts") << ";;type=dir;;unique=4;; d"
                                 << "d" << FtpFileInfo::Dir << 0 << none << ""
                                 << "4" << -1 << -1 << -1 << true;
}

void tst_FtpFileInfo::parsesFactsOfALine()
{
    QFETCH(QString, line);
    QFETCH(QString, name);
    QFETCH(FtpFileInfo::FileType, type);
    QFETCH(int, size);
    QFETCH(QDateTime, date);
    QFETCH(QString, permissions);
    QFETCH(QString, id);
    QFETCH(int, group);
    QFETCH(int, mode);
    QFETCH(int, owner);
    QFETCH(bool, valid);

    const FtpFileInfo entry(line);
    QCOMPARE(entry.name(), name);
    QCOMPARE(entry.type(), type);
    QCOMPARE(entry.size(), size);
    QCOMPARE(entry.modificationDate().isValid(), date.isValid());
    if (date.isValid()) {
        QCOMPARE(entry.modificationDate(), date);
        QCOMPARE(entry.modificationDate().timeSpec(), Qt::LocalTime);
    }
    QCOMPARE(entry.permissions(), permissions);
    QCOMPARE(entry.id(), id);
    QCOMPARE(entry.group(), group);
    QCOMPARE(entry.mode(), mode);
    QCOMPARE(entry.owner(), owner);
    QCOMPARE(entry.isValid(), valid);
}

void tst_FtpFileInfo::copiesAndAssignsEveryField()
{
    const FtpFileInfo source(QStringLiteral(
        "modify=20240131235959;perm=adfr;size=1024;type=file;unique=8U3;UNIX.mode=0644;"
        "UNIX.owner=1000;UNIX.group=100; report.txt"));
    const auto sameFields = [](const FtpFileInfo &a, const FtpFileInfo &b) {
        return a.name() == b.name() && a.modificationDate() == b.modificationDate()
            && a.modificationDate().timeSpec() == b.modificationDate().timeSpec()
            && a.permissions() == b.permissions() && a.type() == b.type() && a.id() == b.id()
            && a.group() == b.group() && a.mode() == b.mode() && a.owner() == b.owner()
            && a.size() == b.size();
    };

    const FtpFileInfo copy(source);
    QVERIFY(sameFields(copy, source));

    FtpFileInfo assigned(QStringLiteral("type=cdir;unique=1; ."));
    QVERIFY(!sameFields(assigned, source));
    assigned = source;
    QVERIFY(sameFields(assigned, source));
    QCOMPARE(assigned.size(), 1024);
    QCOMPARE(assigned.owner(), 1000);

    // An empty entry assigned over a full one leaves the defaults, not the old values.
    assigned = FtpFileInfo(QString());
    QCOMPARE(assigned.group(), -1);
    QCOMPARE(assigned.size(), 0);
    QVERIFY(assigned.modificationDate().isNull());
    QVERIFY(assigned.permissions().isEmpty());
}

void tst_FtpFileInfo::printsOneDebugLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected");

    QString date;
    QDebug(&date) << local(2024, 1, 31, 23, 59, 59);
    QTest::newRow("every fact")
        << "modify=20240131235959;perm=adfr;size=1024;type=file;unique=8U3;UNIX.mode=0644;"
           "UNIX.owner=1000;UNIX.group=100; report.txt"
        << "Name:  \"report.txt\"  type:  0  modification date:  " + date.trimmed()
            + "  size:  1024  permissions:  \"adfr\"  group:  100  mode:  644  owner:  "
              "1000  id:  \"8U3\"";
    QTest::newRow("defaults") << ""
                              << "Name:  \"\"  type:  -1  modification date:  QDateTime(Invalid)  "
                                 "size:  0  permissions:  \"\"  group:  -1  mode:  -1  owner:  -1  "
                                 "id:  \"\"";
    QTest::newRow("quotes escaped") << "type=pdir;unique=a\"b; say \"hi\""
                                    << "Name:  \"say \\\"hi\\\"\"  type:  2  modification date:  "
                                       "QDateTime(Invalid)  size:  0  permissions:  \"\"  group:  "
                                       "-1  mode:  -1  owner:  -1  id:  \"a\\\"b\"";
}

void tst_FtpFileInfo::printsOneDebugLine()
{
    QFETCH(QString, line);
    QFETCH(QString, expected);

    const FtpFileInfo entry(line);
    LogCapture capture;
    entry.print();
    const QList<LogCapture::Entry> entries = capture.entries();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().type, QtDebugMsg);
    QVERIFY(!entries.first().hasContext);
    QCOMPARE(entries.first().message, expected);
}

void tst_FtpFileInfo::parsesRecordedReplies_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QList<Expected>>("expected");

    // pyftpdlib lists no cdir or pdir and gives directories a size; proftpd adds both and the
    // UNIX facts. Both send the modification time as UTC digits, which the entry reads as local.
    const QList<Expected> pyftpdlib = {
        {QStringLiteral("résumé final.txt"), FtpFileInfo::File, 12, local(2023, 7, 14, 8, 30, 0),
            QStringLiteral("r"), -1, -1, -1},
        {QStringLiteral("notes.txt"), FtpFileInfo::File, 1024, local(2024, 1, 31, 23, 59, 59),
            QStringLiteral("r"), -1, -1, -1},
        {QStringLiteral("archive"), FtpFileInfo::Dir, 4096, local(2022, 2, 28, 12, 0, 0),
            QStringLiteral("el"), -1, -1, -1},
    };
    const QList<Expected> proftpd = {
        {QStringLiteral("."), FtpFileInfo::CurrentDir, 0, local(2024, 2, 1, 10, 0, 0),
            QStringLiteral("fle"), 0, 755, 0},
        {QStringLiteral("résumé final.txt"), FtpFileInfo::File, 12, local(2023, 7, 14, 8, 30, 0),
            QStringLiteral("adfr"), 0, 644, 0},
        {QStringLiteral("notes.txt"), FtpFileInfo::File, 1024, local(2024, 1, 31, 23, 59, 59),
            QStringLiteral("adfr"), 0, 644, 0},
        {QStringLiteral(".."), FtpFileInfo::ParentDir, 0, local(2021, 6, 1, 0, 0, 0),
            QStringLiteral("fle"), 0, 755, 0},
        {QStringLiteral("archive"), FtpFileInfo::Dir, 0, local(2022, 2, 28, 12, 0, 0),
            QStringLiteral("fle"), 0, 755, 0},
    };
    QTest::newRow("pyftpdlib via curl") << "mlsd-pyftpdlib.txt" << pyftpdlib;
    QTest::newRow("pyftpdlib CR LF") << "mlsd-pyftpdlib-crlf.txt" << pyftpdlib;
    QTest::newRow("proftpd via curl") << "mlsd-proftpd.txt" << proftpd;
    QTest::newRow("proftpd CR LF") << "mlsd-proftpd-crlf.txt" << proftpd;
}

void tst_FtpFileInfo::parsesRecordedReplies()
{
    QFETCH(QString, file);
    QFETCH(QList<Expected>, expected);

    const QByteArray reply = readData(file);
    QVERIFY2(!reply.isEmpty(), qPrintable(file));
    int pieces = 0;
    const QList<FtpFileInfo> entries = parseReply(reply, &pieces);
    // One piece per line plus the empty one after the final line feed, which is invalid.
    QCOMPARE(pieces, expected.size() + 1);
    QVERIFY(!entries.constLast().isValid());
    QCOMPARE(entries.constLast().name(), QString());

    QSet<QString> ids;
    for (int i = 0; i < expected.size(); ++i) {
        const FtpFileInfo &entry = entries.at(i);
        const Expected &want = expected.at(i);
        QCOMPARE(entry.name(), want.name);
        QCOMPARE(entry.type(), want.type);
        QCOMPARE(entry.size(), want.size);
        QCOMPARE(entry.modificationDate(), want.date);
        QCOMPARE(entry.permissions(), want.permissions);
        QCOMPARE(entry.group(), want.group);
        QCOMPARE(entry.mode(), want.mode);
        QCOMPARE(entry.owner(), want.owner);
        QVERIFY(entry.isValid());
        QVERIFY(!entry.id().isEmpty());
        ids.insert(entry.id());
    }
    QCOMPARE(ids.size(), expected.size());
}

QTEST_GUILESS_MAIN(tst_FtpFileInfo)
#include "tst_ftpfileinfo.moc"
