// SPDX-License-Identifier: MIT
// Starts and stops the suites' FTP/FTPS server and reads what it logged.
#include "ftpserver.h"

#include <QDir>
#include <QRandomGenerator>

#include <algorithm>
#include <signal.h>

std::unique_ptr<FtpServer> FtpServer::started(const Options &options)
{
    static const char *const modes[] = {"off", "allowed", "required", "implicit"};
    std::unique_ptr<FtpServer> server(new FtpServer);
    const QString home = server->m_directory.filePath("root");
    QStringList arguments {ZENDRA_TEST_SOURCE_DIR "/support/ftpserver.py", "--user", server->user(),
        "--password", server->password(), "--home", home, "--events",
        server->m_directory.filePath("events"), "--tls", modes[int(options.tls)], "--cert",
        options.certificateChainFile, "--key", options.keyFile, "--drop-after",
        QString::number(options.dropDataAfter), "--stall-after",
        QString::number(options.stallDataAfter)};
    QProcess &process = server->m_process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (QDir().mkpath(home)) {
        process.start("/usr/bin/python3", arguments);
        while (!process.canReadLine() && process.waitForReadyRead(20000)) { }
    }
    const QByteArray line = process.readLine();
    server->m_port = line.startsWith("PORT ") ? line.mid(5).trimmed().toUShort() : 0;
    if (server->m_port)
        return server;
    qWarning(
        "FTP server did not start: %s %s", line.constData(), qPrintable(process.errorString()));
    return nullptr;
}

void FtpServer::stop()
{
    m_process.terminate();
    m_process.waitForFinished(5000);
}

void FtpServer::kill()
{
    ::kill(pid_t(m_process.processId()), SIGKILL);
    m_process.waitForFinished(5000);
}

QString FtpServer::url(const QString &scheme, const QString &path, const QString &host) const
{
    return QStringLiteral("%1://%2:%3/%4").arg(scheme, host).arg(m_port).arg(path);
}

bool FtpServer::writeFile(const QString &path, const QByteArray &content)
{
    QFile file(m_directory.filePath("root/" + path));
    return QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly)
        && file.write(content) == content.size();
}

QByteArray FtpServer::testData(qint64 size, quint32 seed)
{
    QByteArray data(size + 4, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    return data.left(size);
}

QStringList FtpServer::events() const
{
    QFile file(m_directory.filePath("events"));
    file.open(QIODevice::ReadOnly);
    // Whole lines only: the server may be writing the next one.
    QStringList lines = QString::fromLatin1(file.readAll()).split('\n');
    lines.removeLast();
    return lines;
}

int FtpServer::count(const QString &prefix) const
{
    const QStringList lines = events();
    return int(std::count_if(
        lines.begin(), lines.end(), [&](const QString &line) { return line.startsWith(prefix); }));
}
