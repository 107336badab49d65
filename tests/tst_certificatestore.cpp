// SPDX-License-Identifier: MIT
// The certificate store of FtpService: importing CA files, finding the root CA of a failed chain,
// and the whole recovery against a real FTPS server.
#include "ftpserver.h"
#include "ftpservicetestaccess.h"
#include "ftpservice.h"
#include "logcapture.h"
#include "testcertificates.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using zendra::CertificateInfo;
using zendra::FtpService;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QSslCertificate certificate(const QString &path)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(path);
    return certificates.value(0);
}

// The chain as the worker hands it over: one record per certificate, from libcurl-style lines.
QList<CertificateInfo> records(const QList<QSslCertificate> &chain)
{
    QList<CertificateInfo> result;
    for (const QSslCertificate &certificate : chain) {
        result.append(
            CertificateInfo({QStringLiteral("Subject:") + certificate.subjectDisplayName(),
                QStringLiteral("Cert:") + QString::fromLatin1(certificate.toPem())}));
    }
    return result;
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

const QString peerOffLine = QStringLiteral(">> Set peer verification to:  false");
const QString giveUpLine
    = QStringLiteral("Couldn't update certificate, no peer certificates found");
const QString disableLine
    = QStringLiteral(">> Peer verification should be disabled to continue...");
const QString tooManyLine = QStringLiteral(
    ">> Too many certificate updates requested, something is not working as expected, peer "
    "verification will be disabled...");

} // namespace

class TestCertificateStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void updateWritesTheTopOfTheChain_data();
    void updateWritesTheTopOfTheChain();
    void issuersNamingEachOtherEndTheWalk_data();
    void issuersNamingEachOtherEndTheWalk();
    void updateFindsTheIssuerAmongTheDefaultCas();
    void updateWithoutAnyRootSwitchesPeerVerificationOff();
    void emptyChainGivesUp();
    void sixthUpdateGivesUpEvenWithAValidChain();
    void readOnlyRootFileIsReplaced();
    void updateNeverCreatesTheDirectory();
    void loadImportsRefusesAndReplaces();
    void forcedLoadOfTheTargetItselfKeepsIt();
    void missingSourceIsRefusedSilently();

    void fullChainIsRecoveredWithVerificationOn();
    void rootIsTakenFromTheDefaultConfiguration();
    void unknownRootSwitchesVerificationOff();
    void loneSelfSignedCertificateBecomesTheRoot();
    void wrongHostNameFailsUntilHostVerificationIsOff();
    void readOnlyRootFileIsReplacedEndToEnd();

private:
    // A service whose CA file announcements do not reach its worker, for the unit-level checks.
    std::unique_ptr<FtpService> detachedService();
    bool update(FtpService &service, const QList<QSslCertificate> &chain);
    QString directory() const;
    QString rootFile() const;
    std::unique_ptr<FtpServer> startServer(const QString &chain, const QString &key);
    // Downloads a.txt through the service and waits until its callback has counted in @p calls.
    bool download(FtpService &service, const FtpServer &server, QByteArray *data, int *calls);

    TestCertificates m_certificates;
    // A second set with the same common names but other keys.
    TestCertificates m_twins;
    QSslConfiguration m_defaultConfiguration;
};

void TestCertificateStore::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorString()));
    QVERIFY2(m_twins.create(), qPrintable(m_twins.errorString()));
    m_defaultConfiguration = QSslConfiguration::defaultConfiguration();
}

void TestCertificateStore::init()
{
    // Every test gets a data location of its own.
    QCoreApplication::setApplicationName(
        QStringLiteral("zendra-certificatestore-%1")
            .arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
    QVERIFY(!QFileInfo::exists(directory()));
}

void TestCertificateStore::cleanup()
{
    QSslConfiguration::setDefaultConfiguration(m_defaultConfiguration);
    const QString location = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (QFileInfo::exists(rootFile()))
        QFile(rootFile()).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QDir(location).removeRecursively();
}

std::unique_ptr<FtpService> TestCertificateStore::detachedService()
{
    auto service = std::make_unique<FtpService>();
    QObject::disconnect(service.get(), &FtpService::setCertificate, nullptr, nullptr);
    return service;
}

bool TestCertificateStore::update(FtpService &service, const QList<QSslCertificate> &chain)
{
    zendra::FtpServiceTestAccess::updateCertificate(service, records(chain));
    return true;
}

QString TestCertificateStore::directory() const
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        + QStringLiteral("/certificates");
}

