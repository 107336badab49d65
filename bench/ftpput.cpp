// SPDX-License-Identifier: MIT
// Uploads every local file given into one remote folder through one FtpService, all queued at
// once; the zendra side of bench/upload.sh. Exits 0 when every upload succeeded.
// --in-place writes the files directly instead of through a temporary name and a rename.
#include "benchclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    const QString caFile = takeValue(args, QStringLiteral("--ca"));
    const bool noSsl = args.removeAll(QStringLiteral("--no-ssl")) > 0;
    const bool inPlace = args.removeAll(QStringLiteral("--in-place")) > 0;
    if (args.size() < 2 || !args.first().endsWith(QLatin1Char('/'))) {
        std::fputs("usage: ftpput [--ca FILE] [--no-ssl] [--in-place] FOLDER-URL/ FILE...\n"
                   "credentials from ZENDRA_USER and ZENDRA_PASSWORD\n",
            stderr);
        return 2;
    }
    const QString folder = args.takeFirst();

    zendra::FtpService service;
    service.setActivateSsl(!noSsl);
    if (!logIn(service, caFile, "ftpput"))
        return 2;
    QElapsedTimer clock;
    clock.start();
    qsizetype remaining = args.size();
    qsizetype failed = 0;
    for (const QString &file : std::as_const(args)) {
        const QString url
            = folder + QString::fromLatin1(QUrl::toPercentEncoding(QFileInfo(file).fileName()));
        service.uploadFile(
            file, url,
            [&](const zendra::FtpResult &result) {
                if (!result.isSuccess()) {
                    ++failed;
                    std::fprintf(stderr, "ftpput: %s: %d %s\n", qPrintable(result.url()),
                        result.code(), qPrintable(result.errorString()));
                }
                if (--remaining == 0)
                    QCoreApplication::exit(failed == 0 ? 0 : 1);
            },
            inPlace ? zendra::FtpService::InPlace : zendra::FtpService::DefaultTransfer);
    }
    const int status = QCoreApplication::exec();
    std::fprintf(stderr, "ftpput: %lld files in %.3f ms, %lld failed\n",
        static_cast<long long>(args.size()), double(clock.nsecsElapsed()) / 1e6,
        static_cast<long long>(failed));
    return status;
}
