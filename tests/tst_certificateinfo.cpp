// SPDX-License-Identifier: MIT
#include <zendra/certificateinfo.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaType>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTest>

using zendra::CertificateInfo;

namespace {

const char listTypeName[] = "QList<zendra::CertificateInfo>";

QString dataPath(const QString &name)
{
    return QStringLiteral(ZENDRA_TEST_DATA_DIR "/certinfo/") + name;
}

QString readText(const QString &name)
{
    QFile file(dataPath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll());
}

QString dateText(const QDateTime &date)
{
    return date.toString(Qt::ISODate)
        + (date.timeSpec() == Qt::UTC ? QString() : QStringLiteral(" not UTC"));
}

// Every accessor that differs from its empty value, as "accessor=value" in a fixed order.
QStringList describe(const CertificateInfo &info)
{
    QStringList fields;
    const auto add = [&fields](const char *name, const QString &value) {
        if (!value.isEmpty())
            fields << QString::fromLatin1(name) + u'=' + value;
    };
    add("subject", info.subject());
    add("issuer", info.issuer());
    add("version", info.version() ? QString::number(info.version()) : QString());
    add("serialNumber", info.serialNumber());
    add("signatureAlgorithm", info.signatureAlgorithm());
    add("startDate", info.startDate().isValid() ? dateText(info.startDate()) : QString());
    add("expirationDate",
        info.expirationDate().isValid() ? dateText(info.expirationDate()) : QString());
    add("publicKeyAlogrithm", info.publicKeyAlogrithm());
    add("publicKeyLength",
        info.publicKeyLength() ? QString::number(info.publicKeyLength()) : QString());
    add("rsa_n", info.rsa_n());
    add("rsa_e", info.rsa_e());
    add("signature", info.signature());
    add("pem", info.pem());
    const QSslCertificate certificate = info.certificate();
    add("certificate",
        certificate.isNull() ? QString()
                             : certificate.subjectInfo(QSslCertificate::CommonName).join(u','));
    return fields;
}

QString serialHex(const QSslCertificate &certificate)
{
    return QString::fromLatin1(certificate.serialNumber()).remove(u':').toLower();
}

} // namespace

class tst_CertificateInfo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listTypeIsRegisteredForQueuedSignals();
    void readsFieldsOfLines_data();
    void readsFieldsOfLines();
    void decodesTheFirstOfTwoPemBlocks();
    void copiesAndAssignsTheRecord();
    void readsTheChainRecordedFromLibcurl();

private:
    bool m_registeredAtLoad = false;
};

void tst_CertificateInfo::initTestCase()
{
    // Looked up before this process has used the type in any way: loading the library did it.
    m_registeredAtLoad = QMetaType::fromName(listTypeName).isValid();
}

void tst_CertificateInfo::listTypeIsRegisteredForQueuedSignals()
{
    QVERIFY(m_registeredAtLoad);
    const QMetaType type = QMetaType::fromName(listTypeName);
    QCOMPARE(type, QMetaType::fromType<QList<CertificateInfo>>());
    QCOMPARE(QByteArray(type.name()), QByteArray(listTypeName));
    QVERIFY(!type.isEqualityComparable());
    QVERIFY(!type.isOrdered());
    QVERIFY(!type.hasRegisteredDebugStreamOperator());
    QVERIFY(!type.hasRegisteredDataStreamOperators());

    // Construction, copy and destruction through the meta-type, as a queued connection does.
    const QList<CertificateInfo> chain = {CertificateInfo({QStringLiteral("Subject:CN=a")}),
        CertificateInfo({QStringLiteral("Subject:CN=b")})};
    void *copy = type.create(&chain);
    QVERIFY(copy);
    const auto *copied = static_cast<const QList<CertificateInfo> *>(copy);
    QCOMPARE(copied->size(), 2);
    QCOMPARE(copied->at(1).subject(), QStringLiteral("CN=b"));
    type.destroy(copy);
    void *empty = type.create();
    QVERIFY(empty);
    QVERIFY(static_cast<const QList<CertificateInfo> *>(empty)->isEmpty());
    type.destroy(empty);
}

