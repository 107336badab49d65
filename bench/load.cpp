// SPDX-License-Identifier: MIT
// Load: COUNT mixed requests (default 1000) queued at once on one FtpService against the test
// suite's servers on 127.0.0.1, one plain FTP and one FTPS (implicit TLS, peer verified):
// downloads into memory and into files of 0 B to 8 MiB, and listings. Every callback must come
// exactly once and in queue order, every byte must match by digest, no warning may be logged,
// each server must see one login (one cached handle per scheme and host serves every request,
// listings and downloads alike), and the process's threads and resident memory must be back
// near their level before the
// service once it is gone. A first round of 8 requests loads what libcurl and OpenSSL keep for
// the process, so that "before" means after it. Prints the figures; exits 1 if a check fails.
#include "ftpserver.h"
#include "testcertificates.h"

#include <zendra/ftpservice.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <malloc.h>

using zendra::FtpFileInfo;
using zendra::FtpService;

namespace {

std::atomic<int> warnings {0};

// The library's lines go nowhere but its warnings, of which none may come but the first
// import's of the CA file.
void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if ((type == QtWarningMsg || type == QtCriticalMsg)
        && message != ">> Certificate doesn't exist yet" && warnings++ < 5)
        std::fprintf(stderr, "warning: %s\n", qPrintable(message.left(200)));
}

int threadCount()
{
    return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Resident memory in MiB, after handing freed heap back to the system.
double residentMiB()
{
    malloc_trim(0);
    QFile statm("/proc/self/statm");
    statm.open(QIODevice::ReadOnly);
    return statm.readAll().split(' ').value(1).toLongLong() * 4096.0 / (1 << 20);
}

QByteArray digest(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

struct Round
{
    int failures = 0;
    int threadsDuring = 0;
    double memoryAtEnd = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    QStandardPaths::setTestModeEnabled(true);
    QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
    TestCertificates certificates;
    const auto plain = certificates.create() ? FtpServer::started() : nullptr;
    const auto tls = FtpServer::started(FtpServer::tlsOptions(
        FtpServer::Tls::Implicit, certificates.fullChainFile(), certificates.serverKeyFile()));
    QTemporaryDir local;
    if (!plain || !tls || !local.isValid())
        return 2;
    // The same files on both servers; only their digests stay in memory.
    const QList<qint64> sizes {0, 1, 1000, 4096, 65543, 1 << 20, (3 << 20) + 5, 8 << 20};
    QList<QByteArray> digests;
    QStringList listing;
    for (int i = 0; i < sizes.size(); ++i) {
        const QByteArray data = FtpServer::testData(sizes[i], quint32(i));
        const QString name = QStringLiteral("f%1.bin").arg(i);
        if (!plain->writeFile(name, data) || !tls->writeFile(name, data))
            return 2;
        digests << digest(data);
        listing << QStringLiteral("%1 %2").arg(name).arg(sizes[i]);
    }
    qInstallMessageHandler(handler);

    // Request i is a download into memory (i % 4 is 0 or 3), into a file (1) or a listing (2),
    // over FTPS when (i / 4) is odd.
    const auto run = [&](int requests) {
        Round round;
        int next = 0;
        const auto check = [&](int index, bool ok) {
            if (index != next || !ok) {
                std::fprintf(stderr, "request %d failed (%d expected next)\n", index, next);
                ++round.failures;
            }
            next = index + 1;
            round.threadsDuring = qMax(round.threadsDuring, threadCount());
            if (next == requests)
                QCoreApplication::quit();
        };
        FtpService service;
        plain->logIn(service);
        service.loadCertificate(certificates.rootCaFile(), true);
        for (int i = 0; i < requests; ++i) {
            const bool overTls = (i / 4) % 2;
            const int file = i % int(sizes.size());
            const QString url
                = (overTls ? tls : plain)
                      ->url(overTls ? "ftps" : "ftp", QStringLiteral("f%1.bin").arg(file));
            const QString path = local.filePath(QString::number(i));
            if (i % 4 == 1) {
                service.downloadFile(
                    url,
                    [&, i, file, path](const QByteArray &data) {
                        QFile written(path);
                        check(i,
                            data == path.toLatin1() && written.open(QIODevice::ReadOnly)
                                && digest(written.readAll()) == digests[file]);
                        written.remove();
                    },
                    path);
            } else if (i % 4 == 2) {
                service.listDirectory(
                    url.section('/', 0, -2) + '/',
                    [&, i](const QList<FtpFileInfo> &entries) {
                        QStringList names;
                        for (const FtpFileInfo &entry : entries)
                            names << QStringLiteral("%1 %2").arg(entry.name()).arg(entry.size());
                        names.sort();
                        check(i, names == listing);
                    },
                    FtpFileInfo::File);
            } else {
                service.downloadFile(url, [&, i, file](const QByteArray &data) {
                    check(i, digest(data) == digests[file] && service.lastResult().isSuccess());
                });
            }
        }
        QCoreApplication::exec();
        round.memoryAtEnd = residentMiB();
        round.failures += next == requests ? 0 : 1;
        return round;
    };
    const auto threadsBack = [](int threads) {
        // The worker and its thread go on the worker's own event loop.
        return QTest::qWaitFor([=] { return threadCount() <= threads; }, 10000);
    };
    const int threadsAtStart = threadCount();
    const Round warmUp = run(8);
    threadsBack(threadsAtStart);
    const int threadsBefore = threadCount();
    const double memoryBefore = residentMiB();
    const int loginsBefore = plain->count("LOGIN ") + tls->count("LOGIN ");
    QElapsedTimer clock;
    clock.start();
    const Round round = run(count);
    const qint64 elapsed = clock.elapsed();
    const bool threadsGone = threadsBack(threadsBefore);
    const int logins = plain->count("LOGIN ") + tls->count("LOGIN ") - loginsBefore;
    const double memoryAfter = residentMiB();
    const bool ok = warmUp.failures + round.failures == 0 && warnings == 0 && threadsGone
        && logins
            == (count > 4       ? 2
                    : count > 0 ? 1
                                : 0)
        && memoryAfter < memoryBefore + 8;
    std::printf(
        "%d requests in %.1f s; %d failed, %d warnings, %d logins; threads %d before, %d at most "
        "during, %d after; resident memory %.1f MiB before, %.1f MiB at the end, %.1f MiB "
        "after the service: %s\n",
        count, elapsed / 1000.0, round.failures, int(warnings), logins, threadsBefore,
        round.threadsDuring, threadCount(), memoryBefore, round.memoryAtEnd, memoryAfter,
        ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
