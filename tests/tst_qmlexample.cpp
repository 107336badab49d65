// SPDX-License-Identifier: MIT
// The QML example, examples/qml/Main.qml, listing a directory of the suite's FTP server.
#include "ftpserver.h"
#include <zendra/zendra.h>

#include <QQmlComponent>
#include <QQmlEngine>
#include <QtTest>

using zendra::FtpDirectoryModel;
using zendra::FtpFileInfo;

class TestQmlExample : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exampleListsTheDirectory_data();
    void exampleListsTheDirectory();
};

void TestQmlExample::exampleListsTheDirectory_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("rows"); // sorted: pyftpdlib lists in the file system's order
    QTest::addColumn<QString>("error");
    QTest::newRow("login accepted")
        << "secret" << QStringList {"a.bin 1000", "b.txt 3", "sub/"} << QString();
    QTest::newRow("login refused") << "wrong" << QStringList() << "Access denied: 530";
}

void TestQmlExample::exampleListsTheDirectory()
{
    QFETCH(QString, password);
    QFETCH(QStringList, rows);
    QFETCH(QString, error);
    auto server = FtpServer::started();
    QVERIFY(server && server->writeFile("pub/b.txt", "abc") && server->writeFile("pub/sub/c", "")
        && server->writeFile("pub/a.bin", QByteArray(1000, 'x')));
    QQmlEngine engine;
    engine.addImportPath(QStringLiteral(ZENDRA_QML_IMPORT_DIR));
    QQmlComponent component(&engine, QUrl::fromLocalFile(QStringLiteral(ZENDRA_EXAMPLE_QML)));
    std::unique_ptr<QObject> window(component.createWithInitialProperties(
        {{QStringLiteral("url"), server->url(QStringLiteral("ftp"), QStringLiteral("pub/"))}}));
    QVERIFY2(window, qPrintable(component.errorString()));
    Service<zendra::FtpService>::instance().setCredentials(
        server->user(), password, [](const QString &text) { return text; });
    auto *model = window->property("directory").value<FtpDirectoryModel *>();
    QVERIFY(model);
    QTRY_COMPARE_WITH_TIMEOUT(model->status(),
        error.isEmpty() ? FtpDirectoryModel::Ready : FtpDirectoryModel::Error, 20000);
    QCOMPARE(model->errorString(), error);
    QStringList seen;
    for (int row = 0; row < model->rowCount(); ++row) {
        const FtpFileInfo entry = model->entry(row);
        seen << (model->index(row).data(FtpDirectoryModel::IsDirRole).toBool()
                ? entry.name() + u'/'
                : QStringLiteral("%1 %2").arg(entry.name()).arg(entry.size()));
    }
    seen.sort();
    QCOMPARE(seen, rows);
}

QTEST_MAIN(TestQmlExample)
#include "tst_qmlexample.moc"
