// SPDX-License-Identifier: MIT
// FtpService, its worker and its certificate store against real servers on loopback: every
// request type, faults and bad URLs, the recovery after a failed peer verification, the
// protection each request reports and the verified-TLS policy, destruction at bad moments, two
// services at once. bench/load
// proves the queue's order and the handle cache over many requests.
#include "encryptionservice.h"
#include "ftpserver.h"
#include "ftpservicetestaccess.h"
#include "ftpworker_p.h"
#include "logcapture.h"
#include "testcertificates.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QSemaphore>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <memory>

using namespace zendra;

namespace {

// What one service's callbacks received, each with the outcome of its request.
struct Answers
{
    QList<QByteArray> data;
    QList<FtpResult> results;
    QElapsedTimer clock;
    QList<qint64> times; // since the clock started, of answers and other events

    Answers() { clock.start(); }
    std::function<void(const QByteArray &)> callback(FtpService &service)
    {
        return [this, &service](const QByteArray &received) {
            data << received;
            results << service.lastResult();
            times << clock.elapsed();
        };
    }
    FtpService::ResultCallback resultCallback()
    {
        return [this](const FtpResult &result) {
            data << QByteArray();
            results << result;
        };
    }
    bool wait(int count)
    {
        return QTest::qWaitFor([&] { return data.size() >= count; }, 60000);
    }
};

QString requestLine(const QString &name, const QString &url)
{
    return QStringLiteral(">> [FTP  \"%1\"  ]  \"%2\"").arg(name, url);
}

const QString peerOff = ">> Set peer verification to:  false";
const QString tooMany = ">> Too many certificate updates requested, something is not working as "
                        "expected, peer verification will be disabled...";

QString certificatesDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/certificates";
}

