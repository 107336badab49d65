// SPDX-License-Identifier: MIT
// FtpDirectoryModel against real servers: in the QML example (examples/qml/Main.qml), and on
// its own with stale answers and the "cdir" and "pdir" entries that proftpd sends; the lock and
// the warning that the example shows for the listing's protection.
#include "ftpserver.h"
#include "testcertificates.h"

#include <zendra/zendra.h>

#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QtTest>

using namespace zendra;

namespace {

QStringList rows(const FtpDirectoryModel &model)
{
    QStringList seen;
    for (int row = 0; row < model.rowCount(); ++row) {
        const FtpFileInfo entry = model.entry(row);
        seen << (model.index(row).data(FtpDirectoryModel::IsDirRole).toBool()
                ? entry.name() + u'/'
                : QStringLiteral("%1 %2")
                      .arg(entry.name())
                      .arg(model.index(row).data(FtpDirectoryModel::SizeRole).toLongLong()));
    }
    return seen;
}

} // namespace

class TestFtpDirectoryModel : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_certificates.create());
    }

    void exampleListsTheDirectory_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QStringList>("rows"); // sorted: pyftpdlib lists in the disk's order
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("tls"); // required, the server verified with the imported root
        const QStringList all {"a.bin 1000", "b.txt 3", "sub/"};
        QTest::newRow("login accepted") << "secret" << all << "" << false;
        QTest::newRow("login refused") << "wrong" << QStringList() << "Access denied: 530" << false;
        QTest::newRow("verified TLS") << "secret" << all << "" << true;
    }
    void exampleListsTheDirectory()
    {
        QFETCH(QString, password);
        QFETCH(QStringList, rows);
        QFETCH(QString, error);
        QFETCH(bool, tls);
        auto server = tls ? FtpServer::started(FtpServer::tlsOptions(FtpServer::Tls::Required,
                          m_certificates.fullChainFile(), m_certificates.serverKeyFile()))
                          : FtpServer::started();
        QVERIFY(server && server->writeFile("pub/b.txt", "abc")
            && server->writeFile("pub/sub/c", "")
            && server->writeFile("pub/a.bin", QByteArray(1000, 'x')));
        QQmlEngine engine;
        engine.addImportPath(ZENDRA_QML_IMPORT_DIR);
        QQmlComponent component(&engine, QUrl::fromLocalFile(ZENDRA_EXAMPLE_QML));
        std::unique_ptr<QObject> window(
            component.createWithInitialProperties({{"url", server->url("ftp", "pub/")}}));
        QVERIFY2(window, qPrintable(component.errorString()));
        FtpService &service = Service<FtpService>::instance();
        service.setCredentials(server->user(), password, [](const QString &text) { return text; });
        service.setRequireTls(tls);
        QVERIFY(!tls || service.loadCertificate(m_certificates.rootCaFile(), true));
        auto *model = window->property("directory").value<FtpDirectoryModel *>();
        QVERIFY(model);
        QTRY_COMPARE_WITH_TIMEOUT(model->status(),
            error.isEmpty() ? FtpDirectoryModel::Ready : FtpDirectoryModel::Error, 20000);
        QCOMPARE(model->errorString(), error);
        QStringList seen = ::rows(*model);
        seen.sort();
        QCOMPARE(seen, rows);
        QVERIFY(model->isEncrypted() == tls && model->isPeerVerified() == tls);
        QCOMPARE(window->findChild<QObject *>("lock")->property("closed"), tls);
        QCOMPARE(
            window->findChild<QObject *>("warning")->property("visible"), error.isEmpty() && !tls);
    }

    // The download element's status cycle; the local file is replaced only on success, and no
    // temporary file stays behind.
    void downloadReplacesTheFileOnlyOnSuccess_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<FtpDownload::Status>("status");
        QTest::newRow("finished") << "a.bin" << false << FtpDownload::Finished;
        QTest::newRow("remote file missing") << "none" << false << FtpDownload::Error;
        QTest::newRow("cancelled while the server is silent")
            << "big.bin" << true << FtpDownload::Cancelled;
    }
    void downloadReplacesTheFileOnlyOnSuccess()
    {
        QFETCH(QString, file);
        QFETCH(bool, cancel);
        QFETCH(FtpDownload::Status, status);
        FtpServer::Options options;
        options.stallDataAfter = 5000;
        const auto server = FtpServer::started(options);
        QVERIFY(server && server->writeFile("a.bin", "new")
            && server->writeFile("big.bin", QByteArray(100000, 'x')));
        QTemporaryDir local;
        QFile target(local.filePath("target"));
        QVERIFY(target.open(QIODevice::WriteOnly) && target.write("old") == 3);
        target.close();
        FtpService service;
        server->logIn(service);
        FtpDownload download;
        QList<FtpDownload::Status> seen;
        connect(&download, &FtpDownload::statusChanged, this, [&] { seen << download.status(); });
        download.setUrl(server->url("ftp", file));
        download.setLocalFile(QUrl::fromLocalFile(target.fileName()).toString());
        qint64 hostSaw = 0;
        service.setProgressHandler([&](const QString &, qint64 bytes, qint64) { hostSaw = bytes; });
        download.start();
        // Queued behind: each download watches its own progress, beside the host's handler.
        FtpDownload second;
        second.setUrl(server->url("ftp", "a.bin"));
        second.setLocalFile(local.filePath("second"));
        second.start();
        QTRY_VERIFY_WITH_TIMEOUT(!cancel || download.bytesReceived() == 5000, 10000);
        if (cancel) {
            QVERIFY(hostSaw == 5000 && second.bytesReceived() == 0);
            QCOMPARE(download.bytesTotal(), 100000);
            QCOMPARE(download.progress(), 0.05);
            download.cancel();
        }
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 2, 10000);
        QCOMPARE(seen, QList<FtpDownload::Status>({FtpDownload::Downloading, status}));
        QCOMPARE(download.errorString().isEmpty(), status != FtpDownload::Error);
        QVERIFY(target.open(QIODevice::ReadOnly));
        QCOMPARE(target.readAll(), status == FtpDownload::Finished ? "new" : "old");
        QTRY_COMPARE_WITH_TIMEOUT(second.status(), FtpDownload::Finished, 10000);
        QCOMPARE(second.bytesReceived(), 3);
        QTRY_COMPARE_WITH_TIMEOUT(
            QDir(local.path()).entryList(QDir::Files), QStringList({"second", "target"}), 5000);
    }

    // The upload element's status cycle, beside the download element continuing its partial
    // file and the model's operations; each leaves the server as its status says.
    void elementsAndOperationsChangeTheServer_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<FtpUpload::Status>("status");
        QTest::newRow("finished") << "up/a.bin" << false << FtpUpload::Finished;
        QTest::newRow("cancelled") << "up/a.bin" << true << FtpUpload::Cancelled;
        QTest::newRow("missing folder") << "none/a.bin" << false << FtpUpload::Error;
    }
    void elementsAndOperationsChangeTheServer()
    {
        QFETCH(QString, target);
        QFETCH(bool, cancel);
        QFETCH(FtpUpload::Status, status);
        FtpServer::Options options;
        options.proftpd = true;
        const auto server = FtpServer::started(options);
        const QByteArray content = FtpServer::testData(300000);
        QTemporaryDir local;
        QFile file(local.filePath("a.bin"));
        QFile part(local.filePath("b.bin.part"));
        QVERIFY(server && server->writeFile("up/old", content) && file.open(QIODevice::WriteOnly)
            && file.write(content) == content.size() && part.open(QIODevice::WriteOnly)
            && part.write(content.left(1000)) == 1000);
        file.close();
        part.close();
        FtpService service;
        server->logIn(service);
        FtpDownload download; // continues what b.bin.part holds
        download.setUrl(server->url("ftp", "up/old"));
        download.setLocalFile(local.filePath("b.bin"));
        download.setResume(true);
        download.start();
        FtpUpload upload;
        QSignalSpy changes(&upload, &FtpUpload::statusChanged);
        upload.setUrl(server->url("ftp", target));
        upload.setLocalFile(QUrl::fromLocalFile(file.fileName()).toString());
        upload.start();
        if (cancel)
            upload.cancel();
        QTRY_COMPARE_WITH_TIMEOUT(download.status(), FtpDownload::Finished, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(upload.status(), status, 10000);
        QVERIFY(changes.size() == 2 && !part.exists() && server->count("REST 350") == 1);
        QVERIFY(upload.errorString().contains("550") == (status == FtpUpload::Error));
        const bool sent = status == FtpUpload::Finished;
        QVERIFY(upload.bytesSent() == (sent ? content.size() : 0)
            && server->served(target) == (sent ? content : "(none)"));
        QFile downloaded(local.filePath("b.bin"));
        QVERIFY(downloaded.open(QIODevice::ReadOnly) && downloaded.readAll() == content);
        // The model renames, makes and removes, and lists anew after each.
        FtpDirectoryModel model;
        model.setUrl(server->url("ftp", "up/"));
        QSignalSpy operations(&model, &FtpDirectoryModel::operationFinished);
        QTRY_COMPARE(model.status(), FtpDirectoryModel::Ready);
        model.renameEntry(rows(model).indexOf("old 300000"), "new name");
        model.makeDirectory("sub dir");
        QTRY_VERIFY(rows(model).contains("sub dir/") && rows(model).contains("new name 300000"));
        model.removeEntry(rows(model).indexOf("sub dir/"));
        model.renameEntry(rows(model).indexOf("new name 300000"), "none/x");
        QTRY_COMPARE(operations.size(), 4);
        QVERIFY(operations[2][0].toBool() && !operations[3][0].toBool()
            && operations[3][1].toString().contains("550"));
        QTRY_VERIFY(!rows(model).contains("sub dir/"));
    }

    // The element's policy properties reach the service, and the service's setters reach QML
    // bindings; the specified methods keep their places.
    void policyIsAPropertyOfTheElement()
    {
        QQmlEngine engine;
        engine.addImportPath(ZENDRA_QML_IMPORT_DIR);
        QQmlComponent component(&engine);
        component.setData("import QtQuick\nimport zendra\nQtObject {\n"
                          "property FtpService service: FtpService { requireVerifiedPeer: true }\n"
                          "property bool tls: service.requireTls }",
            QUrl());
        std::unique_ptr<QObject> root(component.create());
        QVERIFY2(root, qPrintable(component.errorString()));
        FtpService &service = Service<FtpService>::instance();
        QVERIFY(service.requiresVerifiedPeer() && !service.requiresTls());
        service.setRequireTls(true);
        QCOMPARE(root->property("tls"), true);
        const QMetaObject &meta = FtpService::staticMetaObject;
        QCOMPARE(meta.method(meta.methodOffset() + 10).name(), "updateCertificate");
        QCOMPARE(meta.methodCount() - meta.methodOffset(), 11);
    }

    void onlyTheLatestListingCounts()
    {
        FtpServer::Options options;
        options.proftpd = true;
        const auto server = FtpServer::started(options);
        QVERIFY(server && server->writeFile("one/a", "a") && server->writeFile("two/b", "bb")
            && QFile::resize(server->path("root/two/b"), 3221225474)); // sparse, 3 GiB + 2
        FtpDirectoryModel model;
        model.setUrl(server->url("ftp", "one/"));
        QTRY_COMPARE(model.status(), FtpDirectoryModel::Error); // no FtpService yet
        QVERIFY(model.errorString().startsWith("No FtpService exists"));
        auto service = std::make_unique<FtpService>();
        server->logIn(*service);
        model.reload();
        QCOMPARE(model.status(), FtpDirectoryModel::Loading);
        // The listing of one/ is on its way; its answer must not reach the rows.
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        model.setUrl(server->url("ftp", "two/"));
        QTRY_COMPARE(model.status(), FtpDirectoryModel::Ready);
        QCOMPARE(resets.count(), 1);
        QCOMPARE(rows(model), QStringList {"b 3221225474"}); // neither "cdir" nor "pdir"
        model.setFileType(FtpDirectoryModel::CurrentDir);
        QTRY_COMPARE(rows(model), QStringList {"./"});
        model.reload();
        service.reset(); // with the listing in flight
        QCOMPARE(model.status(), FtpDirectoryModel::Error);
        QVERIFY(model.errorString().startsWith("The FtpService was destroyed"));
    }
};

QTEST_MAIN(TestFtpDirectoryModel)
#include "tst_ftpdirectorymodel.moc"
