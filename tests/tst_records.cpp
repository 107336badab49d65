// SPDX-License-Identifier: MIT
// The parsed records: FtpFileInfo (one MLSD line), the listing path that turns a reply into
// entries, the fast path for their modification dates, and CertificateInfo (libcurl's lines for
// one certificate). CTest runs it once more under a zone with daylight saving time.
#include "logcapture.h"
#include "mlsdlisting_p.h"
#include "mlsdtime_p.h"
#include "testcertificates.h"

#include <zendra/certificateinfo.h>

#include <QRandomGenerator>
#include <QTest>
#include <QTimeZone>

using zendra::CertificateInfo;
using zendra::FtpFileInfo;

namespace {

// name|type|size|date|permissions|id|group|mode|owner|validity, the date "-" when invalid.
QString describe(const FtpFileInfo &entry)
{
    const QDateTime date = entry.modificationDate();
    const QString when = date.timeSpec() == Qt::LocalTime ? date.toString("yyyyMMddhhmmss") : "UTC";
    return QStringList {entry.name(), QString::number(entry.type()), QString::number(entry.size()),
        date.isValid() ? when : "-", entry.permissions(), entry.id(),
        QString::number(entry.group()), QString::number(entry.mode()),
        QString::number(entry.owner()), entry.isValid() ? "valid" : "invalid"}
        .join('|');
}

// Every accessor that is not empty, as "accessor=value".
QStringList describe(const CertificateInfo &info)
{
    const auto number = [](int value) { return value ? QString::number(value) : QString(); };
    const auto date = [](const QDateTime &value) {
        return !value.isValid()
            ? QString()
            : value.toString(Qt::ISODate) + (value.timeSpec() == Qt::UTC ? "" : " not UTC");
    };
    const QStringList values {"subject=" + info.subject(), "issuer=" + info.issuer(),
        "version=" + number(info.version()), "serialNumber=" + info.serialNumber(),
        "signatureAlgorithm=" + info.signatureAlgorithm(), "startDate=" + date(info.startDate()),
        "expirationDate=" + date(info.expirationDate()),
        "publicKeyAlogrithm=" + info.publicKeyAlogrithm(),
        "publicKeyLength=" + number(info.publicKeyLength()), "rsa_n=" + info.rsa_n(),
        "rsa_e=" + info.rsa_e(), "signature=" + info.signature(), "pem=" + info.pem(),
        "certificate=" + info.certificate().subjectInfo(QSslCertificate::CommonName).join(',')};
    QStringList fields;
    for (const QString &value : values) {
        if (!value.endsWith('='))
            fields << value;
    }
    return fields;
}

// Everything a caller can observe of a QDateTime.
QString observe(const QDateTime &dateTime)
{
    return QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
        .arg(dateTime.isValid())
        .arg(dateTime.isNull())
        .arg(dateTime.toString(Qt::ISODateWithMs))
        .arg(dateTime.timeSpec())
        .arg(dateTime.offsetFromUtc())
        .arg(dateTime.isDaylightTime())
        .arg(dateTime.isValid() ? dateTime.toMSecsSinceEpoch() : 0);
}

QString stamp(int year, int month, int day, int hour, int minute, int second)
{
    return QString::asprintf("%04d%02d%02d%02d%02d%02d", year, month, day, hour, minute, second);
}

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorString()));
    }

    void entryParsesTheFactsOfItsLine_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("fields");
        const char nul[] = "type=file;unique=\0\1;  a\0b\t";
        const auto row = [](const char *tag, const QString &line, const QString &fields) {
            QTest::newRow(tag) << line << fields;
        };
        row("every fact",
            "type=file;size=1024;modify=20240131235959;perm=adfr;unique=8U3;UNIX.mode=0644;"
            "UNIX.owner=1000;UNIX.group=100; report.txt",
            "report.txt|0|1024|20240131235959|adfr|8U3|100|644|1000|valid");
        row("cdir is 3", "type=cdir;unique=1; .", ".|3|0|-||1|-1|-1|-1|valid");
        row("pdir is 2", "type=pdir;unique=2; ..", "..|2|0|-||2|-1|-1|-1|valid");
        row("no unique", "type=dir;size=5; a", "a|1|5|-|||-1|-1|-1|invalid");
        row("type is case-sensitive", "type=Dir;unique=9; a", "a|-1|0|-||9|-1|-1|-1|invalid");
        row("link", "type=OS.unix=slink:t;unique=9; a", "a|-1|0|-||9|-1|-1|-1|invalid");
        row("empty line", "", "|-1|0|-|||-1|-1|-1|invalid");
        row("no semicolon: all name", "size=5", "size=5|-1|5|-|||-1|-1|-1|invalid");
        row("CR, spaces, ';' in the name", "type=file;unique=9;x;  2 résumé\r",
            "2 résumé|0|0|-||9|-1|-1|-1|valid");
        row("not numbers", "type=file;size=3000000000;UNIX.mode=rw;unique=9; f",
            "f|0|0|-||9|-1|0|-1|valid");
        row("fractional seconds", "type=file;modify=20240131235959.5;unique=9; f",
            "f|0|0|-||9|-1|-1|-1|valid");
        row("fact names are case-sensitive", "Type=file;Size=10;Unique=1; f",
            "f|-1|0|-|||-1|-1|-1|invalid");
        row("NUL and control characters", QString::fromUtf8(nul, sizeof nul - 1),
            QString("a") + QChar(0) + "b|0|0|-||" + QChar(0) + QChar(1) + "|-1|-1|-1|valid");
    }
    void entryParsesTheFactsOfItsLine()
    {
        QFETCH(QString, line);
        QFETCH(QString, fields);
        const FtpFileInfo entry(line);
        QCOMPARE(describe(entry), fields);
        FtpFileInfo copy(QStringLiteral("type=dir;unique=1; other"));
        copy = FtpFileInfo(entry);
        QCOMPARE(describe(copy), fields);
    }

    void entryPrintsOneDebugLine()
    {
        const FtpFileInfo entry("type=file;size=1;modify=20240131235959;perm=r;unique=8U3;"
                                "UNIX.mode=0644;UNIX.owner=1000;UNIX.group=100; \"a\".txt");
        QString date;
        QDebug(&date) << entry.modificationDate();
        LogCapture log;
        entry.print();
        QCOMPARE(log.lines(),
            QStringList("Name:  \"\\\"a\\\".txt\"  type:  0  modification date:  " + date.trimmed()
                + "  size:  1  permissions:  \"r\"  group:  100  mode:  644  owner:  1000  id:  "
                  "\"8U3\""));
    }

    void listingKeepsTheValidEntriesOfTheType_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<FtpFileInfo::FileType>("type");
        QTest::addColumn<QString>("names");
        const QByteArray reply
            = "type=cdir;unique=1; .\r\ntype=pdir;unique=2; ..\r\n"
              "type=file;unique=3; a\r\ntype=dir;unique=4; d\r\n"
              "type=file; no-unique\r\ntype=OS.unix=slink:/x;unique=5; link\r\n\r\n";
        const char nul[] = "type=file;unique=1; a\0b\n\0\n\0\0";
        const auto row
            = [](const char *tag, const QByteArray &reply, FtpFileInfo::FileType type,
                  const QString &names) { QTest::newRow(tag) << reply << type << names; };
        row("all", reply, FtpFileInfo::All, ".,..,a,d");
        row("file", reply, FtpFileInfo::File, "a");
        row("dir", reply, FtpFileInfo::Dir, "d");
        row("cdir", reply, FtpFileInfo::CurrentDir, ".");
        row("pdir", reply, FtpFileInfo::ParentDir, "..");
        row("no type", reply, FtpFileInfo::NoType, "");
        row("empty", "", FtpFileInfo::All, "");
        row("LF, none at the end", "type=dir;unique=1; x\ntype=dir;unique=2; y", FtpFileInfo::Dir,
            "x,y");
        row("NUL bytes", QByteArray(nul, sizeof nul - 1), FtpFileInfo::All,
            QString::fromUtf8("a\0b", 3));
        row("invalid UTF-8", "type=file;unique=1; \xff\xfe\xc3.txt\r\n", FtpFileInfo::File,
            "\ufffd\ufffd\ufffd.txt");
        row("a million line feeds", QByteArray(1 << 20, '\n'), FtpFileInfo::All, "");
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

    // Against the parser it stands in for: values at and beyond every field's limits, every
    // minute around each change of the zone's offset, random ones, and no values at all.
    void modificationDatesMatchTheParser()
    {
        QStringList values {QString(), "2024013123595", "202401312359590", "20240131235959.123",
            " 20240131235959", "+2024013123595", "2024-1-3123595", "２０２４０１３１２３５９５９"};
        for (int year : {0, 1, 999, 1582, 1900, 1969, 1970, 2000, 2024, 2038, 2100, 9999}) {
            for (int month : {0, 1, 2, 12, 13}) {
                for (int day : {0, 1, 28, 29, 30, 31, 32}) {
                    for (int hour : {0, 23, 24}) {
                        values << stamp(year, month, day, hour, 59, 59)
                               << stamp(year, month, day, hour, 60, 0)
                               << stamp(year, month, day, hour, 0, 60);
                    }
                }
            }
        }
        // In wall-clock time, so that the times a gap skips and those that repeat are there.
        const QTimeZone zone = QTimeZone::systemTimeZone();
        for (const QTimeZone::OffsetData &change :
            zone.transitions(QDateTime(QDate(1969, 1, 1), {}, Qt::UTC),
                QDateTime(QDate(2041, 1, 1), {}, Qt::UTC))) {
            const QDateTime before = change.atUtc.addSecs(-1).toTimeZone(zone);
            const QDateTime wallClock(before.date(), before.time(), Qt::UTC);
            for (int minute = -150; minute <= 150; ++minute)
                values << wallClock.addSecs(minute * 61 + 1).toString("yyyyMMddhhmmss");
        }
        QRandomGenerator random(20240131);
        for (int i = 0; i < 10000; ++i) {
            values << QString::number(random.generate64() % 100000000000000).rightJustified(14, '0')
                   << stamp(random.bounded(1960, 2060), random.bounded(1, 13),
                          random.bounded(1, 32), random.bounded(24), random.bounded(60),
                          random.bounded(60));
        }
        int valid = 0;
        for (const QString &value : std::as_const(values)) {
            const QDateTime expected = QDateTime::fromString(value, "yyyyMMddhhmmss");
            // The second parse of a value may come from a cache.
            for (int pass = 0; pass < 2; ++pass) {
                const QString actual = observe(zendra::mlsdModificationTime(value));
                if (actual != observe(expected))
                    QFAIL(qPrintable(value + ": " + actual + ", expected " + observe(expected)));
            }
            valid += expected.isValid() ? 1 : 0;
        }
        QVERIFY2(
            valid > 10000 && values.size() - valid > 10000, qPrintable(QString::number(valid)));
    }

    void certificateInfoReadsTheFieldsOfItsLines_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("fields");
        const QString server = m_certificates.certificate("server").toPem();
        const QString root = m_certificates.certificate("root").toPem();
        const auto row = [](const char *tag, const QString &lines, const QString &fields) {
            QTest::newRow(tag) << lines.split('|') << fields;
        };
        row("no lines", "", "");
        row("signature algorithm is not signature", "Signature Algorithm:sha256|Signature:a:b",
            "signatureAlgorithm=sha256|signature=a:b");
        row("dates in UTC",
            "Start Date:2024-01-31 23:59:59 GMT|Expire Date:2030-12-01 00:00:00 GMT",
            "startDate=2024-01-31T23:59:59Z|expirationDate=2030-12-01T00:00:00Z");
        // As libcurl writes them: neither the key nor the date matches.
        row("libcurl's date lines",
            "Start date:Jan 31 23:59:59 2024 GMT|Expire Date:2024-02-30 10:00:00 GMT", "");
        row("last of two wins, case counts", "Subject:CN=a|Subject:CN=b|subject:CN=c",
            "subject=CN=b");
        row("value kept as it is", "Issuer: CN=x |rsa(e):10001\n", "issuer= CN=x |rsa_e=10001\n");
        row("numbers", "RSA Public Key:4096|Version:2|Serial Number:01",
            "version=2|serialNumber=01|publicKeyLength=4096");
        row("not numbers", "RSA Public Key:4096 bits|Version:v3", "");
        row("unknown keys and keys alone", "ECC Public Key:256||:x|Cert|Subject", "");
        row("rsa fields", "Public Key Algorithm:rsa|rsa(n):C0FF",
            "publicKeyAlogrithm=rsa|rsa_n=C0FF");
        row("first of two certificates", "Cert:" + root + server,
            "pem=" + root + server + "|certificate=Zendra Test Root CA");
        const QStringList garbage {"-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----",
            server.left(200), server.toUpper(), QString(QChar(0)) + "\xff", QString(100000, 'A')};
        for (const QString &text : garbage)
            row("garbage certificate", "Cert:" + text, "pem=" + text);
    }
    void certificateInfoReadsTheFieldsOfItsLines()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, fields);
        CertificateInfo copy({"Issuer:CN=other"});
        copy = CertificateInfo(CertificateInfo(lines));
        QCOMPARE(describe(copy).join('|'), fields);
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