QByteArray pinOf(const FtpServer &server)
{
    QFile file(certificatesDirectory()
        + QStringLiteral("/pinned_127.0.0.1_%1.pem").arg(QUrl(server.url("ftp", "")).port()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a server may overwrite and continue; without it, ProFTPD keeps existing files.
const QString writableConfig = "AllowOverwrite on\nAllowStoreRestart on";

// "code attempts facts|reply command": how a request ended, after how many runs, what protected
// it (e encrypted, p peer and h host verified) and what the server said last.
QString outcome(const FtpResult &result)
{
    return QStringLiteral("%1 %2 %3%4%5|%6 %7")
        .arg(result.code())
        .arg(result.attempts())
        .arg(result.isEncrypted() ? "e" : "", result.isPeerVerified() ? "p" : "",
            result.isHostVerified() ? "h" : "")
        .arg(result.replyCode())
        .arg(result.replyCommand());
}

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

} // namespace

class TestFtpService : public QObject
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
        QFile(certificatesDirectory() + "/root_ca.pem")
            .setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(QDir(certificatesDirectory()).removeRecursively()
            && QDir().mkpath(certificatesDirectory()));
    }
    void cleanup() { QSslConfiguration::setDefaultConfiguration(m_defaultConfiguration); }

    // Each request between two that succeed: exactly one callback, with the bytes received so far
    // (into a file: none) and its outcome, one log line that says how it ended, and the queue
    // goes on.
    void everyRequestEndsWithOneCallback_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("url"); // a path on the server ("" lists), a URL, or "none"
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("reply"); // the server's last reply, 0 for none
        const auto row = [](const char *tag, const char *fault, const QString &url,
                             const char *file, int size, int code, int reply) {
            QTest::newRow(tag) << fault << url << file << size << code << reply;
        };
        row("into memory, empty", "", "data.bin", "", 0, 0, 226);
        row("into memory, 8 MiB", "", "data.bin", "", 8 << 20, 0, 226);
        // A Latin-1 letter tells the path's Latin-1 bytes from its UTF-8 ones; the size is no
        // multiple of a block, so the tail waits in a buffer until the file is closed.
        row("into a file", "", "data.bin", "r\u00e9sultat", 200 * 1024 + 123, 0, 226);
        row("listing", "", "", "", 1000, 0, 226);
        row("nothing listening", "stopped", "data.bin", "", 1000, 7, 0);
        row("login refused", "intruder", "data.bin", "", 1000, 67, 530);
        row("remote file missing", "", "none.bin", "", 1000, 78, 550);
        // Larger than the file buffer, so that a full device fails during the transfer.
        const int size = 256 * 1024;
        row("server killed mid-transfer", "killed", "data.bin", "", size, 18, 125);
        row("data connection dropped", "dropped", "data.bin", "", size, 18, 125);
        row("dropped, into a file", "dropped", "data.bin", "partial", size, 18, 125);
        row("local file on a full device", "", "data.bin", "/dev/full", size, 23, 125);
        // No transfer is attempted, so there is no libcurl code and no warning.
        row("local directory missing", "", "data.bin", "gone/file", size, -1, 0);
        row("empty URL", "", "none", "", 0, 3, 0);
        row("not an FTP URL", "", "nonsense://127.0.0.1/data.bin", "", 0, 1, 0);
        row("huge URL", "", "data.bin?" + QString(9 << 20, 'x'), "", 0, 3, 0);
    }
    void everyRequestEndsWithOneCallback()
    {
        QFETCH(QString, fault);
        QFETCH(QString, url);
        QFETCH(QString, file);
        QFETCH(int, size);
        QFETCH(int, code);
        QFETCH(int, reply);
        FtpServer::Options options;
        options.dropDataAfter = fault == "dropped" ? 5000 : -1;
        options.stallDataAfter = fault == "killed" ? 5000 : -1;
        const auto server = FtpServer::started(options);
        const auto next = FtpServer::started();
        const QByteArray content = FtpServer::testData(size);
        QVERIFY(server && next && server->writeFile("data.bin", content)
            && server->writeFile("sub/b", "") && next->writeFile("next", "next"));
        QTemporaryDir local;
        const QString path = file.isEmpty() || file.startsWith('/') ? file : local.filePath(file);
        url = url == "none" ? "" : url.contains("://") ? url : server->url("ftp", url);
        if (fault == "stopped")
            server->stop();
        FtpService service;
        next->logIn(service);
        LogCapture log;
        Answers answers;
        // The last request is queued from inside the first callback, and is sent in its turn.
        service.downloadFile(next->url("ftp", "next"), [&](const QByteArray &data) {
            answers.callback(service)(data);
            service.downloadFile(next->url("ftp", "next"), answers.callback(service));
        });
        if (url.endsWith('/')) {
            service.listDirectory(url, [&](const QList<FtpFileInfo> &entries) {
                QStringList names;
                for (const FtpFileInfo &entry : entries)
                    names << entry.name() + ' ' + QString::number(entry.type() ? -1 : entry.size());
                answers.callback(service)(names.join(',').toUtf8());
            });
        } else {
            service.downloadFile(
                url, answers.callback(service), path, fault == "intruder" ? fault : "");
        }
        // An empty transform throws and changes no credentials: the last request logs in.
        QVERIFY_THROWS_EXCEPTION(std::bad_function_call, service.setCredentials("eve", "", {}));
        if (fault == "killed") {
            QTRY_VERIFY_WITH_TIMEOUT(server->count("STALL"), 10000);
            server->kill();
        }
        QVERIFY(answers.wait(3));
        QVERIFY(!QTest::qWaitFor([&] { return answers.data.size() > 3; }, 200));
        const bool partial = path.isEmpty() && (fault == "killed" || fault == "dropped");
        const QByteArray data = url.endsWith('/') ? "data.bin 1000,sub -1"
            : code != 0                           ? (partial ? content.left(5000) : "")
            : path.isEmpty()                      ? content
                                                  : path.toLatin1();
        QVERIFY(answers.data == QList<QByteArray>({"next", data, "next"}));
        const FtpResult result = answers.results[1];
        QCOMPARE(result.code(), code);
        QVERIFY(result.isSuccess() == (code == 0) && result.errorString().isEmpty() == (code == 0));
        QVERIFY(result.url() == url && answers.results[2].isSuccess());
        // What the server said last, with the command it answered; never the password.
        QCOMPARE(result.replyCode(), reply);
        QVERIFY(result.reply().startsWith(QString::number(reply) + ' ') == (reply != 0));
        const QString command = code == 67 ? "PASS ****"
            : code == 78                   ? "SIZE none.bin"
            : url.endsWith('/')            ? "MLSD"
                                           : "RETR";
        QVERIFY2(reply == 0 || result.replyCommand().startsWith(command),
            qPrintable(result.replyCommand()));
        QFile written(path);
        QVERIFY(path.isEmpty() || code == -1 || code == 23
            || (written.open(QIODevice::ReadOnly)
                && written.readAll() == (code ? content.left(5000) : content)));
        const QString name = url.endsWith('/') ? "LISTDIRECTORY"
            : path.isEmpty()                   ? "DOWNLOADFILE"
                                               : "DOWNLOADINFILE";
        QCOMPARE(log.lines(QtDebugMsg).count(requestLine(name, url)), 1);
        const QStringList ends = (code == 0 ? log.lines(QtInfoMsg) : log.lines(QtWarningMsg))
                                     .filter(requestLine(name, url));
        QCOMPARE(ends.size(), code == -1 ? 0 : 1);
        QVERIFY(code == -1
            || ends.first().startsWith(requestLine(name, url)
                + (code ? QStringLiteral(" finished with error  %1 ").arg(code)
                        : " finished with success")));
        QCOMPARE(log.lines(QtWarningMsg).size(), code > 0 ? 1 : 0);
    }

    // A request that the host watches: progress rises to the end, then one final call before
    // the callback; a cancel or a stall limit ends it with its own code and closes its
    // connection, and the next request logs in anew; not so a queued URL's cancel or a transfer
    // that keeps moving for longer than the stall limit.
    void watchedRequestEndsWithOneCallback_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("code");
        QTest::newRow("watched to its end") << "none" << 0;
        QTest::newRow("cancelled mid-transfer") << "cancel" << 42;
        QTest::newRow("cancelled while the server is silent") << "cancel silent" << 42;
        QTest::newRow("cancelled with the queue") << "cancelAll silent" << 42;
        QTest::newRow("stall limit") << "stall silent" << 28;
        QTest::newRow("stall limit, moving longer than it") << "stall" << 0;
        QTest::newRow("queued URL cancelled") << "queued" << 0;
    }
    void watchedRequestEndsWithOneCallback()
    {
        QFETCH(QString, action);
        QFETCH(int, code);
        const int size = 400 * 1024;
        FtpServer::Options options;
        options.rate = action.endsWith("silent") ? -1 : action == "stall" ? 1 << 18 : 1 << 20;
        options.stallDataAfter = action.endsWith("silent") ? 5000 : -1;
        const auto server = FtpServer::started(options);
        const QByteArray content = FtpServer::testData(size);
        QVERIFY(server && server->writeFile("data.bin", content));
        FtpService service;
        server->logIn(service);
        // Long enough that a slow login on a loaded machine never counts as a stall.
        service.setStallTimeout(action.startsWith("stall") ? 1000 : 0);
        QList<qint64> received;
        QList<qint64> totals;
        Answers answers;
        service.setProgressHandler([&](const QString &url, qint64 bytes, qint64 total) {
            if (url.endsWith("data.bin") && answers.data.isEmpty()) {
                received << bytes;
                totals << total;
            }
        });
        service.downloadFile(server->url("ftp", "data.bin"), answers.callback(service));
        service.listDirectory(server->url("ftp", ""), [&](const QList<FtpFileInfo> &entries) {
            answers.callback(service)(QByteArray::number(entries.size()));
        });
        QTRY_VERIFY_WITH_TIMEOUT(received.value(0) > 0, 10000);
        const qint64 watchedAt = answers.clock.elapsed();
        if (action.startsWith("cancel"))
            action.startsWith("cancelAll") ? service.cancelAll() : service.cancel();
        if (action == "queued")
            service.cancelRequestsFor(server->url("ftp", ""));
        QVERIFY(answers.wait(2));
        const qint64 ended = answers.times[0] - watchedAt;
        QCOMPARE(answers.results[0].code(), code);
        QCOMPARE(answers.results[0].isCancelled(), code == 42);
        QVERIFY2(action.startsWith("cancel") ? ended < 2000 : code == 0 || ended >= 800,
            qPrintable(QString::number(ended)));
        QVERIFY(code != 28 || ended < 2500);
        QVERIFY(action != "stall" || ended > 1000);
        QVERIFY(received.size() >= 2 && std::is_sorted(received.cbegin(), received.cend()));
        QVERIFY(received.size() <= 2 + answers.times[0] / 100);
        QCOMPARE(received.last(), code ? answers.data[0].size() : size);
        QCOMPARE(answers.data[0], content.left(received.last()));
        QCOMPARE(totals.last(), size);
        // The queued listing ends at once, without a transfer, or logs in anew and succeeds.
        const bool queueCancelled = action.startsWith("cancelAll") || action == "queued";
        QCOMPARE(answers.results[1].code(), queueCancelled ? 42 : 0);
        QCOMPARE(answers.data[1], queueCancelled ? "0" : "1");
        QCOMPARE(server->count("LOGIN"), code == 0 || queueCancelled ? 1 : 2);
        QTRY_COMPARE_WITH_TIMEOUT(server->count("CLOSE"), code ? 1 : 0, 5000);
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
        row("another host's name: the probe fails too, three attempts", "other intermediate root",
            "", "3 attempts", "", giveUp);
        row("another host's name, not checked", "other intermediate root", "", "no host check",
            "root", top);
        row("peer not verified: no recovery", "server intermediate", "", "no peer check", "",
            peerOff);
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
        const QString rootFile = certificatesDirectory() + "/root_ca.pem";
        QFile stale(rootFile);
        if (setup == "stale") {
            QVERIFY(stale.open(QIODevice::WriteOnly)
                && stale.write(m_twins.certificate("root").toPem()) > 0);
            stale.close();
            QVERIFY(stale.setPermissions(QFileDevice::ReadOwner)
                && !service.loadCertificate(rootFile, false));
        }
        if (setup == "no directory")
            QVERIFY(QDir(certificatesDirectory()).removeRecursively());
        service.setMaximumAttempts(setup == "3 attempts" ? 3 : 0);
        QList<QList<CertificateInfo>> chains;
        Answers answers;
        const auto get = [&](const QString &url) {
            service.downloadFile(url, answers.callback(service));
            return answers.wait(int(answers.data.size()) + 1);
        };
        // Another server's handle is cached: a certificate failure closes every handle.
        QVERIFY(get(other->url("ftp", "a", "localhost")));
        // Timed on the worker's thread: the store's own slot runs first on this one.
        connect(
            FtpServiceTestAccess::worker(service), &FtpWorker::certificateUpdateRequired, this,
            [&](const QList<CertificateInfo> &chain) {
                QMetaObject::invokeMethod(this, [&, chain, at = answers.clock.elapsed()] {
                    answers.times << at;
                    chains << chain;
                });
            },
            Qt::DirectConnection);
        LogCapture log;
        service.setVerifyHost(setup != "no host check");
        service.setVerifyPeer(setup != "no peer check");
        QVERIFY(get(server->url("ftp", "a")));
        QVERIFY(!QTest::qWaitFor([&] { return answers.data.size() > 2; }, 700));
        const bool limited = setup == "3 attempts";
        QCOMPARE(answers.data.last(), limited ? "" : "over tls");
        QCOMPARE(answers.results.last().code(), limited ? 60 : 0);
        QCOMPARE(answers.results.last().attempts(), limited ? 3 : int(chains.size()) + 1);
        QCOMPARE(other->count("CLOSE"), setup == "no peer check" ? 0 : 1);
        // A repetition 500 ms after each failure.
        for (int i = 2; i < answers.times.size(); ++i)
            QVERIFY(answers.times[i] - answers.times[i - 1] >= 450);
        QFile written(rootFile);
        written.open(QIODevice::ReadOnly);
        QCOMPARE(
            written.readAll(), root.isEmpty() ? QByteArray() : certificates(root).first().toPem());
        for (const QString &line : lines.split('|'))
            QVERIFY2(log.lines().contains(QString(line).replace("%1", certificatesDirectory())),
                qPrintable(line));
        QCOMPARE(log.lines().contains(peerOff), lines.contains(peerOff));
        QCOMPARE(log.lines().count(tooMany), qMax(0, int(chains.size()) - 5));
        QCOMPARE(chains.isEmpty(), setup == "no peer check");
        // The new root reaches the worker before its first repetition, even on a busy machine.
        QVERIFY(root.isEmpty() || lines.contains(tooMany) || chains.size() == 1);
        // Each update logs how the chain fails QSslCertificate::verify, wherever that was checked.
        const QList<QSslError> errors = QSslCertificate::verify(certificates(chain), QString());
        for (const QSslError &error : errors) {
            QCOMPARE(log.lines(QtWarningMsg).count('"' + error.errorString() + '"'),
                limited ? 0 : qMin(int(chains.size()), 5));
        }
        // The chain as libcurl read it, which the host name check spoils for the probe too.
        for (const QList<CertificateInfo> &received : std::as_const(chains)) {
            QList<QSslCertificate> decoded;
            for (const CertificateInfo &info : received)
                decoded << info.certificate();
            QCOMPARE(decoded, limited ? QList<QSslCertificate>() : certificates(chain));
        }
    }

    // An import copies a CA file once; force replaces the copy, but never by itself.
    void importedCaFilesAreReplacedOnlyWhenForced()
    {
        FtpService service;
        QSignalSpy used(&service, &FtpService::setCertificate);
        QFile source(m_certificates.rootCaFile());
        QFile copy(certificatesDirectory() + '/' + QFileInfo(source).fileName());
        QVERIFY(service.loadCertificate(source.fileName(), false)
            && !service.loadCertificate(source.fileName(), false));
        QVERIFY(service.loadCertificate(source.fileName(), true)
            && !service.loadCertificate(copy.fileName(), true));
        QVERIFY(used.size() == 4 && used.last().first() == copy.fileName());
        QVERIFY(source.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), source.readAll());
    }

    // A host silences the library's lines, of every subsystem, and keeps its own.
    void libraryLinesCanBeSilencedAlone()
    {
        QLoggingCategory::setFilterRules("zendra.*=false");
        const auto clearRules = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
        LogCapture log;
        EncryptionService().init_ECB("short key", "0123");
        FtpService().endSession("ftp", "host");
        qInfo("host");
        QCOMPARE(log.lines(), QStringList {"host"});
    }

    // What protected each request, who vouched for its server, and what the verified-TLS policy
    // refuses; one callback each. Facts: e encrypted, p peer verified, h host verified; the
    // trust; the root of rootFingerprint(), pinned to the server when the trust says so.
    void protectionIsReportedAndEnforced_data()
    {
        QTest::addColumn<QString>("tls"); // ProFTPD's off, allowed, required; no-prot: pyftpdlib
        QTest::addColumn<QString>("chain"); // what it presents
        // Root imported or in the system list, TLS or verified peer required, root accepted.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<QString>("facts");
        QTest::addColumn<int>("asked"); // how often the host's handler was asked
        const auto row = [](const char *tag, const char *tls, const char *chain, const char *setup,
                             int code, int attempts, const char *facts, int asked = 0) {
            QTest::newRow(tag) << tls << chain << setup << code << attempts << facts << asked;
        };
        row("plain FTP, TLS tried and refused", "off", "", "", 0, 1, " No ");
        row("plain FTP, TLS required", "off", "", "tls", 64, 1, " No ");
        row("plain FTP, TLS required, not activated", "off", "", "tls no-ssl", 64, 1, " No ");
        // Tried, as by default: the server's answer to PROT P tells whether the data was.
        row("TLS tried, imported root", "allowed", "fullchain", "import", 0, 1, "eph Imported ");
        row("TLS tried, PROT P refused", "no-prot", "fullchain", "import", 0, 1, "ph Imported ");
        row("TLS required, imported root", "required", "fullchain", "import tls", 0, 1,
            "eph Imported ");
        row("self-signed", "required", "selfsigned", "", 0, 2, "eph FirstUse selfsigned");
        row("self-signed, policy", "required", "selfsigned", "policy", 60, 1, " No selfsigned", 1);
        row("self-signed, policy, accepted when asked", "required", "selfsigned", "policy accept",
            0, 2, "eph Pinned selfsigned", 1);
        row("self-signed, policy, accepted before", "required", "selfsigned", "policy pin", 0, 2,
            "eph Pinned selfsigned");
        row("private CA chain", "required", "fullchain", "", 0, 2, "eph FirstUse root");
        row("private CA chain, policy", "required", "fullchain", "policy", 60, 1, " No root", 1);
        row("private CA chain, policy, accepted", "required", "fullchain", "policy accept", 0, 2,
            "eph Pinned root", 1);
        row("root in the system list", "required", "chain-without-root", "system", 0, 2,
            "eph System root");
        // Sent by the server too, the root is still the system's, and nobody is asked.
        row("root in the system list, policy", "required", "fullchain", "system policy accept", 0,
            2, "eph System root");
        row("no findable root: verification off", "required", "chain-without-root", "", 0, 2,
            "eh No ");
        row("no findable root, policy", "required", "chain-without-root", "policy accept", 60, 1,
            " No ");
        row("host-name mismatch", "required", "other-chain", "import", 60, 3, " No ");
        row("host-name mismatch, policy", "required", "other-chain", "policy accept", 60, 1,
            " No root");
        row("host check off, policy", "required", "fullchain", "import policy no-host", 60, 1,
            " No ");
    }
    void protectionIsReportedAndEnforced()
    {
        QFETCH(QString, tls);
        QFETCH(QString, chain);
        QFETCH(QString, setup);
        QFETCH(int, code);
        QFETCH(int, attempts);
        QFETCH(QString, facts);
        QFETCH(int, asked);
        const QString key = chain.startsWith("other") ? "other"
            : chain == "selfsigned"                   ? chain
                                                      : "server";
        FtpServer::Options options = FtpServer::tlsOptions(tls == "off" ? FtpServer::Tls::Off
                : tls == "required"                                     ? FtpServer::Tls::Required
                                                                        : FtpServer::Tls::Allowed,
            m_certificates.file(chain + ".pem"), m_certificates.file(key + ".key"));
        options.proftpd = tls != "no-prot";
        options.refuseDataProtection = !options.proftpd;
        const auto server = FtpServer::started(options);
        QVERIFY(server && server->writeFile("a", "data"));
        if (setup.contains("system")) {
            QSslConfiguration configuration = m_defaultConfiguration;
            configuration.setCaCertificates(certificates("root"));
            QSslConfiguration::setDefaultConfiguration(configuration);
        }
        const QString url = server->url("ftp", "a");
        const QSslCertificate root = certificates(facts.section(' ', 2)).value(0);
        const QString fingerprint = m_certificates.fingerprint(facts.section(' ', 2));
        FtpService service;
        server->logIn(service);
        QVERIFY(!setup.contains("import")
            || service.loadCertificate(m_certificates.rootCaFile(), true));
        service.setRequireTls(setup.contains("tls"));
        service.setActivateSsl(!setup.contains("no-ssl"));
        service.setRequireVerifiedPeer(setup.contains("policy"));
        service.setVerifyHost(!setup.contains("no-host"));
        service.setMaximumAttempts(3);
        // Any form of the fingerprint will do.
        QVERIFY(!setup.contains("pin")
            || service.pinRoot(url, fingerprint.mid(7).remove(':').toLower()));
        QList<QStringList> questions;
        service.setRootApprovalHandler(
            [&](const QString &server, const QSslCertificate &root, const QString &fingerprint) {
                questions << QStringList {server, root.toPem(), fingerprint};
                return setup.contains("accept");
            });
        LogCapture log;
        Answers answers;
        const auto protection = [&](int index) {
            const FtpResult &result = answers.results[index];
            return QString(result.isEncrypted() ? "e" : "") + (result.isPeerVerified() ? "p" : "")
                + (result.isHostVerified() ? "h" : "") + ' '
                + QString(QMetaEnum::fromType<FtpResult::Trust>().valueToKey(result.trust()))
                      .remove("Trust")
                + ' ' + result.rootFingerprint();
        };
        service.downloadFile(url, answers.callback(service));
        QVERIFY(answers.wait(1));
        QVERIFY(!QTest::qWaitFor([&] { return answers.data.size() > 1; }, 700));
        QCOMPARE(answers.results[0].code(), code);
        QCOMPARE(answers.data[0], code ? "" : "data");
        QCOMPARE(answers.results[0].attempts(), attempts);
        QCOMPARE(protection(0), facts.section(' ', 0, 1) + ' ' + fingerprint);
        QCOMPARE(questions.size(), asked);
        QVERIFY(!asked || questions.first() == QStringList({url, root.toPem(), fingerprint}));
        // A refusal says which root to pin; only a pinned root is pinned.
        QVERIFY(!code || !asked || answers.results[0].errorString().contains(fingerprint));
        QCOMPARE(pinOf(*server), facts.contains("Pinned") ? root.toPem() : "");
        // Only without the policy does the store switch verification off, and only a verified
        // server gets the credentials under it.
        QCOMPARE(log.lines().contains(peerOff),
            (setup == "" && chain == "chain-without-root") || chain + setup == "other-chainimport");
        QVERIFY(!setup.contains("policy") || server->count("PASS 230") == (code ? 0 : 1));
        // A reused connection tells the same.
        if (code == 0) {
            service.downloadFile(url, answers.callback(service));
            QVERIFY(answers.wait(2));
            QCOMPARE(protection(1), protection(0));
        }
    }

    // Under the policy each server keeps the root the host accepted for it: two servers with
    // different learned roots alternate without another question; a root that changes is
    // refused, naming both, and replaces nothing until the host removes the pin.
    void pinnedRootsStayWithTheirServers()
    {
        QTemporaryDir served;
        const auto serve = [&](const QString &name, const TestCertificates &from) {
            return from.copy("selfsigned.pem", served.filePath(name + ".pem"))
                && from.copy("selfsigned.key", served.filePath(name + ".key"));
        };
        QVERIFY(serve("a", m_certificates) && serve("b", m_twins));
        std::unique_ptr<FtpServer> servers[2];
        for (int i = 0; i < 2; ++i) {
            const QString name = i ? "b" : "a";
            FtpServer::Options options = FtpServer::tlsOptions(FtpServer::Tls::Required,
                served.filePath(name + ".pem"), served.filePath(name + ".key"));
            options.proftpd = true;
            servers[i] = FtpServer::started(options);
            QVERIFY(servers[i] && servers[i]->writeFile("f", name.toLatin1()));
        }
        FtpService service;
        servers[0]->logIn(service);
        service.setRequireVerifiedPeer(true);
        QStringList asked;
        bool approve = true;
        service.setRootApprovalHandler(
            [&](const QString &url, const QSslCertificate &, const QString &) {
                asked << url;
                return approve;
            });
        LogCapture log;
        Answers answers;
        const auto get = [&](int server) {
            service.downloadFile(servers[server]->url("ftp", "f"), answers.callback(service));
            return answers.wait(int(answers.data.size()) + 1);
        };
        QVERIFY(get(0) && get(1) && get(0) && get(1));
        QCOMPARE(answers.data, QList<QByteArray>({"a", "b", "a", "b"}));
        for (const FtpResult &result : std::as_const(answers.results))
            QCOMPARE(result.trust(), FtpResult::PinnedTrust);
        QCOMPARE(asked, QStringList({servers[0]->url("ftp", "f"), servers[1]->url("ftp", "f")}));
        QCOMPARE(log.lines().count(">> Update FTP certificate"), 2);
        QCOMPARE(pinOf(*servers[0]), m_certificates.certificate("selfsigned").toPem());
        QCOMPARE(pinOf(*servers[1]), m_twins.certificate("selfsigned").toPem());

        // The first server gets another self-signed certificate, seen from its next session on.
        QVERIFY(serve("a", m_twins));
        service.endSession("ftp", "127.0.0.1");
        QVERIFY(get(0) && answers.results.last().code() == 60);
        const QString error = answers.results.last().errorString();
        QVERIFY2(error.contains(m_certificates.fingerprint("selfsigned"))
                && error.contains(m_twins.fingerprint("selfsigned")),
            qPrintable(error));
        QVERIFY(get(1) && answers.data.last() == "b");
        QCOMPARE(pinOf(*servers[0]), m_certificates.certificate("selfsigned").toPem());
        QCOMPARE(asked.size(), 2);
        QVERIFY(service.removePinnedRoot(servers[0]->url("ftp", "")));
        QVERIFY(get(0) && answers.results.last().trust() == FtpResult::PinnedTrust);
        QCOMPARE(pinOf(*servers[0]), m_twins.certificate("selfsigned").toPem());
        QCOMPARE(asked.size(), 3);

        // A refusal ends its request and uses up none of the updates that stop a chain of
        // repetitions: after more refusals than those, the host's yes still pins the root.
        QVERIFY(service.removePinnedRoot(servers[0]->url("ftp", "")));
        service.endSession("ftp", "127.0.0.1");
        approve = false;
        for (int i = 0; i < 6; ++i)
            QVERIFY(get(0) && answers.results.last().code() == 60);
        approve = true;
        QVERIFY(get(0) && answers.data.last() == "a");
        QCOMPARE(asked.size(), 10);
    }

    // A cancel ends its request at once: before the worker started it (no connection), and
    // while its certificate repetition waits (no connection after the attempt and the probe).
    void cancelEndsTheRequestAtOnce_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("handed to the worker, not started") << false;
        QTest::newRow("while its certificate repetition waits") << true;
    }
    void cancelEndsTheRequestAtOnce()
    {
        QFETCH(bool, tls);
        const auto server = FtpServer::started(
            FtpServer::tlsOptions(tls ? FtpServer::Tls::Required : FtpServer::Tls::Off,
                m_certificates.fullChainFile(), m_certificates.serverKeyFile()));
        FtpService service;
        QVERIFY(server && server->writeFile("a", "data"));
        server->logIn(service);
        Answers answers;
        qint64 cancelledAt = -1;
        const auto cancel = [&] {
            cancelledAt = answers.clock.elapsed();
            service.cancel();
        };
        FtpWorker *worker = FtpServiceTestAccess::worker(service);
        connect(worker, &FtpWorker::certificateUpdateRequired, this, cancel); // after the store
        QSemaphore busy; // holds the worker until the cancel is made
        if (!tls)
            QMetaObject::invokeMethod(worker, [&] { busy.tryAcquire(1, 20000); });
        service.downloadFile(server->url("ftp", "a"), answers.callback(service));
        if (!tls)
            cancel();
        busy.release();
        QVERIFY(answers.wait(1) && answers.results[0].isCancelled());
        QVERIFY(answers.times[0] - cancelledAt < 400);
        QCOMPARE(server->count("CONNECT"), tls ? 2 : 0);
    }

    // Uploads and remote operations against ProFTPD, one callback each: how each ended, what
    // the server said last, and the served tree afterwards, where an upload's copy is the source
    // or what was there stays, and no temporary file is left. Setup: "old" or "half" of the
    // source under the target, "keeps" a server that refuses to replace files, "cancel" and
    // "stall" a data connection that falls silent (or, with "mute:COMMAND", the control
    // connection once that command is sent), "tls" verified TLS, "policy" a verified server
    // required of a plain one.
    void writesChangeTheServerAsTheirOutcomeSays_data()
    {
        QTest::addColumn<QString>("request"); // verb, path and argument
        QTest::addColumn<int>("options");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("outcome"); // its start
        QTest::addColumn<QString>("tree"); // what is added to "d/ f.txt full/ full/f", or "-" ...
        const auto row = [](const char *tag, const char *request, int options, const char *setup,
                             const char *outcome, const char *tree) {
            QTest::newRow(tag) << request << options << setup << outcome << tree;
        };
        row("upload a file", "put file a.bin", 0, "", "0 1 |250 RNTO a.bin", "a.bin");
        row("upload bytes over a file", "put memory a.bin", 0, "old", "0 1 |250 RNTO a.bin",
            "a.bin");
        row("upload in place", "put memory a.bin", FtpService::InPlace, "old",
            "0 1 |226 STOR a.bin", "a.bin");
        row("continue an upload", "put file a.bin", FtpService::Resume, "half", "0 1 |226 APPE",
            "a.bin");
        row("upload into made folders", "put file x/y/a.bin", FtpService::CreateDirectories, "",
            "0 1 |250 RNTO a.bin", "x/ x/y/ x/y/a.bin");
        row("upload into a missing folder", "put file x/a.bin", 0, "", "9 1 |550 CWD x", "");
        row("replacing refused", "put file a.bin", 0, "old keeps", "21 1 |550 RNTO a.bin", "a.bin");
        row("upload a missing file", "put missing a.bin", 0, "", "-1 1 |0 ", "");
        row("upload cancelled", "put file a.bin", 0, "old cancel", "42 1 |150 STOR a.bin.part-",
            "a.bin");
        row("upload stalled", "put memory a.bin", 0, "old stall", "28 1 |150 STOR a.bin.part-",
            "a.bin");
        row("upload stalled in its rename", "put memory a.bin", 0, "old stall mute:RNFR",
            "28 1 |226 STOR a.bin.part-", "a.bin");
        row("upload over verified TLS", "put file a.bin", 0, "tls", "0 1 eph|250 RNTO a.bin",
            "a.bin");
        row("upload after learning the root", "put file a.bin", 0, "tls learn",
            "0 2 eph|250 RNTO a.bin", "a.bin");
        row("upload, verified peer required", "put file a.bin", 0, "policy", "64 1 |", "");
        row("make a folder", "mkdir d/new", 0, "", "0 1 |257 MKD new", "d/new/");
        row("make a folder that exists", "mkdir d", 0, "", "21 1 |550 MKD d", "");
        row("make a folder and its parents", "mkdir p/q/", FtpService::CreateDirectories, "",
            "0 1 |250 CWD q", "p/ p/q/");
        row("make a folder that exists, with parents", "mkdir d", FtpService::CreateDirectories, "",
            "0 1 |250 CWD d", "");
        row("remove a folder", "rmdir d/", 0, "", "0 1 |250 RMD d", "-d/");
        row("remove a folder that is not empty", "rmdir full", 0, "", "21 1 |550 RMD full", "");
        row("delete a file", "rm f.txt", 0, "", "0 1 |250 DELE f.txt", "-f.txt");
        row("delete a missing file", "rm none", 0, "", "21 1 |550 DELE none", "");
        row("delete cancelled, server silent", "rm f.txt", 0, "cancel mute:DELE", "42 1 |",
            "-f.txt");
        row("delete in a missing folder", "rm none/f", 0, "", "9 1 |550 CWD none", "");
        row("rename a file", "mv f.txt g.txt", 0, "", "0 1 |250 RNTO g.txt", "-f.txt g.txt");
        row("move a file", "mv full/f ../d/f", 0, "", "0 1 |250 RNTO ../d/f", "-full/f d/f");
        row("rename a missing file", "mv none g.txt", 0, "", "21 1 |550 RNFR none", "");
        row("a URL without an entry", "rm ", 0, "", "3 0 |0 ", "");
    }
    void writesChangeTheServerAsTheirOutcomeSays()
    {
        QFETCH(QString, request);
        QFETCH(int, options);
        QFETCH(QString, setup);
        QFETCH(QString, outcome);
        QFETCH(QString, tree);
        FtpServer::Options serverOptions
            = FtpServer::tlsOptions(setup.startsWith("tls") ? FtpServer::Tls::Required : FtpServer::Tls::Off,
                m_certificates.fullChainFile(), m_certificates.serverKeyFile());
        serverOptions.proftpd = serverOptions.relayStalls = true;
        serverOptions.proftpdConfig = setup.contains("keeps") ? "" : writableConfig;
        serverOptions.relayMute = setup.section("mute:", 1);
        const bool silent = serverOptions.relayMute.isEmpty()
            && (setup.contains("cancel") || setup.contains("stall"));
        serverOptions.relayFaultAfter = silent ? 1 << 16 : -1;
        const auto server = FtpServer::started(serverOptions);
        const QStringList words = request.split(' ');
        const QString url = server ? server->url("ftp", words.last()) : QString();
        const QByteArray content = FtpServer::testData(silent ? 32 << 20 : (1 << 20) + 7);
        const QByteArray old = setup.contains("half") ? content.left(content.size() / 2)
            : setup.contains("old")                   ? QByteArray("old")
                                                      : QByteArray("(none)");
        QTemporaryDir local;
        QFile file(local.filePath("file"));
        QVERIFY(server && server->writeFile("d/f", "") && QFile::remove(server->path("root/d/f"))
            && server->writeFile("f.txt", "f") && server->writeFile("full/f", "f")
            && (old == "(none)" || server->writeFile(words.last(), old))
            && file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        FtpService service;
        server->logIn(service);
        QVERIFY(setup != "tls" || service.loadCertificate(m_certificates.rootCaFile(), true));
        service.setRequireTls(setup.startsWith("tls"));
        service.setRequireVerifiedPeer(setup == "policy");
        service.setStallTimeout(setup.contains("stall") ? 500 : 0);
        QList<qint64> sent;
        qint64 total = 0;
        service.setProgressHandler([&](const QString &, qint64 bytes, qint64 announced) {
            if (setup.contains("cancel") && bytes > 0 && sent.value(sent.size() - 1) == 0)
                service.cancel();
            sent << bytes;
            total = announced;
        });
        if (!serverOptions.relayMute.isEmpty() && setup.contains("cancel"))
            QTimer::singleShot(300, &service, &FtpService::cancel);
        Answers answers;
        const auto done = answers.resultCallback();
        const auto chosen = FtpService::TransferOptions(options);
        if (words[0] == "put" && words[1] == "memory")
            service.uploadData(content, url, done, chosen);
        else if (words[0] == "put")
            service.uploadFile(local.filePath(words[1]), url, done, chosen);
        else if (words[0] == "mkdir")
            service.makeDirectory(url, done, chosen);
        else if (words[0] == "rmdir")
            service.removeDirectory(url, done);
        else if (words[0] == "rm")
            service.removeFile(url, done);
        else
            service.rename(server->url("ftp", words[1]), words[2], done);
        QVERIFY(answers.wait(1) && !QTest::qWaitFor([&] { return answers.data.size() > 1; }, 200));
        QVERIFY2(::outcome(answers.results[0]).startsWith(outcome),
            qPrintable(::outcome(answers.results[0])));
        QStringList expected = QString("d/ f.txt full/ full/f").split(' ');
        for (const QString &change : tree.split(' ', Qt::SkipEmptyParts))
            change.startsWith('-') ? void(expected.removeOne(change.mid(1)))
                                   : expected.append(change);
        expected.sort();
        QCOMPARE(server->tree(), expected.join(' '));
        if (words[0] != "put")
            return;
        const bool success = outcome.startsWith("0 ");
        QCOMPARE(sha256(server->served(words.last())), sha256(success ? content : old));
        QVERIFY(!success
            || (sent.last() == content.size() && total == content.size()
                && std::is_sorted(sent.cbegin(), sent.cend())));
        // A continued upload sent the second half only.
        QVERIFY(words[1] == "missing" || server->count("APPE 226") == (setup == "half" ? 1 : 0));
    }

    // A relay between client and server cuts (or stalls) data connections: with retries, a
    // transfer goes on from where it stopped, so fewer bytes cross than a restart would need;
    // without, it fails once and leaves nothing under the target name. Refusals are final.
    void droppedTransfersGoOnWhereTheyStopped_data()
    {
        QTest::addColumn<QString>("request"); // get, get into a file, put, continue a local file
        QTest::addColumn<QString>("fault"); // cut, twice, stall, or a refusal
        QTest::addColumn<int>("retries");
        QTest::addColumn<QString>("outcome"); // its start
        const auto row = [](const char *tag, const char *request, const char *fault, int retries,
                             const char *outcome) {
            QTest::newRow(tag) << request << fault << retries << outcome;
        };
        row("download, cut, retried", "get", "cut", 3, "0 2 ");
        row("download into a file, cut twice, retried", "file", "twice", 3, "0 3 ");
        row("download, stalled, retried", "get", "stall", 1, "0 2 ");
        row("upload, cut, retried", "put", "cut", 3, "0 2 ");
        row("upload, cut twice, one retry", "put", "twice", 1, "55 2 ");
        row("download, cut, not retried", "get", "cut", 0, "18 1 ");
        row("upload, cut, not retried", "put", "cut", 0, "55 1 ");
        row("download of a missing file", "get", "missing", 3, "78 1 ");
        row("download with a refused login", "get", "login", 3, "67 1 ");
        row("continue a partial local file", "continue", "", 0, "0 1 ");
    }
    void droppedTransfersGoOnWhereTheyStopped()
    {
        QFETCH(QString, request);
        QFETCH(QString, fault);
        QFETCH(int, retries);
        QFETCH(QString, outcome);
        const qint64 size = 64 << 20;
        const qint64 cut = 20 << 20;
        FtpServer::Options options;
        options.proftpd = true;
        options.proftpdConfig = writableConfig;
        options.relayFaultAfter = cut;
        options.relayFaults = fault.isEmpty() || fault == "missing" ? 0 : fault == "twice" ? 2 : 1;
        options.relayStalls = fault == "stall";
        const auto server = FtpServer::started(options);
        const QByteArray content = FtpServer::testData(size);
        QTemporaryDir local;
        QFile file(local.filePath("file"));
        QVERIFY(server && file.open(QIODevice::WriteOnly)
            && file.write(request == "continue" ? content.left(cut) : content) > 0
            && (request == "put" || server->writeFile("data.bin", content)));
        file.close();
        FtpService service;
        service.setCredentials(server->user(), fault == "login" ? "wrong" : server->password(),
            [](const QString &text) { return text; });
        service.setRetries(retries);
        service.setStallTimeout(fault == "stall" ? 1000 : 0);
        Answers answers;
        const QString url = server->url("ftp", fault == "missing" ? "none" : "data.bin");
        if (request == "put")
            service.uploadFile(file.fileName(), url, answers.resultCallback());
        else
            service.downloadFile(url, answers.callback(service),
                request == "get" ? QString() : file.fileName(),
                request == "continue" ? FtpService::Resume : FtpService::DefaultTransfer);
        QVERIFY(answers.wait(1) && !QTest::qWaitFor([&] { return answers.data.size() > 1; }, 200));
        QVERIFY2(::outcome(answers.results[0]).startsWith(outcome),
            qPrintable(::outcome(answers.results[0])));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray received = request == "put" ? server->served("data.bin")
            : request == "get"                       ? answers.data[0]
                                                     : file.readAll();
        const bool success = outcome.startsWith("0 ");
        QVERIFY(success            ? sha256(received) == sha256(content)
                : request == "put" ? received == "(none)"
                                   : content.startsWith(received));
        QVERIFY2(!server->tree().contains(".part-"), qPrintable(server->tree()));
        // A restart from the first byte would cost each fault's bytes and the whole file.
        QVERIFY2(
            !success || fault == "stall" || server->relayed() < options.relayFaults * cut + size,
            qPrintable(QString::number(server->relayed())));
    }

    void destructionLeavesNoCallbackAndNoThread_data()
    {
        QTest::addColumn<QString>("moment");
        for (const char *moment : {"right after construction", "during a transfer",
                 "while a certificate repetition waits"})
            QTest::newRow(moment) << moment;
    }
    void destructionLeavesNoCallbackAndNoThread()
    {
        QFETCH(QString, moment);
        FtpServer::Options options;
        options.stallDataAfter = moment.startsWith("during") ? 5000 : -1;
        const auto server = moment.startsWith("while")
            ? FtpServer::started(FtpServer::tlsOptions(FtpServer::Tls::Required,
                m_certificates.fullChainFile(), m_certificates.serverKeyFile()))
            : FtpServer::started(options);
        QVERIFY(server && server->writeFile("large", FtpServer::testData(8 << 20)));
        const auto threadCount = [] {
            return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
        };
        const qsizetype threads = threadCount();
        int callbacks = 0;
        // The worker waits for the service's end before it starts the 500 ms wait, however long
        // this thread takes to get there. Shared, in case this function returns early.
        const auto repeating = std::make_shared<std::atomic<bool>>(false);
        const auto destroyed = std::make_shared<QSemaphore>();
        auto service = std::make_unique<FtpService>();
        server->logIn(*service);
        connect(
            FtpServiceTestAccess::worker(*service), &FtpWorker::certificateUpdateRequired, this,
            [repeating, destroyed] {
                *repeating = true;
                destroyed->tryAcquire(1, 20000);
            },
            Qt::DirectConnection);
        service->setProgressHandler([&](const QString &, qint64, qint64) { ++callbacks; });
        for (int i = 0; i < 3; ++i)
            service->downloadFile(
                server->url("ftp", "large"), [&](const QByteArray &) { ++callbacks; });
        QTRY_VERIFY_WITH_TIMEOUT(!moment.startsWith("during") || server->count("STALL"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!moment.startsWith("while") || *repeating, 10000);
        const int connections = server->count("CONNECT");
        callbacks = 0; // progress calls of the transfer in flight
        service.reset();
        destroyed->release();
        // The stalled transfer ends when the server goes.
        if (moment.startsWith("during"))
            server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threads, 20000);
        QVERIFY(!QTest::qWaitFor([&] { return callbacks > 0; }, 700));
        QVERIFY(!moment.startsWith("while") || server->count("CONNECT") == connections);
    }

    // ProFTPD starts TLS on a data connection only after it has answered on the control one,
    // which the worker's transfer loop has to see through; bench/smallfiles.sh times it.
    void proftpdTlsRequestsShareOneLoginPerSession()
    {
        FtpServer::Options options = FtpServer::tlsOptions(FtpServer::Tls::Required,
            m_certificates.fullChainFile(), m_certificates.serverKeyFile());
        options.proftpd = true;
        const auto server = FtpServer::started(options);
        FtpService service;
        QVERIFY(server && service.loadCertificate(m_certificates.rootCaFile(), true));
        server->logIn(service);
        Answers answers;
        for (int i = 0; i < 20; ++i) {
            QVERIFY(server->writeFile(QString::number(i), FtpServer::testData(4096, i)));
            service.downloadFile(server->url("ftp", QString::number(i)), answers.callback(service));
        }
        QVERIFY(answers.wait(20));
        for (int i = 0; i < 20; ++i)
            QVERIFY(answers.data[i] == FtpServer::testData(4096, i));
        QCOMPARE(server->events().filter("PASS"), QStringList {"PASS 230 ftps"});
        // Ending the session closes the connection; the next request logs in anew.
        service.endSession("ftp", "127.0.0.1");
        QTRY_COMPARE_WITH_TIMEOUT(server->events().filter("EXIT").size(), 1, 10000);
        service.downloadFile(server->url("ftp", "0"), answers.callback(service));
        QVERIFY(answers.wait(21) && answers.data.last() == FtpServer::testData(4096, 0));
        QCOMPARE(server->events().filter("PASS"), QStringList(2, "PASS 230 ftps"));
        // After a TLS 1.3 upload, libcurl offers the next data connection a session that ProFTPD
        // refuses (425): uploads and the requests after them still succeed.
        for (int i = 0; i < 3; ++i) {
            service.uploadData(FtpServer::testData(4096, i),
                server->url("ftp", "up" + QString::number(i)), answers.resultCallback());
        }
        service.listDirectory(
            server->url("ftp", ""),
            [&](const QList<FtpFileInfo> &entries) {
                answers.callback(service)(QByteArray::number(entries.size()));
            },
            FtpFileInfo::File);
        QVERIFY(answers.wait(25));
        QCOMPARE(answers.data.last(), "23");
        for (const FtpResult &result : answers.results.mid(21))
            QVERIFY2(result.isSuccess(), qPrintable(outcome(result)));
        QCOMPARE(server->served("up2"), FtpServer::testData(4096, 2));
    }

    void twoServicesDownloadingAtOnceGetTheirOwnBytes()
    {
        const auto server = FtpServer::started();
        const QByteArray first = FtpServer::testData(16 << 20, 1);
        const QByteArray second = FtpServer::testData(16 << 20, 2);
        QVERIFY(server && server->writeFile("first", first) && server->writeFile("second", second));
        FtpService a; // two workers, each on its thread, writing at the same time
        FtpService b;
        server->logIn(a);
        server->logIn(b);
        Answers fromA;
        // b's callback keeps nothing, so its answers are freed on the releaser's thread.
        QList<bool> fromB;
        for (int i = 0; i < 2; ++i) {
            a.downloadFile(server->url("ftp", "first"), fromA.callback(a));
            b.downloadFile(server->url("ftp", "second"),
                [&](const QByteArray &data) { fromB << (data == second); });
        }
        QVERIFY(fromA.wait(2) && QTest::qWaitFor([&] { return fromB.size() == 2; }, 60000));
        QCOMPARE(fromB, QList<bool>(2, true));
        QCOMPARE(fromA.data, QList<QByteArray>(2, first));
    }
};

QTEST_GUILESS_MAIN(TestFtpService)
#include "tst_ftpservice.moc"