QString TestCertificateStore::rootFile() const
{
    return directory() + QStringLiteral("/root_ca.pem");
}

std::unique_ptr<FtpServer> TestCertificateStore::startServer(
    const QString &chain, const QString &key)
{
    auto server = FtpServer::started(FtpServer::tlsOptions(FtpServer::Tls::Required, chain, key));
    if (!server || !server->writeFile(QStringLiteral("a.txt"), "over verified tls\n"))
        return nullptr;
    return server;
}

bool TestCertificateStore::download(
    FtpService &service, const FtpServer &server, QByteArray *data, int *calls)
{
    service.setCredentials(
        server.user(), server.password(), [](const QString &text) { return text; });
    const int before = *calls;
    service.downloadFile(server.url(QStringLiteral("ftp"), QStringLiteral("a.txt")),
        [data, calls](const QByteArray &received) {
            ++*calls;
            *data = received;
        });
    return QTest::qWaitFor([&] { return *calls > before; }, 20000);
}

void TestCertificateStore::updateWritesTheTopOfTheChain_data()
{
    QTest::addColumn<QStringList>("chain");
    QTest::newRow("server first") << QStringList({"server", "intermediate", "root"});
    QTest::newRow("reversed") << QStringList({"root", "intermediate", "server"});
    QTest::newRow("intermediate first") << QStringList({"intermediate", "server", "root"});
    QTest::newRow("root in the middle") << QStringList({"server", "root", "intermediate"});
}

void TestCertificateStore::updateWritesTheTopOfTheChain()
{
    QFETCH(QStringList, chain);
    const QHash<QString, QString> files {{"server", m_certificates.serverCertificateFile()},
        {"intermediate", m_certificates.intermediateCaFile()},
        {"root", m_certificates.rootCaFile()}};
    QList<QSslCertificate> certificates;
    for (const QString &name : std::as_const(chain))
        certificates.append(certificate(files.value(name)));

    QVERIFY(QDir().mkpath(directory()));
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    LogCapture log;
    QVERIFY(update(*service, certificates));

    QCOMPARE(readAll(rootFile()), certificate(m_certificates.rootCaFile()).toPem());
    QCOMPARE(announced.count(), 1);
    QCOMPARE(announced.at(0).at(0).toString(), rootFile());
    QCOMPARE(log.messages(QtInfoMsg),
        QStringList({">> Update FTP certificate", ">> Last certificate in chain is a CA CERT",
            ">> Certificate correctly updated"}));
    // The chain is not trusted yet, which is logged and otherwise ignored.
    const QStringList warnings = log.messages(QtWarningMsg);
    QVERIFY(warnings.size() >= 2);
    QCOMPARE(warnings.first(), ">> Errors occured while validating the certificate chain");
    for (const QString &warning : warnings.mid(1))
        QVERIFY2(warning.startsWith('"') && warning.size() > 2, qPrintable(warning));
    QVERIFY(!log.contains(peerOffLine));
    for (const LogCapture::Entry &entry : log.entries())
        QVERIFY(!entry.hasContext);
}

void TestCertificateStore::issuersNamingEachOtherEndTheWalk_data()
{
    QTest::addColumn<QStringList>("chain");
    QTest::addColumn<int>("expected");
    // Same common names, different keys: each root names the other as its issuer.
    QTest::newRow("two roots") << QStringList({"root", "twin root"}) << 1;
    QTest::newRow("two roots reversed") << QStringList({"twin root", "root"}) << 1;
    QTest::newRow("two self-signed") << QStringList({"self-signed", "twin self-signed"}) << 1;
    QTest::newRow("chain below two roots")
        << QStringList({"server", "intermediate", "twin root", "root"}) << 3;
}

