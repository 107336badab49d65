// SPDX-License-Identifier: MIT
// Certificate update: the time from ">> Update FTP certificate" to ">> Certificate correctly
// updated" (the store's whole step), ROUNDS times (default 9), side by side: a recovery against
// an FTPS server on 127.0.0.1 whose chain ends with its root (the step as it runs now, after the
// worker's own check of the chain), and the same chain handed straight to the store's slot, which
// then checks it inline, as every update did before. Also counts the attempts each recovery
// took: a recovery that keeps pace with the 500 ms repetition takes two. Prints medians in ms.
#include "ftpserver.h"
#include "testcertificates.h"

#include <zendra/certificateinfo.h>
#include <zendra/ftpservice.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>
#include <cstdio>

using zendra::CertificateInfo;
using zendra::FtpService;

namespace {

QElapsedTimer stepClock;
qint64 updateStarted = -1;
QList<double> *steps = nullptr;

void handler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message == ">> Update FTP certificate")
        updateStarted = stepClock.nsecsElapsed();
    else if (message == ">> Certificate correctly updated" && steps && updateStarted >= 0)
        *steps << (stepClock.nsecsElapsed() - updateStarted) / 1e6;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values.at(values.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const int rounds = argc > 1 ? QByteArray(argv[1]).toInt() : 9;
    TestCertificates certificates;
    if (!certificates.create())
        return 1;
    const auto server = FtpServer::started(FtpServer::tlsOptions(
        FtpServer::Tls::Required, certificates.fullChainFile(), certificates.serverKeyFile()));
    if (!server || !server->writeFile("a", "a"))
        return 1;
    const QString directory
        = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/certificates";
    QList<CertificateInfo> chain;
    for (const QSslCertificate &certificate :
        QSslCertificate::fromPath(certificates.fullChainFile())) {
        QStringList lines {"Cert:" + QString::fromLatin1(certificate.toPem())};
        chain << CertificateInfo(lines);
    }
    stepClock.start();
    qInstallMessageHandler(handler);
    QList<double> now;
    QList<double> inline_;
    QList<int> attempts;
    for (int round = 0; round < rounds; ++round) {
        QDir(directory).removeRecursively();
        QDir().mkpath(directory);
        FtpService service;
        server->logIn(service);
        steps = &now;
        bool done = false;
        service.downloadFile(server->url("ftp", "a"), [&](const QByteArray &) {
            attempts << service.lastResult().attempts();
            done = true;
        });
        if (!QTest::qWaitFor([&] { return done; }, 60000))
            return 1;
        steps = &inline_;
        QMetaObject::invokeMethod(&service, "updateCertificate", Qt::DirectConnection,
            Q_ARG(QList<CertificateInfo>, chain));
        steps = nullptr;
    }
    qInstallMessageHandler(nullptr);
    std::printf("update step, chain checked by the worker (now): median %.1f ms of %lld\n",
        median(now), qlonglong(now.size()));
    std::printf("update step, chain checked inline (before):     median %.1f ms of %lld\n",
        median(inline_), qlonglong(inline_.size()));
    QStringList counts;
    for (int count : std::as_const(attempts))
        counts << QString::number(count);
    std::printf("attempts per recovery: %s\n", qPrintable(counts.join(' ')));
    return now.size() == rounds && inline_.size() == rounds ? 0 : 1;
}
