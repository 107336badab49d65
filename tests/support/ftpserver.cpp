// SPDX-License-Identifier: MIT
#include "ftpserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>

#include <algorithm>

namespace {

const char pythonPath[] = "/usr/bin/python3";
const int stopTimeoutMs = 5000;

QString tlsArgument(FtpServer::Tls tls)
{
    switch (tls) {
    case FtpServer::Tls::Off:
        break;
    case FtpServer::Tls::Allowed:
        return QStringLiteral("allowed");
    case FtpServer::Tls::Required:
        return QStringLiteral("required");
    case FtpServer::Tls::Implicit:
        return QStringLiteral("implicit");
    }
    return QStringLiteral("off");
}

// proftpd.sh logs "<session pid> <command> <reply code> <protocol> <argument>" per command.
QList<FtpServer::Session> proftpdSessions(const QList<QByteArray> &lines)
{
    QList<FtpServer::Session> result;
    QHash<int, bool> dataProtected;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> items = lines.at(i).split(' ');
        const int id = items.at(0).toInt();
        auto session = std::find_if(result.begin(), result.end(),
            [id](const FtpServer::Session &candidate) { return candidate.id == id; });
        if (session == result.end()) {
            result.append(FtpServer::Session());
            session = result.end() - 1;
            session->id = id;
        }
        const QByteArray command = items.value(1);
        if (command == "EXIT") {
            session->closed = true;
            continue;
        }
        if (command == "PASS") {
            session->loggedIn = items.value(2) == "230";
            session->loginFailed = items.value(2) == "530";
            session->tls = items.value(3) == "ftps";
        }
        session->commands.append({QString::fromLatin1(command), dataProtected.value(id)});
        if (command == "PROT" && items.value(2) == "200")
            dataProtected.insert(id, items.value(4) == "P");
    }
    return result;
}

} // namespace

bool FtpServer::Session::hasCommand(const QString &name) const
{
    for (const Command &command : commands) {
        if (command.name == name)
            return true;
    }
    return false;
}

FtpServer::FtpServer() : FtpServer(Options()) { }

FtpServer::FtpServer(const Options &options) : m_options(options)
{
    // The server's stderr shows in the test log; its stdout only carries the port.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

FtpServer::~FtpServer()
{
    stop();
}

FtpServer::Options FtpServer::tlsOptions(Tls tls, const QString &chainFile, const QString &keyFile)
{
    Options options;
    options.tls = tls;
    options.certificateChainFile = chainFile;
    options.keyFile = keyFile;
    return options;
}

std::unique_ptr<FtpServer> FtpServer::started(const Options &options)
{
    auto server = std::make_unique<FtpServer>(options);
    if (!server->start()) {
        qWarning("FTP server: %s", qPrintable(server->errorString()));
        return nullptr;
    }
    return server;
}

std::unique_ptr<FtpServer> FtpServer::started()
{
    return started(Options());
}

bool FtpServer::start(int timeoutMs)
{
    if (isRunning())
        return true;
    if (!m_directory.isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_directory.errorString());
        return false;
    }
    if (!QDir().mkpath(rootPath())) {
        m_error = QStringLiteral("cannot create %1").arg(rootPath());
        return false;
    }

    // Run as root, proftpd's sessions are nobody's and have to pass through to the root.
    QFile::setPermissions(
        m_directory.path(), QFile::permissions(m_directory.path()) | QFileDevice::ExeOther);
    QString program = QStringLiteral("/bin/bash");
    QStringList arguments {QStringLiteral(ZENDRA_TEST_SOURCE_DIR "/support/proftpd.sh"),
        m_directory.path(), rootPath(), m_options.user, m_options.password,
        tlsArgument(m_options.tls), m_options.certificateChainFile, m_options.keyFile,
        QString::number(m_options.rateKiB)};
    if (m_options.backend == Backend::Pyftpdlib) {
        program = QString::fromLatin1(pythonPath);
        arguments = QStringList {QStringLiteral(ZENDRA_TEST_SOURCE_DIR "/support/ftpserver.py"),
            QStringLiteral("--user"), m_options.user, QStringLiteral("--password"),
            m_options.password, QStringLiteral("--home"), rootPath(), QStringLiteral("--stats"),
            m_directory.filePath(QStringLiteral("stats.log")), QStringLiteral("--tls"),
            tlsArgument(m_options.tls)};
        if (m_options.tls != Tls::Off) {
            arguments << QStringLiteral("--cert") << m_options.certificateChainFile
                      << QStringLiteral("--key") << m_options.keyFile;
        }
        if (m_options.dropDataAfter >= 0)
            arguments << QStringLiteral("--drop-after") << QString::number(m_options.dropDataAfter);
    }

    m_process.start(program, arguments);
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(program, m_process.errorString());
        return false;
    }

    const QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine()) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired()
            || !m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (m_process.canReadLine())
                break;
            m_error = QStringLiteral("the server did not report its port");
            stop();
            return false;
        }
    }
    const QByteArray line = m_process.readLine().trimmed();
    bool ok = false;
    if (line.startsWith("PORT "))
        m_port = quint16(line.mid(5).toUInt(&ok));
    if (!ok || m_port == 0) {
        m_error = QStringLiteral("unexpected server output: %1").arg(QString::fromLatin1(line));
        stop();
        return false;
    }
    return true;
}

void FtpServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // Signals go to our own child's pid only.
    m_process.terminate();
    if (!m_process.waitForFinished(stopTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(stopTimeoutMs);
    }
}

bool FtpServer::isRunning() const
{
    return m_process.state() == QProcess::Running && m_port != 0;
}

QString FtpServer::errorString() const
{
    return m_error;
}

quint16 FtpServer::port() const
{
    return m_port;
}

QString FtpServer::user() const
{
    return m_options.user;
}

QString FtpServer::password() const
{
    return m_options.password;
}

QString FtpServer::url(const QString &scheme, const QString &path, const QString &host) const
{
    const QString absolute = path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path;
    return QStringLiteral("%1://%2:%3%4").arg(scheme, host, QString::number(m_port), absolute);
}

QString FtpServer::rootPath() const
{
    return m_directory.filePath(QStringLiteral("root"));
}

QString FtpServer::localPath(const QString &relativePath) const
{
    return QDir(rootPath()).filePath(relativePath);
}

bool FtpServer::writeFile(const QString &relativePath, const QByteArray &content)
{
    const QString target = localPath(relativePath);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return false;
    QFile file(target);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool FtpServer::makeDirectory(const QString &relativePath)
{
    return QDir().mkpath(localPath(relativePath));
}

QByteArray FtpServer::testData(qint64 size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    const qint64 words = size / qint64(sizeof(quint32));
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), words);
    for (qint64 i = words * qint64(sizeof(quint32)); i < size; ++i)
        data[i] = char(generator.generate());
    return data;
}

QList<FtpServer::Session> FtpServer::sessions() const
{
    QList<Session> result;
    const bool proftpd = m_options.backend == Backend::Proftpd;
    QFile file(m_directory.filePath(
        proftpd ? QStringLiteral("commands.log") : QStringLiteral("stats.log")));
    if (!file.open(QIODevice::ReadOnly))
        return result;
    const auto session = [&result](int id) -> Session * {
        for (Session &candidate : result) {
            if (candidate.id == id)
                return &candidate;
        }
        return nullptr;
    };
    // Only whole lines: the server may be writing the next one right now.
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (proftpd)
        return proftpdSessions(lines);
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> items = lines.at(i).split(' ');
        if (items.size() < 2)
            continue;
        const QByteArray &event = items.at(0);
        const int id = items.at(1).toInt();
        if (event == "CONNECT") {
            Session added;
            added.id = id;
            result.append(added);
            continue;
        }
        Session *target = session(id);
        if (!target)
            continue;
        if (event == "LOGIN") {
            target->loggedIn = true;
            target->tls = items.value(2) == "1";
        } else if (event == "LOGIN_FAILED") {
            target->loginFailed = true;
        } else if (event == "COMMAND") {
            target->commands.append({QString::fromLatin1(items.value(2)), items.value(3) == "1"});
        } else if (event == "CLOSE") {
            target->closed = true;
        }
    }
    return result;
}

int FtpServer::connectionCount() const
{
    return int(sessions().size());
}

int FtpServer::loginCount() const
{
    int count = 0;
    for (const Session &session : sessions())
        count += session.loggedIn ? 1 : 0;
    return count;
}

int FtpServer::tlsLoginCount() const
{
    int count = 0;
    for (const Session &session : sessions())
        count += session.loggedIn && session.tls ? 1 : 0;
    return count;
}

int FtpServer::closedCount() const
{
    int count = 0;
    for (const Session &session : sessions())
        count += session.closed ? 1 : 0;
    return count;
}

int FtpServer::commandCount(const QString &name) const
{
    int count = 0;
    for (const Session &session : sessions()) {
        for (const Command &command : session.commands)
            count += command.name == name ? 1 : 0;
    }
    return count;
}