void TestCertificateStore::issuersNamingEachOtherEndTheWalk()
{
    QFETCH(QStringList, chain);
    QFETCH(int, expected);
    const QHash<QString, QString> files {{"server", m_certificates.serverCertificateFile()},
        {"intermediate", m_certificates.intermediateCaFile()},
        {"root", m_certificates.rootCaFile()}, {"twin root", m_twins.rootCaFile()},
        {"self-signed", m_certificates.selfSignedCertificateFile()},
        {"twin self-signed", m_twins.selfSignedCertificateFile()}};
    QList<QSslCertificate> certificates;
    for (const QString &name : std::as_const(chain))
        certificates.append(certificate(files.value(name)));
    QVERIFY(certificates.at(0) != certificates.at(1));

    QVERIFY(QDir().mkpath(directory()));
    const auto service = detachedService();
    QVERIFY(update(*service, certificates));
    QCOMPARE(readAll(rootFile()), certificates.at(expected).toPem());
}

void TestCertificateStore::updateFindsTheIssuerAmongTheDefaultCas()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({certificate(m_certificates.selfSignedCertificateFile()),
        certificate(m_certificates.rootCaFile()), certificate(m_twins.rootCaFile())});
    QSslConfiguration::setDefaultConfiguration(configuration);

    QVERIFY(QDir().mkpath(directory()));
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    LogCapture log;
    QVERIFY(update(*service,
        {certificate(m_certificates.serverCertificateFile()),
            certificate(m_certificates.intermediateCaFile())}));

    // The first CA of the list with the issuer's common name wins.
    QCOMPARE(readAll(rootFile()), certificate(m_certificates.rootCaFile()).toPem());
    QCOMPARE(announced.count(), 1);
    QCOMPARE(log.messages(QtInfoMsg),
        QStringList({">> Update FTP certificate", ">> CA CERT found !",
            ">> Certificate correctly updated"}));
    // Verified against the default CAs, the chain raises no errors now.
    QCOMPARE(log.messages(QtWarningMsg),
        QStringList({">> Last certificate  QList(\"Zendra Test Intermediate CA\") in chain isn't "
                     "a CA CERT, trying to get appropriate CA CERT",
            ">> Looking for issuer:  QList(\"Zendra Test Root CA\")"}));
    QVERIFY(!log.contains(peerOffLine));
}

void TestCertificateStore::updateWithoutAnyRootSwitchesPeerVerificationOff()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({certificate(m_certificates.selfSignedCertificateFile()),
        certificate(m_certificates.intermediateCaFile())});
    QSslConfiguration::setDefaultConfiguration(configuration);

    QVERIFY(QDir().mkpath(directory()));
    QVERIFY(writeAll(rootFile(), "earlier root"));
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    LogCapture log;
    QVERIFY(update(*service,
        {certificate(m_certificates.serverCertificateFile()),
            certificate(m_certificates.intermediateCaFile())}));

    QCOMPARE(readAll(rootFile()), QByteArray("earlier root"));
    QCOMPARE(announced.count(), 0);
    const QStringList warnings = log.messages(QtWarningMsg);
    QCOMPARE(warnings.mid(warnings.size() - 2),
        QStringList({"\">> Looked up 2 certificates, couldn't find CA CERT for certificate chain\"",
            disableLine}));
    QCOMPARE(log.messages().constLast(), peerOffLine);
    QCOMPARE(log.messages(QtInfoMsg), QStringList {">> Update FTP certificate"});
}

void TestCertificateStore::emptyChainGivesUp()
{
    QVERIFY(QDir().mkpath(directory()));
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    LogCapture log;
    QVERIFY(update(*service, {}));
    QCOMPARE(log.messages(),
        QStringList({">> Update FTP certificate", giveUpLine, disableLine, peerOffLine}));
    QCOMPARE(log.messages(QtWarningMsg), QStringList({giveUpLine, disableLine}));
    QCOMPARE(announced.count(), 0);
    QVERIFY(!QFileInfo::exists(rootFile()));
}

