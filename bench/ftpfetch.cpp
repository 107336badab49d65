// SPDX-License-Identifier: MIT
// Fetches every URL given through one FtpService, all queued at once, and keeps the bytes in
// memory (a URL that ends with '/' is listed instead); the zendra side of bench/transfer.sh and
// bench/smallfiles.sh. Exits 0 when every file arrived non-empty and every listing had entries.
// With --timings it prints, one line per file, the milliseconds since the previous file ended
// (requests run one at a time, so that is the file's own time; the first includes the login).
// --first-into FILE writes the first URL into FILE instead (/dev/null, as curl -o does), and
// --stalls reports the longest gap between the ticks of a 1 ms timer on the host's thread.
// --progress sets a progress handler that counts its calls; --cancel-after MS cancels everything
// MS milliseconds after the first bytes arrived and reports how long the first callback took.
// --require-verified turns the verified-peer policy on; --trust-root FP pins the root of that
// SHA-256 fingerprint to the first URL's server (bench/pincheck.sh).
#include "benchclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    const QString caFile = takeValue(args, QStringLiteral("--ca"));
    const bool insecure = args.removeAll(QStringLiteral("--insecure")) > 0;
    const bool noSsl = args.removeAll(QStringLiteral("--no-ssl")) > 0;
    const bool timings = args.removeAll(QStringLiteral("--timings")) > 0;
    const bool stalls = args.removeAll(QStringLiteral("--stalls")) > 0;
    const bool progress = args.removeAll(QStringLiteral("--progress")) > 0;
    const bool requireVerified = args.removeAll(QStringLiteral("--require-verified")) > 0;
    const QString trustRoot = takeValue(args, QStringLiteral("--trust-root"));
    const QString cancelValue = takeValue(args, QStringLiteral("--cancel-after"));
    const int cancelAfter = cancelValue.isEmpty() ? -1 : cancelValue.toInt();
    const QString firstInto = takeValue(args, QStringLiteral("--first-into"));
    const QStringList urls = args;
    if (urls.isEmpty() || urls.first().startsWith(QLatin1Char('-'))) {
        std::fputs("usage: ftpfetch [--ca FILE] [--insecure] [--no-ssl] [--timings] [--stalls]\n"
                   "                [--first-into FILE] [--progress] [--cancel-after MS]\n"
                   "                [--require-verified] [--trust-root SHA256:...] URL...\n"
                   "credentials from ZENDRA_USER and ZENDRA_PASSWORD\n",
            stderr);
        return 2;
    }

    zendra::FtpService service;
    service.setVerifyPeer(!insecure);
    service.setVerifyHost(!insecure);
    service.setActivateSsl(!noSsl);
    service.setRequireVerifiedPeer(requireVerified);
    if (!trustRoot.isEmpty() && !service.pinRoot(urls.first(), trustRoot)) {
        std::fprintf(stderr, "ftpfetch: cannot pin %s\n", qPrintable(trustRoot));
        return 2;
    }
    if (!logIn(service, caFile, "ftpfetch"))
        return 2;

    QElapsedTimer clock;
    qint64 progressCalls = 0;
    qint64 cancelledAt = -1;
    if (progress || cancelAfter >= 0) {
        service.setProgressHandler([&](const QString &, qint64 received, qint64) {
            ++progressCalls;
            if (cancelAfter >= 0 && received > 0 && cancelledAt < 0) {
                cancelledAt = 0;
                QTimer::singleShot(cancelAfter, [&] {
                    cancelledAt = clock.nsecsElapsed();
                    service.cancelAll();
                });
            }
        });
    }
    qsizetype remaining = urls.size();
    qsizetype empty = 0;
    qint64 bytes = 0;
    QList<qint64> ends;
    ends.reserve(urls.size());
    clock.start();
    // @p kept bytes in memory; @p none when nothing arrived.
    const auto arrived = [&](qint64 kept, bool none) {
        ends.append(clock.nsecsElapsed());
        bytes += kept;
        empty += none || service.lastResult().isCancelled() ? 1 : 0;
        if (--remaining == 0)
            QCoreApplication::exit(empty == 0 ? 0 : 1);
    };
    for (const QString &url : urls) {
        const QString file = url == urls.first() ? firstInto : QString();
        if (url.endsWith(QLatin1Char('/'))) {
            service.listDirectory(url,
                [&](const QList<zendra::FtpFileInfo> &entries) { arrived(0, entries.isEmpty()); });
        } else {
            service.downloadFile(
                url,
                [&, file](const QByteArray &data) {
                    arrived(file.isEmpty() ? data.size() : 0, data.isEmpty());
                },
                file);
        }
    }
    QTimer ticker;
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    if (stalls) {
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longestGap = qMax(longestGap, now - lastTick);
            lastTick = now;
        });
        ticker.start(1);
    }
    const int status = QCoreApplication::exec();
    if (timings) {
        qint64 previous = 0;
        for (const qint64 end : ends) {
            std::printf("%.3f\n", double(end - previous) / 1e6);
            previous = end;
        }
    }
    if (stalls)
        std::fprintf(stderr, "ftpfetch: longest stall %.3f ms\n", double(longestGap) / 1e6);
    if (progress)
        std::fprintf(
            stderr, "ftpfetch: %lld progress calls\n", static_cast<long long>(progressCalls));
    if (cancelledAt > 0 && !ends.isEmpty()) {
        std::printf("cancel latency %.3f ms\n", double(ends.first() - cancelledAt) / 1e6);
        return 0;
    }
    std::fprintf(stderr, "ftpfetch: %lld files, %lld bytes, %lld empty\n",
        static_cast<long long>(urls.size()), static_cast<long long>(bytes),
        static_cast<long long>(empty));
    return status;
}
