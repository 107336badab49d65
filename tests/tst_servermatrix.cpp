// SPDX-License-Identifier: MIT
// One table over every server the suite starts (pyftpdlib, ProFTPD, vsftpd, Pure-FTPd), plain and
// with verified explicit TLS: the requests a host makes of any server, reading and writing. Rows
// of a server that is not installed skip.
#include "ftpserver.h"
#include "testcertificates.h"

#include <zendra/zendra.h>

#include <QtTest>

using namespace zendra;

class TestServerMatrix : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_certificates.create()); }

    void everyServerServesEveryRequest_data()
    {
        QTest::addColumn<QString>("daemon"); // empty for pyftpdlib
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("request");
        for (const QString request : {"list", "get", "get into a file", "cancel mid-transfer",
                 "upload", "remote operations"}) {
            for (const QString daemon : {"", "proftpd", "vsftpd", "pureftpd"}) {
                for (const bool tls : {false, true}) {
                    QTest::addRow("%s, %s, %s", qPrintable(daemon.isEmpty() ? "pyftpdlib" : daemon),
                        tls ? "TLS" : "plain", qPrintable(request))
                        << daemon << tls << request;
                }
            }
        }
    }
    void everyServerServesEveryRequest()
    {
        QFETCH(QString, daemon);
        QFETCH(bool, tls);
        QFETCH(QString, request);
        const bool cancel = request.startsWith("cancel");
        FtpServer::Options options
            = FtpServer::tlsOptions(tls ? FtpServer::Tls::Required : FtpServer::Tls::Off,
                m_certificates.fullChainFile(), m_certificates.serverKeyFile());
        options.daemon = daemon;
        options.rate = cancel ? 512 * 1024 : -1;
        const auto server = FtpServer::started(options);
        if (!server && !FtpServer::unavailable().isEmpty())
            QSKIP(qPrintable(FtpServer::unavailable()));
        const QByteArray content = FtpServer::testData(cancel ? 4 << 20 : 70000);
        QVERIFY(server && server->writeFile("a.bin", content) && server->writeFile("sub/b", ""));
        FtpService service;
        server->logIn(service);
        service.setRequireVerifiedPeer(tls);
        QVERIFY(!tls || service.loadCertificate(m_certificates.rootCaFile(), true));
        QTemporaryDir local;
        const QString file = request.endsWith("file") ? local.filePath("a.bin") : QString();
        QByteArray data;
        QList<FtpResult> results;
        const auto answer = [&](const QByteArray &received) {
            data = received;
            results << service.lastResult();
        };
        if (request == "list") {
            // Through the model, as hosts list; and without the fallback, the server's refusal.
            FtpDirectoryModel model;
            model.setUrl(server->url("ftp", ""));
            QTRY_COMPARE_WITH_TIMEOUT(model.status(), FtpDirectoryModel::Ready, 20000);
            const FtpFileInfo a = model.entry(model.entry(0).name() == "a.bin" ? 0 : 1);
            QVERIFY(model.count() == 2 && a.size() == content.size() && a.isValid());
            QVERIFY(qAbs(a.modificationDate().secsTo(QDateTime::currentDateTime())) < 90000);
            QCOMPARE(model.isPeerVerified(), tls);
            service.listDirectory(server->url("ftp", ""), [&](auto) { answer({}); });
            QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 20000);
            QCOMPARE(results[0].errorString(),
                daemon == "vsftpd" ? "the server does not support MLSD (500 Unknown command.)"
                                   : "");
            return;
        }
        if (request == "upload" || request == "remote operations") {
            // Each request ends in success, and the served tree shows it; an upload leaves no
            // temporary file behind.
            const auto done = [&](const FtpResult &result) { results << result; };
            if (request == "upload") {
                service.uploadData(content, server->url("ftp", "up.bin"), done);
            } else {
                service.makeDirectory(server->url("ftp", "new"), done);
                service.rename(server->url("ftp", "a.bin"), "new/c.bin", done);
                service.removeFile(server->url("ftp", "new/c.bin"), done);
                service.removeDirectory(server->url("ftp", "new/"), done);
            }
            const int count = request == "upload" ? 1 : 4;
            QTRY_COMPARE_WITH_TIMEOUT(results.size(), count, 20000);
            for (const FtpResult &result : std::as_const(results)) {
                QVERIFY2(result.isSuccess(), qPrintable(result.errorString()));
                QCOMPARE(result.isEncrypted() && result.isPeerVerified(), tls);
            }
            QCOMPARE(
                server->tree(), request == "upload" ? "a.bin sub/ sub/b up.bin" : "sub/ sub/b");
            QVERIFY(request != "upload" || server->served("up.bin") == content);
            return;
        }
        service.addProgressHandler([&](const QString &, qint64 received, qint64) {
            if (received > 0 && cancel)
                service.cancel();
        });
        service.downloadFile(server->url("ftp", "a.bin"), answer, file);
        QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 20000);
        QFile written(file);
        QVERIFY(file.isEmpty()
            || (written.open(QIODevice::ReadOnly) && (data = written.readAll(), true)));
        QCOMPARE(results[0].isCancelled(), cancel);
        QVERIFY(cancel ? data.size() < content.size() : results[0].isSuccess());
        QCOMPARE(data, cancel ? content.left(data.size()) : content);
        QVERIFY(cancel || (results[0].isEncrypted() && results[0].isPeerVerified()) == tls);
    }
};

QTEST_MAIN(TestServerMatrix)
#include "tst_servermatrix.moc"