void TestCertificateStore::sixthUpdateGivesUpEvenWithAValidChain()
{
    QVERIFY(QDir().mkpath(directory()));
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    const QList<QSslCertificate> chain {certificate(m_certificates.serverCertificateFile()),
        certificate(m_certificates.intermediateCaFile()), certificate(m_certificates.rootCaFile())};
    LogCapture log;
    // An empty chain counts as well.
    QVERIFY(update(*service, {}));
    for (int i = 0; i < 4; ++i)
        QVERIFY(update(*service, chain));
    QCOMPARE(announced.count(), 4);
    QCOMPARE(log.messages(QtWarningMsg).count(tooManyLine), 0);

    QVERIFY(writeAll(rootFile(), "kept"));
    log.clear();
    QVERIFY(update(*service, chain));
    QCOMPARE(log.messages(),
        QStringList(
            {">> Update FTP certificate", tooManyLine, giveUpLine, disableLine, peerOffLine}));
    QCOMPARE(log.messages(QtWarningMsg), QStringList({tooManyLine, giveUpLine, disableLine}));
    QCOMPARE(readAll(rootFile()), QByteArray("kept"));
    QCOMPARE(announced.count(), 4);

    log.clear();
    QVERIFY(update(*service, chain));
    QCOMPARE(log.messages(QtWarningMsg), QStringList({tooManyLine, giveUpLine, disableLine}));
}

