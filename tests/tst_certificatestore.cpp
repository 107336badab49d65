// SPDX-License-Identifier: MIT
// FtpService's certificate store: the CA files it imports, and the recovery after a failed peer
// verification, end to end against a real FTPS server presenting each chain.
#include "ftpserver.h"
#include "ftpservicetestaccess.h"
#include "ftpworker_p.h"
#include "logcapture.h"
#include "testcertificates.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTest>

using namespace zendra;

namespace {

const QString peerOff = ">> Set peer verification to:  false";
const QString tooMany = ">> Too many certificate updates requested, something is not working as "
                        "expected, peer verification will be disabled...";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString directory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/certificates";
}

} // namespace

class TestCertificateStore : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;
    TestCertificates m_twins; // the same names with other keys
    QSslConfiguration m_defaultConfiguration;

    // "root", "twin-root", ... as separated by spaces in @p names.
    QList<QSslCertificate> certificates(const QString &names) const
    {
        QList<QSslCertificate> result;
        for (const QString &name : names.split(' ', Qt::SkipEmptyParts)) {
            result << (name.startsWith("twin-") ? m_twins.certificate(name.mid(5))
                                                : m_certificates.certificate(name));
        }
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_certificates.create() && m_twins.create());
        m_defaultConfiguration = QSslConfiguration::defaultConfiguration();
    }
    void init()
    {
        QFile(directory() + "/root_ca.pem").setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(QDir(directory()).removeRecursively() && QDir().mkpath(directory()));
    }
    void cleanup() { QSslConfiguration::setDefaultConfiguration(m_defaultConfiguration); }

    void loadImportsRefusesAndReplaces()
    {
        FtpService service;
        QSignalSpy announced(&service, &FtpService::setCertificate);
        const QString target = directory() + "/root.pem";
        const QString quoted = " \"" + target + '"';
        QVERIFY(QDir(directory()).removeRecursively());
        LogCapture log;
        // A missing source is refused without a word, though the directory is made.
        QVERIFY(!service.loadCertificate(m_certificates.file("missing.pem"), true));
        QVERIFY(log.lines().isEmpty() && announced.isEmpty() && QFileInfo(directory()).isDir());
        QVERIFY(service.loadCertificate(m_certificates.rootCaFile(), false));
        QVERIFY(!service.loadCertificate(m_certificates.rootCaFile(), false));
        // A file of the directory is never replaced by itself, whatever the spelling.
        QVERIFY(!service.loadCertificate(directory() + "/../certificates/root.pem", true));
        QCOMPARE(readAll(target), readAll(m_certificates.rootCaFile()));
        // Another file of the same name replaces a read-only one when forced.
        QVERIFY(QFile(target).setPermissions(QFileDevice::ReadOwner));
        QVERIFY(service.loadCertificate(m_twins.rootCaFile(), true));
        QCOMPARE(readAll(target), readAll(m_twins.rootCaFile()));
        QCOMPARE(log.lines(QtWarningMsg), QStringList(">> Certificate doesn't exist yet"));
        QCOMPARE(log.lines(QtInfoMsg).filter(">> Certificate"),
            QStringList({">> Certificate correctly copied at " + quoted,
                ">> Certificate already exists at " + quoted,
                ">> Certificate already exists at " + quoted,
                ">> Certificate correctly updated at " + quoted}));
        QVERIFY(log.lines().contains(">> Force update certificate"));
        QCOMPARE(announced, QList<QVariantList>(4, {target}));
    }

    void recoveryEndsWithOneCallback_data()
    {
        QTest::addColumn<QString>("chain"); // as the server presents it, its own first
        QTest::addColumn<QString>("cas"); // of the default SSL configuration
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("root"); // in root_ca.pem at the end
        QTest::addColumn<QString>("lines"); // among the log lines, split at '|'
        const auto row = [](const char *tag, const QString &chain, const char *cas,
                             const char *setup, const char *root, const QString &lines) {
            QTest::newRow(tag) << chain << cas << setup << root << lines;
        };
        const QString top
            = ">> Last certificate in chain is a CA CERT|>> Certificate correctly updated";
        const QString giveUp = "Couldn't update certificate, no peer certificates found|"
                               ">> Peer verification should be disabled to continue...|"
            + peerOff;
        row("full chain", "server intermediate root", "", "", "root", top);
        row("root in the middle", "server root intermediate", "", "", "root", top);
        row("chain of one", "selfsigned", "", "", "selfsigned", top);
        row("chain of fifty", "server intermediate" + QString(" other").repeated(47) + " root", "",
            "", "root", top);
        // The same common names with other keys: the roots name each other as issuer. The walk
        // ends on the twin, which signed nothing, until the sixth update gives up.
        row("a root and its twin", "server intermediate root twin-root", "", "", "twin-root",
            tooMany + '|' + giveUp);
        row("root among the default CAs", "server intermediate", "selfsigned root twin-root", "",
            "root",
            ">> Last certificate  QList(\"Zendra Test Intermediate CA\") in chain isn't a CA CERT, "
            "trying to get appropriate CA CERT|>> Looking for issuer:  QList(\"Zendra Test Root "
            "CA\")|>> CA CERT found !");
        row("root unknown", "server intermediate", "", "", "",
            "\">> Looked up 0 certificates, couldn't find CA CERT for certificate chain\"|"
                + peerOff);
        row("stale read-only root in use", "server intermediate root", "", "stale", "root", top);
        row("no certificates directory", "selfsigned", "", "no directory", "",
            ">> Couldn't write the certificate at  \"%1/root_ca.pem\"|>> Error code:  5|" + tooMany
                + '|' + giveUp);
        // Another host's name: the probe fails as well, so the chain is empty.
        row("another host's name, three attempts", "other intermediate root", "", "3 attempts", "",
            giveUp);
    }
    void recoveryEndsWithOneCallback()
    {
        QFETCH(QString, chain);
        QFETCH(QString, cas);
        QFETCH(QString, setup);
        QFETCH(QString, root);
        QFETCH(QString, lines);
        QTemporaryDir served;
        QFile chainFile(served.filePath("chain.pem"));
        QVERIFY(chainFile.open(QIODevice::WriteOnly));
        for (const QSslCertificate &certificate : certificates(chain))
            chainFile.write(certificate.toPem());
        chainFile.close();
        QSslConfiguration configuration = m_defaultConfiguration;
        configuration.setCaCertificates(certificates(cas));
        QSslConfiguration::setDefaultConfiguration(configuration);
        const auto server = FtpServer::started(FtpServer::tlsOptions(FtpServer::Tls::Required,
            chainFile.fileName(), m_certificates.file(chain.section(' ', 0, 0) + ".key")));
        const auto other = FtpServer::started();
        QVERIFY(server && other && server->writeFile("a", "over tls")
            && other->writeFile("a", "other"));
        FtpService service;
        server->logIn(service);
        const QString rootFile = directory() + "/root_ca.pem";
        QFile stale(rootFile);
        if (setup == "stale") {
            QVERIFY(stale.open(QIODevice::WriteOnly)
                && stale.write(m_twins.certificate("root").toPem()) > 0);
            stale.close();
            QVERIFY(stale.setPermissions(QFileDevice::ReadOwner)
                && !service.loadCertificate(rootFile, false));
        }
        if (setup == "no directory")
            QVERIFY(QDir(directory()).removeRecursively());
        service.setMaximumAttempts(setup == "3 attempts" ? 3 : 0);
        QList<QByteArray> answers;
        QList<FtpResult> results;
        QList<qint64> times;
        QList<QList<CertificateInfo>> chains;
        QElapsedTimer clock;
        clock.start();
        const auto get = [&](const QString &url) {
            service.downloadFile(url, [&](const QByteArray &data) {
                answers << data;
                results << service.lastResult();
                times << clock.elapsed();
            });
        };
        // Another server's handle is cached: a certificate failure closes every handle.
        get(other->url("ftp", "a", "localhost"));
        QTRY_COMPARE(answers.size(), 1);
        // Timed on the worker's thread: the store's own slot runs first on this one.
        connect(
            FtpServiceTestAccess::worker(service), &FtpWorker::certificateUpdateRequired, this,
            [&](const QList<CertificateInfo> &chain) {
                QMetaObject::invokeMethod(this, [&, chain, at = clock.elapsed()] {
                    times << at;
                    chains << chain;
                });
            },
            Qt::DirectConnection);
        LogCapture log;
        get(server->url("ftp", "a"));
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 2, 30000);
        QVERIFY(!QTest::qWaitFor([&] { return answers.size() > 2; }, 700));
        const bool limited = setup == "3 attempts";
        QCOMPARE(answers.last(), limited ? "" : "over tls");
        QCOMPARE(results.last().code(), limited ? 60 : 0);
        QCOMPARE(results.last().attempts(), limited ? 3 : int(chains.size()) + 1);
        QCOMPARE(other->count("CLOSE"), 1);
        // A repetition 500 ms after each failure.
        for (int i = 2; i < times.size(); ++i)
            QVERIFY2(times[i] - times[i - 1] >= 450,
                qPrintable(QString::number(times[i] - times[i - 1])));
        const QList<QSslCertificate> expectedRoot = certificates(root);
        QCOMPARE(readAll(rootFile),
            expectedRoot.isEmpty() ? QByteArray() : expectedRoot.first().toPem());
        for (const QString &line : lines.split('|'))
            QVERIFY2(
                log.lines().contains(QString(line).replace("%1", directory())), qPrintable(line));
        QCOMPARE(log.lines().contains(peerOff), lines.contains(peerOff));
        QCOMPARE(log.lines().count(tooMany), qMax(0, int(chains.size()) - 5));
        // The chain as libcurl read it, which the host name check spoils for the probe too.
        for (const QList<CertificateInfo> &received : std::as_const(chains)) {
            QList<QSslCertificate> decoded;
            for (const CertificateInfo &info : received)
                decoded << info.certificate();
            QCOMPARE(decoded,
                chain.startsWith("other") ? QList<QSslCertificate>() : certificates(chain));
        }
        // The next request needs no recovery.
        get(server->url("ftp", "a"));
        QTRY_COMPARE(answers.size(), 3);
        QVERIFY(limited || (answers.last() == "over tls" && results.last().attempts() == 1));
    }
};

QTEST_GUILESS_MAIN(TestCertificateStore)
#include "tst_certificatestore.moc"
