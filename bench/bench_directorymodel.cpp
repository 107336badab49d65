// SPDX-License-Identifier: MIT
// A 100,000-entry listing reaching a ListView through FtpDirectoryModel's answer path (one model
// reset), beside a reference model that inserts the same entries one row at a time. Times the
// hand-over and the first frame with rows, and data() for the first page, as medians.
#include "ftpdirectorymodel_p.h"
#include "mlsdlisting_p.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

using namespace zendra;

namespace {

// The reference: the same rows and roles, each entry appended with its own insertion.
class InsertingModel : public QAbstractListModel
{
public:
    void append(const QList<FtpFileInfo> &entries)
    {
        for (const FtpFileInfo &entry : entries) {
            beginInsertRows(QModelIndex(), int(m_entries.size()), int(m_entries.size()));
            m_entries.append(entry);
            endInsertRows();
        }
    }
    int rowCount(const QModelIndex &parent) const override
    {
        return parent.isValid() ? 0 : int(m_entries.size());
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        const FtpFileInfo &entry = m_entries.at(index.row());
        switch (role) {
        case FtpDirectoryModel::NameRole:
            return entry.name();
        case FtpDirectoryModel::SizeRole:
            return entry.size();
        case FtpDirectoryModel::ModifiedRole:
            return entry.modificationDate();
        case FtpDirectoryModel::IsDirRole:
            return entry.type() == FtpFileInfo::Dir;
        default:
            return QVariant();
        }
    }
    QHash<int, QByteArray> roleNames() const override { return FtpDirectoryModel().roleNames(); }

private:
    QList<FtpFileInfo> m_entries;
};

// The delegate of the QML example, without the Controls style.
const char listQml[] = R"(
import QtQuick
ListView {
    width: 640
    height: 480
    delegate: Row {
        spacing: 8
        Text { width: 300; text: (isDir ? "> " : "  ") + name; elide: Text.ElideRight }
        Text { width: 100; text: isDir ? "" : size.toLocaleString(Qt.locale(), "f", 0) + " B" }
        Text { text: Qt.formatDateTime(modified, "yyyy-MM-dd hh:mm") }
    }
}
)";

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

struct Times
{
    QList<double> handOver;
    QList<double> firstFrame;
    QList<double> firstPageData;
};

// One run: a fresh model under the view, the listing handed over, then the first frame.
void run(QQuickWindow &window, QQuickItem *view, QAbstractItemModel *model,
    const std::function<void()> &handOver, Times &times)
{
    view->setProperty("model", QVariant::fromValue<QObject *>(model));
    window.grabWindow(); // the empty list is on screen, as when the url was set
    QElapsedTimer timer;
    timer.start();
    handOver();
    times.handOver.append(milliseconds(timer));
    timer.restart();
    const QImage frame = window.grabWindow();
    times.firstFrame.append(milliseconds(timer));
    if (frame.isNull() || model->rowCount() != 100000)
        qFatal("no frame or not 100,000 rows");

    timer.restart();
    const QList<int> roles = model->roleNames().keys();
    int cells = 0;
    for (int row = 0; row < 50; ++row) {
        for (int role : roles)
            cells += model->index(row, 0).data(role).isValid();
    }
    times.firstPageData.append(milliseconds(timer));
    if (cells == 0)
        qFatal("no data in the first page");
    view->setProperty("model", QVariant());
}

void report(const char *name, const Times &times)
{
    if (times.handOver.isEmpty())
        return;
    std::printf("%-44s %10.1f ms %10.1f ms %10.3f ms   (%lld runs)\n", name, median(times.handOver),
        median(times.firstFrame), median(times.firstPageData), qlonglong(times.handOver.size()));
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 7;
    const int referenceRuns = argc > 2 ? QByteArray(argv[2]).toInt() : 3;

    QFile file(QStringLiteral(ZENDRA_LISTING_REPLY));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", ZENDRA_LISTING_REPLY);
    const QList<FtpFileInfo> entries = parseMlsdListing(file.readAll(), FtpFileInfo::All);
    const FtpResult success(QStringLiteral("ftp://127.0.0.1/big/"), 0, QString(), 1);

    QQuickWindow window;
    window.resize(640, 480);
    window.show();
    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData(listQml, QUrl());
    std::unique_ptr<QQuickItem> view(qobject_cast<QQuickItem *>(component.create()));
    if (!view)
        qFatal("%s", qPrintable(component.errorString()));
    view->setParentItem(window.contentItem());

    Times model;
    Times reference;
    QList<double> modelAlone;
    QList<double> referenceAlone;
    // Interleaved, so that load changes on the machine touch both sides alike.
    for (int i = 0; i < std::max(runs, referenceRuns); ++i) {
        if (i < runs) {
            FtpDirectoryModel directory;
            run(
                window, view.get(), &directory,
                [&] {
                    FtpDirectoryModelPrivate::answer(&directory,
                        FtpDirectoryModelPrivate::latestRequest(&directory), entries, success);
                },
                model);
            FtpDirectoryModel alone;
            QElapsedTimer timer;
            timer.start();
            FtpDirectoryModelPrivate::answer(
                &alone, FtpDirectoryModelPrivate::latestRequest(&alone), entries, success);
            modelAlone.append(milliseconds(timer));
        }
        if (i < referenceRuns) {
            InsertingModel inserting;
            run(
                window, view.get(), &inserting, [&] { inserting.append(entries); }, reference);
            InsertingModel alone;
            QElapsedTimer timer;
            timer.start();
            alone.append(entries);
            referenceAlone.append(milliseconds(timer));
        }
    }
    std::printf("%lld entries from %s\n", qlonglong(entries.size()), ZENDRA_LISTING_REPLY);
    std::printf("%-44s %13s %13s %13s\n", "", "hand-over", "first frame", "first page");
    report("FtpDirectoryModel, one reset", model);
    report("reference, one insertion per entry", reference);
    std::printf("without a view: one reset %.3f ms, one insertion per entry %.1f ms\n",
        median(modelAlone), median(referenceAlone));
    return 0;
}