void TestCertificateStore::readOnlyRootFileIsReplaced()
{
    QVERIFY(QDir().mkpath(directory()));
    QVERIFY(writeAll(rootFile(), "stale"));
    QVERIFY(QFile(rootFile()).setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    LogCapture log;
    QVERIFY(update(*service, {certificate(m_certificates.selfSignedCertificateFile())}));
    QVERIFY2(readAll(rootFile()) == certificate(m_certificates.selfSignedCertificateFile()).toPem(),
        qPrintable(log.messages().join('\n')));
    QVERIFY(QFileInfo(rootFile()).permissions() & QFileDevice::WriteOwner);
    QCOMPARE(announced.count(), 1);
    QCOMPARE(log.messages(QtWarningMsg).filter("remove"), QStringList());
}

void TestCertificateStore::updateNeverCreatesTheDirectory()
{
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    LogCapture log;
    QVERIFY(update(*service, {certificate(m_certificates.selfSignedCertificateFile())}));
    QVERIFY(!QFileInfo::exists(directory()));
    QCOMPARE(announced.count(), 0);
    const QStringList all = log.messages(QtWarningMsg);
    QVERIFY2(all.size() >= 4, qPrintable(all.join('\n')));
    QCOMPARE(all.first(), ">> Errors occured while validating the certificate chain");
    const QStringList warnings = all.mid(all.size() - 3);
    QCOMPARE(warnings.at(0), ">> Couldn't write the certificate at  " + quoted(rootFile()));
    QCOMPARE(warnings.at(1), QStringLiteral(">> Error code:  %1").arg(int(QFileDevice::OpenError)));
    QVERIFY2(warnings.at(2).startsWith(">> Error message:  \"") && warnings.at(2).size() > 22,
        qPrintable(warnings.at(2)));
    QVERIFY(!log.contains(peerOffLine));
}

void TestCertificateStore::loadImportsRefusesAndReplaces()
{
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    const QString source = m_certificates.rootCaFile();
    const QString target = directory() + "/root.pem";
    LogCapture log;

    QVERIFY(service->loadCertificate(source, false));
    QCOMPARE(readAll(target), readAll(source));
    QCOMPARE(log.messages(QtWarningMsg), QStringList {">> Certificate doesn't exist yet"});
    QCOMPARE(log.messages(QtInfoMsg),
        QStringList {">> Certificate correctly copied at  " + quoted(target)});
    QCOMPARE(announced.count(), 1);
    QCOMPARE(announced.at(0).at(0).toString(), target);

    log.clear();
    QVERIFY(!service->loadCertificate(source, false));
    QCOMPARE(log.messages(), QStringList {">> Certificate already exists at  " + quoted(target)});
    QCOMPARE(log.messages(QtInfoMsg).size(), 1);
    QCOMPARE(announced.count(), 2);
    QCOMPARE(announced.at(1).at(0).toString(), target);

    // Another file of the same name, read-only in the directory: force replaces it.
    QTemporaryDir other;
    QVERIFY(other.isValid());
    const QString replacement = other.filePath("root.pem");
    QVERIFY(QFile::copy(m_twins.rootCaFile(), replacement));
    QVERIFY(QFile(target).setPermissions(QFileDevice::ReadOwner));
    log.clear();
    QVERIFY(service->loadCertificate(replacement, true));
    QCOMPARE(readAll(target), readAll(m_twins.rootCaFile()));
    QCOMPARE(log.messages(QtInfoMsg),
        QStringList({">> Force update certificate",
            ">> Certificate correctly updated at  " + quoted(target)}));
    QCOMPARE(log.messages(QtWarningMsg), QStringList());
    QCOMPARE(announced.count(), 3);
    QCOMPARE(announced.at(2).at(0).toString(), target);
}

void TestCertificateStore::forcedLoadOfTheTargetItselfKeepsIt()
{
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    const QString target = directory() + "/intermediate.pem";
    QVERIFY(service->loadCertificate(m_certificates.intermediateCaFile(), false));
    const QByteArray content = readAll(target);
    QVERIFY(!content.isEmpty());

    // Also when named through another spelling of the same path.
    const QStringList spellings {target, directory() + "/./intermediate.pem",
        directory() + "/../certificates/intermediate.pem"};
    for (const QString &spelling : spellings) {
        LogCapture log;
        QVERIFY(!service->loadCertificate(spelling, true));
        QCOMPARE(readAll(target), content);
        QCOMPARE(
            log.messages(), QStringList {">> Certificate already exists at  " + quoted(target)});
    }
    QCOMPARE(announced.count(), 1 + spellings.size());
    QCOMPARE(announced.constLast().at(0).toString(), target);
}

void TestCertificateStore::missingSourceIsRefusedSilently()
{
    const auto service = detachedService();
    QSignalSpy announced(service.get(), &FtpService::setCertificate);
    LogCapture log;
    QVERIFY(!service->loadCertificate(m_certificates.directory() + "/missing.pem", false));
    QVERIFY(!service->loadCertificate(m_certificates.directory() + "/missing.pem", true));
    QCOMPARE(log.messages(), QStringList());
    QCOMPARE(announced.count(), 0);
    // The directory is made ready all the same.
    QVERIFY(QFileInfo(directory()).isDir());
}

void TestCertificateStore::fullChainIsRecoveredWithVerificationOn()
{
    const auto server = startServer(m_certificates.fullChainFile(), m_certificates.serverKeyFile());
    QVERIFY(server);
    QVERIFY(QDir().mkpath(directory()));
    FtpService service;
    LogCapture log;
    QByteArray data;
    int calls = 0;
    QVERIFY(download(service, *server, &data, &calls));
    QCOMPARE(data, QByteArray("over verified tls\n"));
    QCOMPARE(readAll(rootFile()), certificate(m_certificates.rootCaFile()).toPem());
    // Normally one update; a slow one may miss the first repetition, which then fails once more.
    const int updates = log.messages(QtInfoMsg).count(">> Update FTP certificate");
    QVERIFY2(updates >= 1 && updates < 5, qPrintable(QString::number(updates)));
    QVERIFY(log.contains(">> Last certificate in chain is a CA CERT"));
    QVERIFY(!log.contains(peerOffLine));

    // The next request verifies against the stored root at once, and the first callback stayed
    // single.
    QByteArray again;
    int laterCalls = 0;
    QVERIFY(download(service, *server, &again, &laterCalls));
    QCOMPARE(again, data);
    QCOMPARE(calls, 1);
    QCOMPARE(log.messages(QtInfoMsg).count(">> Update FTP certificate"), updates);
    QVERIFY(!log.contains(peerOffLine));
    QCOMPARE(server->commandCount("RETR"), 2);
}

void TestCertificateStore::rootIsTakenFromTheDefaultConfiguration()
{
    const auto server
        = startServer(m_certificates.chainWithoutRootFile(), m_certificates.serverKeyFile());
    QVERIFY(server);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({certificate(m_certificates.rootCaFile())});
    QSslConfiguration::setDefaultConfiguration(configuration);
    QVERIFY(QDir().mkpath(directory()));

    FtpService service;
    LogCapture log;
    QByteArray data;
    int calls = 0;
    QVERIFY(download(service, *server, &data, &calls));
    QCOMPARE(data, QByteArray("over verified tls\n"));
    QVERIFY(log.contains(">> CA CERT found !"));
    QCOMPARE(readAll(rootFile()), certificate(m_certificates.rootCaFile()).toPem());
    QVERIFY(!log.contains(peerOffLine));
}

void TestCertificateStore::unknownRootSwitchesVerificationOff()
{
    const auto server
        = startServer(m_certificates.chainWithoutRootFile(), m_certificates.serverKeyFile());
    QVERIFY(server);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({});
    QSslConfiguration::setDefaultConfiguration(configuration);
    QVERIFY(QDir().mkpath(directory()));

    FtpService service;
    LogCapture log;
    QByteArray data;
    int calls = 0;
    QVERIFY(download(service, *server, &data, &calls));
    QCOMPARE(data, QByteArray("over verified tls\n"));
    QVERIFY(log.contains(
        "\">> Looked up 0 certificates, couldn't find CA CERT for certificate chain\""));
    QVERIFY(log.contains(disableLine));
    QVERIFY(log.contains(peerOffLine));
    QVERIFY(!QFileInfo::exists(rootFile()));
    // The property is the host's own and stays as it was.
    QVERIFY(service.verifyPeer());
}

void TestCertificateStore::loneSelfSignedCertificateBecomesTheRoot()
{
    const auto server = startServer(
        m_certificates.selfSignedCertificateFile(), m_certificates.selfSignedKeyFile());
    QVERIFY(server);
    QVERIFY(QDir().mkpath(directory()));

    FtpService service;
    LogCapture log;
    QByteArray data;
    int calls = 0;
    QVERIFY(download(service, *server, &data, &calls));
    QCOMPARE(data, QByteArray("over verified tls\n"));
    QCOMPARE(readAll(rootFile()), certificate(m_certificates.selfSignedCertificateFile()).toPem());
    QVERIFY(!log.contains(peerOffLine));
}

void TestCertificateStore::wrongHostNameFailsUntilHostVerificationIsOff()
{
    const auto server
        = startServer(m_certificates.otherHostChainFile(), m_certificates.otherHostKeyFile());
    QVERIFY(server);
    QVERIFY(QDir().mkpath(directory()));

    FtpService service;
    service.setCredentials(
        server->user(), server->password(), [](const QString &text) { return text; });
    LogCapture log;
    int calls = 0;
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    service.downloadFile(server->url("ftp", "a.txt"), [&](const QByteArray &received) {
        ++calls;
        data = received;
    });
    const auto updates = [&] { return log.messages(QtInfoMsg).count(">> Update FTP certificate"); };
    QTRY_VERIFY_WITH_TIMEOUT(updates() >= 7, 30000);
    const qint64 elapsed = timer.elapsed();
    // Repeated after 500 ms each time: six pauses at least lie between seven updates.
    QVERIFY2(elapsed >= 6 * 500, qPrintable(QString::number(elapsed)));
    QCOMPARE(calls, 0);
    const int attempts = updates();
    QCOMPARE(log.messages(QtWarningMsg).count(tooManyLine), attempts - 5);
    QVERIFY(log.messages(QtWarningMsg).count(giveUpLine) >= attempts);

    service.setVerifyHost(false);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 10000);
    QCOMPARE(data, QByteArray("over verified tls\n"));
    // Nothing answers twice: a later request completes normally after it.
    QByteArray again;
    int laterCalls = 0;
    QVERIFY(download(service, *server, &again, &laterCalls));
    QCOMPARE(again, data);
    QCOMPARE(calls, 1);
    QCOMPARE(server->commandCount("RETR"), 2);
}

void TestCertificateStore::readOnlyRootFileIsReplacedEndToEnd()
{
    const auto server = startServer(m_certificates.fullChainFile(), m_certificates.serverKeyFile());
    QVERIFY(server);
    QVERIFY(QDir().mkpath(directory()));
    QVERIFY(writeAll(rootFile(), certificate(m_twins.rootCaFile()).toPem()));
    QVERIFY(QFile(rootFile()).setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadOther));

    FtpService service;
    // The stale root is the worker's CA file from the start: verification fails against it.
    QVERIFY(!service.loadCertificate(rootFile(), false));
    LogCapture log;
    QByteArray data;
    int calls = 0;
    QVERIFY(download(service, *server, &data, &calls));
    QCOMPARE(data, QByteArray("over verified tls\n"));
    QCOMPARE(readAll(rootFile()), certificate(m_certificates.rootCaFile()).toPem());
    QVERIFY(!log.contains(peerOffLine));
}

QTEST_GUILESS_MAIN(TestCertificateStore)
#include "tst_certificatestore.moc"