void tst_CertificateInfo::readsFieldsOfLines_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("no lines") << QStringList() << QStringList();
    QTest::newRow("signature algorithm is not signature")
        << QStringList {"Signature Algorithm:sha256WithRSAEncryption"}
        << QStringList {"signatureAlgorithm=sha256WithRSAEncryption"};
    QTest::newRow("signature keeps its colons")
        << QStringList {"Signature:30:45:02:21"} << QStringList {"signature=30:45:02:21"};
    QTest::newRow("both signatures") << QStringList {"Signature:ab:cd", "Signature Algorithm:ecdsa"}
                                     << QStringList {"signatureAlgorithm=ecdsa", "signature=ab:cd"};
    QTest::newRow("start date") << QStringList {"Start Date:2024-01-31 23:59:59 GMT"}
                                << QStringList {"startDate=2024-01-31T23:59:59Z"};
    QTest::newRow("expire date") << QStringList {"Expire Date:2030-12-01 00:00:00 GMT"}
                                 << QStringList {"expirationDate=2030-12-01T00:00:00Z"};
    QTest::newRow("keys are case-sensitive") << QStringList {"Start date:2024-01-31 23:59:59 GMT",
        "subject:CN=x", "CERT:abc"} << QStringList();
    QTest::newRow("date in another form") << QStringList {"Start Date:Jan 31 23:59:59 2024 GMT",
        "Expire Date:2024-01-31 23:59:59"} << QStringList();
    QTest::newRow("impossible date")
        << QStringList {"Start Date:2024-02-30 10:00:00 GMT"} << QStringList();
    QTest::newRow("last of two wins") << QStringList {"Subject:CN=first", "Subject:CN=second"}
                                      << QStringList {"subject=CN=second"};
    QTest::newRow("value not trimmed") << QStringList {"Issuer: CN=x ", "rsa(e):10001\n"}
                                       << QStringList {"issuer= CN=x ", "rsa_e=10001\n"};
    QTest::newRow("numbers") << QStringList {"RSA Public Key:4096", "Version:2"}
                             << QStringList {"version=2", "publicKeyLength=4096"};
    QTest::newRow("not numbers") << QStringList {"RSA Public Key:4096 bits", "Version:v3"}
                                 << QStringList();
    QTest::newRow("character after the key is skipped unseen")
        << QStringList {"SubjectXCN=a", "Issuers:CN=b", "Serial Number=01:02"}
        << QStringList {"subject=CN=a", "issuer=:CN=b", "serialNumber=01:02"};
    QTest::newRow("key alone") << QStringList {"Cert", "Subject"} << QStringList();
    QTest::newRow("unknown keys dropped") << QStringList {"ECC Public Key:256",
        "X509v3 Basic Constraints:CA:TRUE", "", ":x", " Subject:CN=x"}
                                          << QStringList();
    QTest::newRow("rsa fields") << QStringList {"Public Key Algorithm:rsaEncryption", "rsa(n):C0FF",
        "rsa(e):10001"}
                                << QStringList {"publicKeyAlogrithm=rsaEncryption", "rsa_n=C0FF",
                                       "rsa_e=10001"};
    QTest::newRow("pem that does not decode")
        << QStringList {"Cert:-----BEGIN CERTIFICATE-----\nAAAA\n"}
        << QStringList {"pem=-----BEGIN CERTIFICATE-----\nAAAA\n"};
    const QString serverPem = readText(QStringLiteral("server.pem"));
    QTest::newRow("pem") << QStringList {"Cert:" + serverPem}
                         << QStringList {"pem=" + serverPem, "certificate=localhost"};
}

void tst_CertificateInfo::readsFieldsOfLines()
{
    QFETCH(QStringList, lines);
    QFETCH(QStringList, fields);

    const CertificateInfo info(lines);
    QCOMPARE(describe(info), fields);
    // Missing values are the empty ones, never something else that reads as empty.
    if (info.startDate().isNull())
        QVERIFY(!info.startDate().isValid());
    if (info.pem().isEmpty())
        QVERIFY(info.certificate().isNull());
}

void tst_CertificateInfo::decodesTheFirstOfTwoPemBlocks()
{
    const QString root = readText(QStringLiteral("root.pem"));
    const QString server = readText(QStringLiteral("server.pem"));
    QVERIFY(!root.isEmpty() && !server.isEmpty());

    const CertificateInfo rootFirst({"Cert:" + root + server});
    QCOMPARE(rootFirst.certificate().subjectInfo(QSslCertificate::CommonName),
        QStringList {"Zendra Test Root CA"});
    const CertificateInfo serverFirst({"Cert:" + server + root});
    QCOMPARE(serverFirst.certificate().subjectInfo(QSslCertificate::CommonName),
        QStringList {"localhost"});
    QCOMPARE(serverFirst.pem(), server + root);
}

