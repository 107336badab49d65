// SPDX-License-Identifier: MIT
// Host of the QML example: credentials from ZENDRA_USER and ZENDRA_PASSWORD for the window's
// FtpService, the directory from the command line or ZENDRA_URL; --screenshot renders offscreen,
// saves the window and quits (with --upload, after that file went into the directory; with
// --download, once that file is 40 % downloaded).
#include <zendra/zendra.h>

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

int main(int argc, char **argv)
{
    // The platform is chosen when the application is built, before options are parsed.
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--screenshot") == 0 && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Lists a remote directory with zendra in QML."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("url"), QStringLiteral("Directory to list."));
    const QCommandLineOption screenshotOption(QStringLiteral("screenshot"),
        QStringLiteral("Save the window to <file> once the listing has ended, then quit."),
        QStringLiteral("file"));
    parser.addOption(screenshotOption);
    const QCommandLineOption downloadDirectoryOption(QStringLiteral("download-dir"),
        QStringLiteral("Directory that clicked files are downloaded into (default: the current "
                       "one)."),
        QStringLiteral("directory"), QDir::currentPath());
    parser.addOption(downloadDirectoryOption);
    const QCommandLineOption downloadOption(QStringLiteral("download"),
        QStringLiteral("With --screenshot: download <file> of the directory and save the window "
                       "mid-download."),
        QStringLiteral("file"));
    parser.addOption(downloadOption);
    const QCommandLineOption uploadOption(QStringLiteral("upload"),
        QStringLiteral("With --screenshot: first upload the local <file> into the directory."),
        QStringLiteral("file"));
    parser.addOption(uploadOption);
    parser.process(app);
    const QString url = parser.positionalArguments().value(0, qEnvironmentVariable("ZENDRA_URL"));
    const QString screenshot = parser.value(screenshotOption);
    if (!screenshot.isEmpty()) {
        if (url.isEmpty())
            parser.showHelp(2);
        // The software renderer draws without a GPU or a display.
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    }

    QQmlApplicationEngine engine;
    // Installed, the QML module is beside the program (<prefix>/bin, <prefix>/lib/qml); in the
    // build tree it is in the build directory.
    const QString installedImports
        = QDir(QCoreApplication::applicationDirPath())
              .absoluteFilePath(QStringLiteral(ZENDRA_QML_INSTALLED_DIR));
    engine.addImportPath(QFileInfo::exists(installedImports + QStringLiteral("/zendra/qmldir"))
            ? installedImports
            : QStringLiteral(ZENDRA_QML_IMPORT_DIR));
    engine.setInitialProperties({{QStringLiteral("url"), url},
        {QStringLiteral("downloadDirectory"),
            QDir(parser.value(downloadDirectoryOption)).absolutePath()},
        {QStringLiteral("user"), qEnvironmentVariable("ZENDRA_USER")},
        {QStringLiteral("password"), qEnvironmentVariable("ZENDRA_PASSWORD")}});
    engine.load(QUrl(QStringLiteral("qrc:/Main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    if (screenshot.isEmpty())
        return app.exec();

    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    auto *directory = window->property("directory").value<zendra::FtpDirectoryModel *>();
    auto *download = window->property("download").value<zendra::FtpDownload *>();
    auto *upload = window->property("upload").value<zendra::FtpUpload *>();
    const QString downloadName = parser.value(downloadOption);
    const QString uploadFile = parser.value(uploadOption);
    QObject::connect(directory, &zendra::FtpDirectoryModel::statusChanged, &app, [&] {
        const auto status = directory->status();
        // The window lists the directory again once the upload has finished.
        if (status == zendra::FtpDirectoryModel::Ready && !uploadFile.isEmpty()
            && upload->status() == zendra::FtpUpload::Null) {
            upload->setUrl(url + QFileInfo(uploadFile).fileName());
            upload->setLocalFile(uploadFile);
            window->findChild<QObject *>(QStringLiteral("localFile"))
                ->setProperty("text", uploadFile);
            upload->start();
        } else if (status == zendra::FtpDirectoryModel::Ready && !downloadName.isEmpty()) {
            download->setUrl(url + downloadName);
            download->setLocalFile(
                window->property("downloadDirectory").toString() + u'/' + downloadName);
            download->start();
        } else if (status == zendra::FtpDirectoryModel::Ready
            || status == zendra::FtpDirectoryModel::Error) {
            app.exit(
                window->grabWindow().save(screenshot) && status == zendra::FtpDirectoryModel::Ready
                    ? 0
                    : 1);
        }
    });
    QObject::connect(download, &zendra::FtpDownload::progressChanged, &app, [&] {
        if (download->progress() >= 0.4 && download->status() == zendra::FtpDownload::Downloading)
            app.exit(window->grabWindow().save(screenshot) ? 0 : 1);
    });
    // Nothing times out a silent server, so the screenshot gives up on its own.
    QTimer::singleShot(30000, &app, [&app] { app.exit(3); });
    return app.exec();
}
