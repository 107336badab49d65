// SPDX-License-Identifier: MIT
// The suites' FTP/FTPS server on 127.0.0.1, support/ftpserver.py (pyftpdlib) or one of the
// scripts of ftpd.sh (proftpd.sh, vsftpd.sh, pureftpd.sh), serving a fresh directory to one user,
// stopped by its own pid when the object goes.
#ifndef ZENDRA_TESTS_FTPSERVER_H
#define ZENDRA_TESTS_FTPSERVER_H

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <memory>
#include <signal.h>

class FtpServer
{
public:
    enum class Tls { Off, Allowed, Required, Implicit };
    struct Options
    {
        Tls tls = Tls::Off;
        QString certificateChainFile; // the server's certificate first, then its chain
        QString keyFile;
        qint64 dropDataAfter = -1; // data connections are closed after this many bytes
        qint64 stallDataAfter = -1; // data connections fall silent after this many bytes
        qint64 rate = -1; // bytes a second on data connections
        bool proftpd = false; // instead of pyftpdlib: no implicit TLS, drop, stall or CMD
        QString daemon = {}; // "proftpd", "vsftpd" or "pureftpd" instead of pyftpdlib, as proftpd
        bool anonymous = false; // "anonymous" logs in too, with any password (pyftpdlib)
        bool refuseDataProtection = false; // PROT answered with 534: data in clear after TLS
        QString proftpdConfig = {}; // lines added to its configuration
        // With relayFaultAfter >= 0, url() leads through support/ftprelay.py, which cuts (or
        // stalls) the first relayFaults data connections after that many bytes; with relayMute,
        // through one that holds back a control connection's replies once it sent that command.
        qint64 relayFaultAfter = -1;
        int relayFaults = 1;
        bool relayStalls = false;
        QString relayMute = {};
    };
    static Options tlsOptions(Tls tls, const QString &chainFile, const QString &keyFile)
    {
        return {tls, chainFile, keyFile};
    }
    // A listening server, or null after a warning that says why.
    static std::unique_ptr<FtpServer> started(const Options &options)
    {
        std::unique_ptr<FtpServer> server(new FtpServer);
        QProcess &process = server->m_process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QString tls
            = QStringList {"off", "allowed", "required", "implicit"}.at(int(options.tls));
        // Run as root, proftpd's sessions are nobody's and have to pass through to the root.
        QFile::setPermissions(
            server->path("."), QFile::permissions(server->path(".")) | QFile::ExeOther);
        const QString daemon = options.proftpd ? QStringLiteral("proftpd") : options.daemon;
        unavailable().clear();
        if (QDir().mkpath(server->path("root")) && !daemon.isEmpty()) {
            // Its sessions may run as another user, who writes there.
            QFile::setPermissions(server->path("root"), QFileDevice::Permissions(0x7777));
            if (daemon == QLatin1String("proftpd")) {
                QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
                environment.insert("PROFTPD_CONFIG", options.proftpdConfig);
                process.setProcessEnvironment(environment);
            }
            process.start("bash",
                {ZENDRA_TEST_SOURCE_DIR "/support/" + daemon + ".sh", server->path("."),
                    server->path("root"), server->user(), server->password(), tls,
                    options.certificateChainFile, options.keyFile, QString::number(options.rate)});
        } else if (QDir().exists(server->path("root"))) {
            process.start("/usr/bin/python3",
                {ZENDRA_TEST_SOURCE_DIR "/support/ftpserver.py", "--user", server->user(),
                    "--password", server->password(), "--home", server->path("root"), "--events",
                    server->path("events"), "--tls", tls, "--cert", options.certificateChainFile,
                    "--key", options.keyFile, "--drop-after",
                    QString::number(options.dropDataAfter), "--stall-after",
                    QString::number(options.stallDataAfter), "--rate",
                    QString::number(options.rate), "--anonymous", options.anonymous ? "yes" : "",
                    "--prot", options.refuseDataProtection ? "refuse" : "accept"});
        }
        const QByteArray line = readLine(process);
        server->m_port = portOf(line);
        if (server->m_port && (options.relayFaultAfter >= 0 || !options.relayMute.isEmpty())) {
            server->m_relay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            server->m_relay.start("/usr/bin/python3",
                QStringList {ZENDRA_TEST_SOURCE_DIR "/support/ftprelay.py", "--server-port",
                    QString::number(server->m_port), "--after",
                    QString::number(options.relayFaultAfter), "--faults",
                    QString::number(options.relayFaultAfter >= 0 ? options.relayFaults : 0),
                    "--events", server->path("relay"), "--mute", options.relayMute}
                    + (options.relayStalls ? QStringList {"--stall"} : QStringList()));
            server->m_port = portOf(readLine(server->m_relay));
        }
        if (server->m_port)
            return server;
        if (line.startsWith("SKIP ")) {
            unavailable() = QString::fromUtf8(line.mid(5).trimmed());
            return nullptr;
        }
        qWarning("FTP server did not start: %s", qPrintable(process.errorString()));
        return nullptr;
    }
    static std::unique_ptr<FtpServer> started() { return started(Options()); }
    // Why the last started() found no server to start (not installed, say); empty otherwise.
    static QString &unavailable()
    {
        static QString reason;
        return reason;
    }
    ~FtpServer() { stop(); }
    void stop()
    {
        for (QProcess *process : {&m_relay, &m_process}) {
            process->terminate();
            process->waitForFinished(5000);
        }
    }
    void kill() // as a crash would end it
    {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(5000);
    }