void tst_CertificateInfo::copiesAndAssignsTheRecord()
{
    const CertificateInfo source({QStringLiteral("Subject:CN=a"), QStringLiteral("Version:3"),
        QStringLiteral("Start Date:2024-01-31 23:59:59 GMT"),
        "Cert:" + readText(QStringLiteral("server.pem"))});
    const CertificateInfo copy(source);
    QCOMPARE(describe(copy), describe(source));
    CertificateInfo assigned({QStringLiteral("Issuer:CN=other")});
    assigned = source;
    QCOMPARE(describe(assigned), describe(source));
    QVERIFY(assigned.issuer().isEmpty());
    QCOMPARE(assigned.certificate(), source.certificate());
}

void tst_CertificateInfo::readsTheChainRecordedFromLibcurl()
{
    QFile file(dataPath(QStringLiteral("chain.json")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonArray chainLines = QJsonDocument::fromJson(file.readAll()).array();
    QCOMPARE(chainLines.size(), 3);

    QList<CertificateInfo> chain;
    for (const QJsonValue &certificateLines : chainLines) {
        QList<QString> lines;
        for (const QJsonValue &line : certificateLines.toArray())
            lines.append(line.toString());
        // The recorded spelling of the validity lines, which the keys do not match.
        QCOMPARE(lines
                     .filter(QRegularExpression(
                         "^Start date:[A-Z][a-z]{2} [ 0-9]\\d \\d{2}:\\d{2}:\\d{2} \\d{4} GMT$"))
                     .size(),
            1);
        QCOMPARE(lines.filter(QRegularExpression("^Expire date:")).size(), 1);
        chain.append(CertificateInfo(lines));
    }

    // Server first, as libcurl lists the chain; the files are what the openssl CLI made.
    const QStringList files = {"server.pem", "intermediate.pem", "root.pem"};
    const QStringList commonNames
        = {"localhost", "Zendra Test Intermediate CA", "Zendra Test Root CA"};
    const QStringList signatureAlgorithms
        = {"sha256WithRSAEncryption", "ecdsa-with-SHA256", "ecdsa-with-SHA256"};
    const QStringList keyAlgorithms = {"rsaEncryption", "rsaEncryption", "id-ecPublicKey"};
    const QList<int> keyLengths = {2048, 3072, 0};
    for (int i = 0; i < 3; ++i) {
        const CertificateInfo &info = chain.at(i);
        const QList<QSslCertificate> expected = QSslCertificate::fromPath(dataPath(files.at(i)));
        QCOMPARE(expected.size(), 1);

        const QSslCertificate certificate = info.certificate();
        QVERIFY(!certificate.isNull());
        QCOMPARE(certificate, expected.first());
        QCOMPARE(
            certificate.subjectInfo(QSslCertificate::CommonName), QStringList {commonNames.at(i)});
        QCOMPARE(info.pem(), readText(files.at(i)));

        QCOMPARE(info.subject(), "O = Zendra Test, CN = " + commonNames.at(i));
        QCOMPARE(info.issuer(), chain.at(qMin(i + 1, 2)).subject());
        QCOMPARE(info.version(), 2);
        QCOMPARE(info.serialNumber(), serialHex(expected.first()));
        QCOMPARE(info.signatureAlgorithm(), signatureAlgorithms.at(i));
        QVERIFY(info.signature().contains(u':'));
        QVERIFY(!info.signature().startsWith(u"ecdsa") && !info.signature().startsWith(u"sha"));
        QCOMPARE(info.publicKeyAlogrithm(), keyAlgorithms.at(i));
        QCOMPARE(info.publicKeyLength(), keyLengths.at(i));
        // rsa(n) is the modulus in hex: four bits a digit.
        QCOMPARE(info.rsa_n().size(), keyLengths.at(i) / 4);
        QCOMPARE(info.rsa_e(), keyLengths.at(i) ? QStringLiteral("10001") : QString());

        // libcurl spells these "Start date" and "Expire date" and writes them as
        // "Dec  6 07:15:46 2026 GMT": neither key matches, so both dates stay invalid.
        QVERIFY(!info.startDate().isValid());
        QVERIFY(!info.expirationDate().isValid());
    }
}

QTEST_GUILESS_MAIN(tst_CertificateInfo)
#include "tst_certificateinfo.moc"
