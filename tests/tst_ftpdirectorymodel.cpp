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

#include <sys/stat.h>

using namespace zendra;

namespace {

// Each row's URL after the model's encoded one (or whole), with the size of a file.
QStringList rows(const FtpDirectoryModel &model)
{
    QStringList seen;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row);
        const QString url = index.data(FtpDirectoryModel::UrlRole).toString();
        const QString base = FtpUrl::fromUserInput(model.url());
        seen << url.mid(url.startsWith(base) ? base.size() : 0)
                + (index.data(FtpDirectoryModel::IsDirRole).toBool()
                        ? QString()
                        : QStringLiteral(" %1").arg(
                            index.data(FtpDirectoryModel::SizeRole).toLongLong()));
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
        QTest::addColumn<FtpResult::Trust>("trust"); // TLS required unless NoTrust
        QTest::addColumn<bool>("policy"); // the example's switch requires a verified server
        const QStringList all {"a.bin 1000", "b.txt 3", "c%20d%25%C3%A9.txt 2", "sub/"};
        QTest::newRow("login accepted") << "secret" << all << "" << FtpResult::NoTrust << false;
        QTest::newRow("login refused")
            << "wrong" << QStringList()
            << "the server refused the login (530 Authentication failed.)" << FtpResult::NoTrust
            << false;
        QTest::newRow("verified TLS") << "secret" << all << "" << FtpResult::ImportedTrust << false;
        QTest::newRow("TLS, root learned on first use")
            << "secret" << all << "" << FtpResult::FirstUseTrust << false;
        QTest::newRow("verified TLS required by the switch")
            << "secret" << QStringList()
            << "the server does not support AUTH (500 Command \"AUTH\" not understood.)"
            << FtpResult::NoTrust << true;
    }
    void exampleListsTheDirectory()
    {
        QFETCH(QString, password);
        QFETCH(QStringList, rows);
        QFETCH(QString, error);
        QFETCH(FtpResult::Trust, trust);
        const bool tls = trust != FtpResult::NoTrust;
        // No root of an earlier row: the recovery writes into an empty directory.
        QDir certificates(
            QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/certificates");
        QVERIFY(certificates.removeRecursively() && certificates.mkpath("."));
        QFETCH(bool, policy);
        auto server = tls ? FtpServer::started(FtpServer::tlsOptions(FtpServer::Tls::Required,
                          m_certificates.fullChainFile(), m_certificates.serverKeyFile()))
                          : FtpServer::started();
        QVERIFY(server && server->writeFile("my pub/b.txt", "abc")
            && server->writeFile("my pub/sub/c", "") && server->writeFile("my pub/c d%é.txt", "cd")
            && server->writeFile("my pub/a.bin", QByteArray(1000, 'x')));
        QQmlEngine engine;
        engine.addImportPath(ZENDRA_QML_IMPORT_DIR);
        QQmlComponent component(&engine, QUrl::fromLocalFile(ZENDRA_EXAMPLE_QML));
        std::unique_ptr<QObject> window(
            component.createWithInitialProperties({{"url", server->url("ftp", "my pub/")},
                {"user", server->user()}, {"password", password}})); // for its FtpService
        QVERIFY2(window, qPrintable(component.errorString()));
        FtpService &service = Service<FtpService>::instance();
        service.setRequireTls(tls);
        QVERIFY(trust != FtpResult::ImportedTrust
            || service.loadCertificate(m_certificates.rootCaFile(), true));
        auto *model = window->property("directory").value<FtpDirectoryModel *>();
        QVERIFY(model);
        // Through the example's binding, before the listing leaves.
        window->findChild<QObject *>("requireVerified")->setProperty("checked", policy);
        QTRY_COMPARE_WITH_TIMEOUT(model->status(),
            error.isEmpty() ? FtpDirectoryModel::Ready : FtpDirectoryModel::Error, 20000);
        QCOMPARE(model->errorString(), error);
        QStringList seen = ::rows(*model);
        seen.sort();
        QCOMPARE(seen, rows);
        QVERIFY(model->isEncrypted() == tls && model->isPeerVerified() == tls);
        QCOMPARE(model->trust(), trust);
        const bool vouched = trust == FtpResult::ImportedTrust;
        QCOMPARE(window->findChild<QObject *>("lock")->property("closed"), vouched);
        QCOMPARE(window->findChild<QObject *>("warning")->property("visible"),
            error.isEmpty() && !vouched);
        if (!error.isEmpty())
            return;
        // The download element reports the same vouching as the listing before it.
        QTemporaryDir local;
        FtpDownload download;
        download.setUrl(server->url("ftp", "my pub/b.txt"));
        download.setLocalFile(local.filePath("b.txt"));
        download.start();
        QTRY_COMPARE_WITH_TIMEOUT(download.status(), FtpDownload::Finished, 20000);
        QCOMPARE(download.trust(), trust);
    }

    // The download element's status cycle; the local file is replaced only on success, keeping
    // its mode, a new file gets the umask's, and no temporary file stays behind. Names as typed.
    void downloadReplacesTheFileOnlyOnSuccess_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<FtpDownload::Status>("status");
        QTest::newRow("finished") << "a b%é.bin" << false << FtpDownload::Finished;
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
        QVERIFY(server && server->writeFile("a b%é.bin", "new")
            && server->writeFile("big.bin", QByteArray(100000, 'x')));
        QTemporaryDir local;
        QFile target(local.filePath("target"));
        QVERIFY(target.open(QIODevice::WriteOnly) && target.write("old") == 3);
        target.close();
        QVERIFY(target.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const auto restoreUmask = qScopeGuard([mask = ::umask(027)] { ::umask(mask); });
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
        second.setUrl(server->url("ftp", "a%20b%25%C3%A9.bin"));
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
        QCOMPARE(QFileInfo(local.filePath("second")).permissions() & 0x777, 0x640);
        QCOMPARE(QFileInfo(target).permissions() & 0x777, 0x604);
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
        QTRY_VERIFY(rows(model).contains("sub%20dir/") && rows(model).contains("new%20name 300000"));
        model.removeEntry(rows(model).indexOf("sub%20dir/"));
        model.renameEntry(rows(model).indexOf("new%20name 300000"), "none/x");
        QTRY_COMPARE(operations.size(), 4);
        QVERIFY(operations[2][0].toBool() && !operations[3][0].toBool()
            && operations[3][1].toString().contains("550"));
        QTRY_VERIFY(!rows(model).contains("sub%20dir/"));
    }

    // The element's policy properties reach the service, and the service's setters reach QML
    // bindings; the existing methods keep their places.
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

    // What a user types is encoded, an encoded URL stays; an entry's URL is built from a listing's.
    void urlsAreEncodedOnce_data()
    {
        QTest::addColumn<QString>("text"); // a URL, or the URL that a listing was made of
        QTest::addColumn<QString>("entry"); // the MLSD line of an entry of that listing, or none
        QTest::addColumn<QString>("url");
        const auto row = [](const char *tag, const char *text, const char *entry, const char *url) {
            QTest::newRow(tag) << text << entry << url;
        };
        row("typed", "ftp://h:21/my dir/é 100%#?;.txt", "",
            "ftp://h:21/my%20dir/%C3%A9%20100%25%23%3F%3B.txt");
        row("encoded", "ftp://h/50%41%2fb;type=a", "", "ftp://h/50%41%2fb;type=a");
        row("name", "ftp://h/d/", "type=file;unique=1; é #?%", "ftp://h/d/%C3%A9%20%23%3F%25");
        row("listed without '/'", "ftp://h/pub", "type=dir;unique=1; pub", "ftp://h/pub/");
        row("host only", "ftp://h:21", "type=dir;unique=1; pub", "ftp://h:21/pub/");
    }
    void urlsAreEncodedOnce()
    {
        QFETCH(QString, text);
        QFETCH(QString, entry);
        QFETCH(QString, url);
        QCOMPARE(entry.isEmpty() ? FtpUrl::fromUserInput(text)
                                 : FtpUrl::entryUrl(text, FtpFileInfo(entry)),
            url);
    }

    void onlyTheLatestListingCounts()
    {
        FtpServer::Options options;
        options.proftpd = true;
        const auto server = FtpServer::started(options);
        const QDateTime changed(QDate(2024, 3, 31), QTime(2, 30), Qt::UTC); // sent in UTC
        QFile big(server ? server->path("root/two/b") : QString());
        QVERIFY(server && server->writeFile("one/a", "a") && server->writeFile("two/b", "bb")
            && big.open(QIODevice::Append) && big.resize(3221225474) // sparse, 3 GiB + 2
            && big.setFileTime(changed, QFileDevice::FileModificationTime));
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
        QCOMPARE(model.index(0).data(FtpDirectoryModel::ModifiedRole), changed);
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