    QString user() const { return QStringLiteral("zendra"); }
    QString password() const { return QStringLiteral("secret"); }
    // Makes @p service log in to this server unless a request names another user.
    template<typename Service>
    void logIn(Service &service) const
    {
        service.setCredentials(user(), password(), [](const QString &text) { return text; });
    }
    QString url(const QString &scheme, const QString &file, const QString &host = "127.0.0.1") const
    {
        return QStringLiteral("%1://%2:%3/%4").arg(scheme, host).arg(m_port).arg(file);
    }
    // Writes @p file (a path below the served directory), making its directories; both are
    // writable for all, as the served directory is.
    bool writeFile(const QString &file, const QByteArray &content)
    {
        QFile out(path("root/" + file));
        return QDir().mkpath(QFileInfo(out).path())
            && QFile::setPermissions(QFileInfo(out).path(), QFileDevice::Permissions(0x7777))
            && out.open(QIODevice::WriteOnly) && out.write(content) == content.size()
            && out.setPermissions(QFileDevice::Permissions(0x6666));
    }
    // The served tree, one entry a path (folders with a slash), sorted and joined by spaces.
    QString tree() const
    {
        const QDir root(path("root"));
        QStringList entries;
        for (QDirIterator it(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                 QDirIterator::Subdirectories);
             it.hasNext();) {
            it.next();
            entries << root.relativeFilePath(it.filePath()) + (it.fileInfo().isDir() ? "/" : "");
        }
        entries.sort();
        return entries.join(' ');
    }
    // What the server holds in @p file, or "(none)".
    QByteArray served(const QString &file) const
    {
        QFile in(path("root/" + file));
        return in.open(QIODevice::ReadOnly) ? in.readAll() : "(none)";
    }
    // The bytes the relay forwarded on data connections that ended.
    qint64 relayed() const
    {
        QFile file(path("relay"));
        file.open(QIODevice::ReadOnly);
        qint64 bytes = 0;
        for (const QByteArray &line : file.readAll().split('\n'))
            bytes += line.mid(5).toLongLong();
        return bytes;
    }
    static QByteArray testData(qint64 size, quint32 seed = 1)
    {
        QByteArray data(size + 4, Qt::Uninitialized);
        QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
        return data.left(size);
    }
    // What the server logged so far, one line per event (see ftpserver.py and proftpd.sh).
    QStringList events() const
    {
        QFile file(path("events"));
        file.open(QIODevice::ReadOnly);
        QStringList lines = QString::fromLatin1(file.readAll()).split('\n');
        lines.removeLast(); // whole lines only
        return lines;
    }
    // How many events begin with @p prefix.
    int count(const QString &prefix) const
    {
        int result = 0;
        for (const QString &line : events())
            result += line.startsWith(prefix);
        return result;
    }
    QString path(const QString &name) const { return m_directory.filePath(name); }

private:
    static QByteArray readLine(QProcess &process)
    {
        while (!process.canReadLine() && process.waitForReadyRead(20000)) { }
        return process.readLine();
    }
    static quint16 portOf(const QByteArray &line)
    {
        return line.startsWith("PORT ") ? line.mid(5).trimmed().toUShort() : 0;
    }

    QTemporaryDir m_directory;
    QProcess m_relay; // started after, stopped before the server
    QProcess m_process;
    quint16 m_port = 0;
};

#endif // ZENDRA_TESTS_FTPSERVER_H
