// SPDX-License-Identifier: MIT
// FtpDirectoryModel's answer path on a listing recorded from proftpd, which sends cdir and pdir.
#include "ftpdirectorymodel_p.h"
#include "mlsdlisting_p.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>

using namespace zendra;

class TestFtpDirectoryModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void latestAnswerGivesRowsInTheServersOrder_data();
    void latestAnswerGivesRowsInTheServersOrder();
};

void TestFtpDirectoryModel::latestAnswerGivesRowsInTheServersOrder_data()
{
    QTest::addColumn<FtpDirectoryModel::FileType>("type");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("all but cdir and pdir")
        << FtpDirectoryModel::All
        << QStringList {"résumé final.txt 12", "notes.txt 1024", "archive 0"};
    QTest::newRow("cdir asked for") << FtpDirectoryModel::CurrentDir << QStringList {". 0"};
}

void TestFtpDirectoryModel::latestAnswerGivesRowsInTheServersOrder()
{
    QFETCH(FtpDirectoryModel::FileType, type);
    QFETCH(QStringList, rows);
    QFile file(QStringLiteral(ZENDRA_TEST_DATA_DIR "/mlsd-proftpd.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const auto entries = parseMlsdListing(file.readAll(), FtpFileInfo::FileType(type));
    const FtpResult success(QString(), 0, QString(), 1);
    FtpDirectoryModel model;
    model.setFileType(type);
    const quint64 stale = FtpDirectoryModelPrivate::latestRequest(&model);
    model.setUrl(QStringLiteral("ftp://127.0.0.1/"));
    model.reload(); // this process has no FtpService
    QCOMPARE(model.status(), FtpDirectoryModel::Error);
    QVERIFY(model.errorString().startsWith(QStringLiteral("No FtpService exists")));
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    FtpDirectoryModelPrivate::answer(&model, stale, entries, success);
    FtpDirectoryModelPrivate::answer(
        &model, FtpDirectoryModelPrivate::latestRequest(&model), entries, success);
    QCOMPARE(resets.count(), 1);
    QStringList seen;
    for (int row = 0; row < model.rowCount(); ++row)
        seen << model.index(row).data().toString() + u' '
                + model.index(row).data(FtpDirectoryModel::SizeRole).toString();
    QCOMPARE(seen, rows);
}

QTEST_GUILESS_MAIN(TestFtpDirectoryModel)
#include "tst_ftpdirectorymodel.moc"
