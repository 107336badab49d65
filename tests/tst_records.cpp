// SPDX-License-Identifier: MIT
// The parsed records: FtpFileInfo (one MLSD or LIST line), the listing paths that turn a reply
// into entries, recorded replies of every server checked against the directory they list, the fast
// path for their modification dates, and CertificateInfo (libcurl's lines for one certificate).
// CTest runs it once more under a zone with daylight saving time.
#include "ftplistparser_p.h"
#include "mlsdlisting_p.h"
#include "testcertificates.h"

#include <zendra/certificateinfo.h>

#include <QDir>
#include <QRandomGenerator>
#include <QTest>
#include <QTimeZone>

#include <thread>

using zendra::CertificateInfo;
using zendra::FtpFileInfo;

class TestRecords : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_certificates.create()); }

    void entryParsesItsLine_data()
    {
        QTest::addColumn<QString>("line");
        // name|type|size|size64|date|date in UTC|permissions|id|group|mode|owner
        QTest::addColumn<QString>("fields");
        const auto row = [](const char *tag, const QString &line, const QString &fields) {
            QTest::newRow(tag) << line << fields;
        };
        row("every fact",
            "type=file;size=1024;modify=20240131235959;perm=adfr;unique=8U3;UNIX.mode=0644;"
            "UNIX.owner=1000;UNIX.group=100; report.txt",
            "report.txt|0|1024|1024|20240131235959|2024-01-31T23:59:59.000Z|adfr|8U3|100|644|1000 "
            "valid");
        row("year beyond local time's fast path", "modify=19691231235959;type=dir;unique=4; old",
            "old|1|0|0|19691231235959|1969-12-31T23:59:59.000Z||4|-1|-1|-1 valid");
        row("cdir is 3", "type=cdir;unique=1; .", ".|3|0|0||||1|-1|-1|-1 valid");
        row("pdir is 2", "type=pdir;unique=2; ..", "..|2|0|0||||2|-1|-1|-1 valid");
        row("no unique", "type=dir;size=5; a", "a|1|5|5|||||-1|-1|-1 invalid");
        row("empty line", "", "|-1|0|0|||||-1|-1|-1 invalid");
        row("empty name", "type=file;unique=7; \r", "|0|0|0||||7|-1|-1|-1 invalid");
        row("CR, spaces, ';' in the name", "type=file;unique=9;x;  2 résumé\r",
            "2 résumé|0|0|0||||9|-1|-1|-1 valid");
        row("not numbers",
            "type=file;size=3000000000;UNIX.mode=rw;modify=20240131235959.5;unique=9; f",
            "f|0|0|3000000000||2024-01-31T23:59:59.500Z||9|-1|0|-1 valid");
        const char nul[] = "type=file;unique=\0\1;  a\0b\t";
        row("NUL and control characters", QString::fromUtf8(nul, sizeof nul - 1),
            QString("a") + QChar(0) + "b|0|0|0||||" + QChar(0) + QChar(1) + "|-1|-1|-1 valid");
    }
    void entryParsesItsLine()
    {
        QFETCH(QString, line);
        QFETCH(QString, fields);
        FtpFileInfo entry(QStringLiteral("type=dir;unique=1; other"));
        entry = FtpFileInfo(FtpFileInfo(line));
        const QDateTime date = entry.modificationDate();
        const QString when
            = date.timeSpec() == Qt::LocalTime ? date.toString("yyyyMMddhhmmss") : "UTC";
        QCOMPARE(
            QStringList({entry.name(), QString::number(entry.type()), QString::number(entry.size()),
                            QString::number(entry.size64()), date.isValid() ? when : "",
                            entry.modificationDateUtc().toString(Qt::ISODateWithMs),
                            entry.permissions(), entry.id(), QString::number(entry.group()),
                            QString::number(entry.mode()), QString::number(entry.owner())})
                    .join('|')
                + (entry.isValid() ? " valid" : " invalid"),
            fields);
    }

    void listingKeepsTheValidEntriesOfTheType_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<FtpFileInfo::FileType>("type");
        QTest::addColumn<QString>("names");
        const auto row
            = [](const char *tag, const QByteArray &reply, FtpFileInfo::FileType type,
                  const QString &names) { QTest::newRow(tag) << reply << type << names; };
        const QByteArray reply
            = "type=cdir;unique=1; .\r\ntype=pdir;unique=2; ..\r\n"
              "type=file;unique=3; a\r\ntype=dir;unique=4; d\r\n"
              "type=file; no-unique\r\ntype=OS.unix=slink:/x;unique=5; l\r\n\r\n";
        row("all", reply, FtpFileInfo::All, ".,..,a,d");
        row("dir", reply, FtpFileInfo::Dir, "d");
        row("no type", reply, FtpFileInfo::NoType, "");
        row("LF, none at the end", "type=dir;unique=1; x\ntype=dir;unique=2; y", FtpFileInfo::Dir,
            "x,y");
        const char nul[] = "type=file;unique=1; a\0b\n\0\n\0\0";
        row("NUL bytes", QByteArray(nul, sizeof nul - 1), FtpFileInfo::All,
            QString::fromUtf8("a\0b", 3));
        row("invalid UTF-8", "type=file;unique=1; \xff\xfe\xc3.txt\r\n", FtpFileInfo::File,
            "\ufffd\ufffd\ufffd.txt");
    }
    void listingKeepsTheValidEntriesOfTheType()
    {
        QFETCH(QByteArray, reply);
        QFETCH(FtpFileInfo::FileType, type);
        QFETCH(QString, names);
        QStringList found;
        for (const FtpFileInfo &entry : zendra::parseMlsdListing(reply, type))
            found << entry.name();
        QCOMPARE(found.join(','), names);
    }

    void listLineParsesAsEntry_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("fields"); // name|type|size64|date|id|mode|owner|group
        QFile rows(ZENDRA_TEST_SOURCE_DIR "/data/listings/lines.tsv"); // edges of both forms
        QVERIFY(rows.open(QIODevice::ReadOnly));
        while (!rows.atEnd()) {
            const QStringList row = QString::fromUtf8(rows.readLine()).chopped(1).split('\t');
            QTest::newRow(qPrintable(row[0])) << row[0] << row.value(1);
        }
    }
    void listLineParsesAsEntry()
    {
        QFETCH(QString, line);
        QFETCH(QString, fields);
        // 28 February 2025 would leave 29 February out of the last twelve months.
        const FtpFileInfo entry = FtpFileInfo::fromListLine(line, QDate(2024, 3, 1));
        QCOMPARE(QStringList(
                     {entry.name(), QString::number(entry.type()), QString::number(entry.size64()),
                         entry.modificationDate().toString("yyyyMMddhhmm"), entry.id(),
                         QString::number(entry.mode()), QString::number(entry.owner()),
                         QString::number(entry.group())})
                     .join('|'),
            fields);
    }

    void listingsOfEveryServerMatchTheirDirectory_data()
    {
        QTest::addColumn<QString>("file");
        for (const QString &file :
            QDir(ZENDRA_TEST_SOURCE_DIR "/data/listings").entryList({"*-*.txt"}))
            QTest::newRow(qPrintable(file)) << file;
    }
    void listingsOfEveryServerMatchTheirDirectory()
    {
        QFETCH(QString, file);
        const QDir directory(ZENDRA_TEST_SOURCE_DIR "/data/listings");
        QFile tree(directory.filePath("tree.txt"));
        QFile reply(directory.filePath(file));
        QVERIFY(tree.open(QIODevice::ReadOnly) && reply.open(QIODevice::ReadOnly));
        const QDate today = QDate::fromString(tree.readLine().mid(6).trimmed(), Qt::ISODate);
        const bool mlsd = file.endsWith("mlsd.txt");
        const bool dos = file.startsWith("iis");
        QHash<QString, QStringList> truth; // type, size, UTC time of each name
        while (!tree.atEnd()) {
            const QStringList fields = QString::fromUtf8(tree.readLine()).chopped(1).split('\t');
            // MLSD names keep what follows their last ';'; they and DOS names lose leading spaces.
            const QString name = mlsd ? fields[0].section(';', -1) : fields[0];
            truth.insert(mlsd || dos ? name.trimmed() : name, fields.mid(1));
        }
        const QList<FtpFileInfo> entries = mlsd
            ? zendra::parseMlsdListing(reply.readAll(), FtpFileInfo::All, true)
            : zendra::parseListListing(reply.readAll(), FtpFileInfo::All, today);
        QSet<QString> missing(truth.keyBegin(), truth.keyEnd());
        for (const FtpFileInfo &entry : entries) {
            if (entry.type() == FtpFileInfo::CurrentDir || entry.type() == FtpFileInfo::ParentDir)
                continue;
            const QStringList fact = truth.value(entry.name());
            QVERIFY2(
                missing.remove(entry.name()) && !entry.id().isEmpty(), qPrintable(entry.name()));
            QCOMPARE(entry.type(), fact[0] == "dir" ? FtpFileInfo::Dir : FtpFileInfo::File);
            QVERIFY(fact[0] != "file" || entry.size64() == fact[1].toLongLong());
            // LIST has no seconds, and "ls -l" no time for entries older than six months.
            const QString time = mlsd ? fact[2]
                : !dos && QDate::fromString(fact[2].left(8), "yyyyMMdd").daysTo(today) > 180
                ? fact[2].left(8) + "000000"
                : fact[2].left(12) + "00";
            QCOMPARE(entry.modificationDate().toString("yyyyMMddhhmmss"), time);
        }
        // Dot files are hidden by some servers, links by some MLSD, leading spaces by DOS forms.
        missing -= {".hidden dir", "link to report", dos ? "two leading spaces" : ""};
        QVERIFY2(missing.isEmpty(), qPrintable(QStringList(missing.values()).join(',')));
    }

    // Against the parser it stands in for, read from entries (so converted when read): values
    // beyond each field's limits, random ones, and every wall-clock minute around each change of
    // the zone's offset (skipped or repeated ones).
    void modificationDatesMatchTheParser()
    {
        QStringList values {QString(), "2024013123595", "202401312359590", "20240131235959.1",
            "+2024013123595", "２０２４０１３１２３５９５９", "19000229000000", "20000229000000",
            "21000229000000", "20230229000000", "20240131235959.", "20240131235959.123",
            "2024013123595.9"};
        const QTimeZone zone = QTimeZone::systemTimeZone();
        for (const auto &change : zone.transitions(QDateTime(QDate(1969, 1, 1), {}, Qt::UTC),
                 QDateTime(QDate(2041, 1, 1), {}, Qt::UTC))) {
            const QDateTime before = change.atUtc.addSecs(-1).toTimeZone(zone);
            for (int minute = -150; minute <= 150; ++minute) {
                values << QDateTime(before.date(), before.time(), Qt::UTC)
                              .addSecs(minute * 61 + 1)
                              .toString("yyyyMMddhhmmss");
            }
        }
        QRandomGenerator random(20240131);
        for (int i = 0; i < 20000; ++i) {
            // Half within the fields' ranges, half at and beyond their limits.
            const bool wild = i % 2;
            values << QString::asprintf("%04d%02d%02d%02d%02d%02d",
                random.bounded(wild ? 0 : 1960, wild ? 10000 : 2060),
                random.bounded(!wild, 13 + wild), random.bounded(!wild, wild ? 33 : 29),
                random.bounded(24 + wild), random.bounded(60 + wild), random.bounded(60 + wild));
        }
        const auto observe = [](const QDateTime &time) {
            QString text; // every observable part
            QDebug(&text) << time << time.isNull() << time.offsetFromUtc() << time.isDaylightTime()
                          << (time.isValid() ? time.toMSecsSinceEpoch() : 0);
            return text;
        };
        int valid = 0;
        for (const QString &value : std::as_const(values)) {
            const QDateTime expected = QDateTime::fromString(value, "yyyyMMddhhmmss");
            // The second read of a value may come from a cache.
            const FtpFileInfo entry("type=file;modify=" + value + ";unique=1; f");
            for (int pass = 0; pass < 2; ++pass) {
                const QString actual = observe(entry.modificationDate());
                if (actual != observe(expected))
                    QFAIL(qPrintable(value + ": " + actual + " not " + observe(expected)));
            }
            valid += expected.isValid() ? 1 : 0;
        }
        QVERIFY2(valid > 5000 && values.size() - valid > 2000, qPrintable(QString::number(valid)));
    }

    // The date is converted at every read: one entry read from two threads at once.
    void oneEntryReadFromTwoThreads()
    {
        const FtpFileInfo entry("modify=20240331013000;type=file;unique=1; f");
        const QDateTime expected = QDateTime::fromString("20240331013000", "yyyyMMddhhmmss");
        std::atomic<int> same = 0;
        const auto read = [&] {
            for (int i = 0; i < 5000; ++i)
                same += entry.modificationDate() == expected ? 1 : 0;
        };
        std::thread other(read);
        read();
        other.join();
        QCOMPARE(same.load(), 10000);
    }

    void certificateInfoReadsItsLines_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("fields");
        const auto row = [](const char *tag, const QString &lines, const QString &fields) {
            QTest::newRow(tag) << lines.split('|') << fields;
        };
        const QString server = m_certificates.certificate("server").toPem();
        const QString root = m_certificates.certificate("root").toPem();
        // subject to rsa(e), then signature, PEM text and the certificate's common name.
        const QString none = "||0||||||0||||";
        row("no lines", "", none + '|');
        row("every key",
            "Subject:CN=a|Issuer: CN=b |Version:2|Serial Number:01|Signature Algorithm:sha256|"
            "Start Date:2024-01-31 23:59:59 GMT|Expire Date:2030-12-01 00:00:00 GMT|Public Key "
            "Algorithm:rsa|RSA Public Key:4096|rsa(n):C0FF|rsa(e):10001|Signature:a:b",
            "CN=a| CN=b |2|01|sha256|2024-01-31T23:59:59Z|2030-12-01T00:00:00Z|rsa|4096|C0FF|10001|"
            "a:b||");
        // As libcurl writes them: neither the key nor the date matches.
        row("libcurl's date lines",
            "Start date:Jan 31 23:59:59 2024 GMT|Expire Date:2024-02-30 10:00:00 GMT", none + '|');
        row("last wins, case counts, not numbers",
            "Subject:CN=a|Subject:CN=b|subject:CN=c|Version:v3", "CN=b" + none + '|');
        row("first of two certificates", "Cert:" + root + server,
            none + root + server + "|Zendra Test Root CA");
        for (const QString &garbage :
            {QString("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----"),
                server.left(200), server.toUpper(), QString(QChar(0)) + "\xff",
                QString(100000, 'A')})
            row("garbage certificate", "Cert:" + garbage, none + garbage + '|');
    }
    void certificateInfoReadsItsLines()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, fields);
        CertificateInfo info({"Issuer:CN=other"});
        info = CertificateInfo(CertificateInfo(lines));
        const auto date = [](const QDateTime &value) {
            return value.isValid()
                ? value.toString(Qt::ISODate) + (value.timeSpec() == Qt::UTC ? "" : "?")
                : "";
        };
        QCOMPARE(
            QStringList({info.subject(), info.issuer(), QString::number(info.version()),
                            info.serialNumber(), info.signatureAlgorithm(), date(info.startDate()),
                            date(info.expirationDate()), info.publicKeyAlogrithm(),
                            QString::number(info.publicKeyLength()), info.rsa_n(), info.rsa_e(),
                            info.signature(), info.pem(),
                            info.certificate().subjectInfo(QSslCertificate::CommonName).join(',')})
                .join('|'),
            fields);
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
