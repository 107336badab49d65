// SPDX-License-Identifier: MIT
#ifndef ZENDRA_TESTS_FTPSERVER_H
#define ZENDRA_TESTS_FTPSERVER_H

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A real FTP/FTPS server (tests/support/ftpserver.py under the system python3, or proftpd through
// tests/support/proftpd.sh) on 127.0.0.1 and a free port, serving a temporary root directory to
// one virtual user. The process is stopped by its own id when the object goes, so a test that
// returns early never leaves it behind; it also exits by itself when the test process dies.
class FtpServer
{
public:
    enum class Backend {
        Pyftpdlib,
        Proftpd, // no implicit TLS, no dropDataAfter; a session shows once it sent a command
    };

    enum class Tls {
        Off, // plain FTP only, AUTH is refused
        Allowed, // explicit FTPS (AUTH TLS) on demand, plain FTP too
        Required, // explicit FTPS, login and data connections only after AUTH TLS and PROT P
        Implicit, // TLS from the first byte (ftps:// URLs)
    };

    struct Options
    {
        Backend backend = Backend::Pyftpdlib;
        Tls tls = Tls::Off;
        // PEM file with the server certificate followed by the chain it presents, and its key.
        QString certificateChainFile;
        QString keyFile;
        // Fault switch: every outgoing data connection is dropped after this many bytes and the
        // transfer answered with 426. Negative: never.
        qint64 dropDataAfter = -1;
        // proftpd only: downloads are throttled to this many KiB/s. Zero: full speed.
        int rateKiB = 0;
        QString user = QStringLiteral("zendra");
        QString password = QStringLiteral("secret");
    };

    struct Command
    {
        QString name; // upper case, as sent
        bool dataProtected; // PROT P was in force when it arrived
    };

    // One control connection, as the server saw it.
    struct Session
    {
        int id = 0;
        bool loggedIn = false;
        bool loginFailed = false;
        bool tls = false; // control channel encrypted at login
        bool closed = false;
        QList<Command> commands;

        bool hasCommand(const QString &name) const;
    };

    FtpServer();
    explicit FtpServer(const Options &options);
    ~FtpServer();
    FtpServer(const FtpServer &) = delete;
    FtpServer &operator=(const FtpServer &) = delete;

    // Options for a TLS server presenting @p chainFile (its own certificate first) and @p keyFile.
    static Options tlsOptions(Tls tls, const QString &chainFile, const QString &keyFile);
    // A started server, or null after a warning that says why it did not start.
    static std::unique_ptr<FtpServer> started(const Options &options);
    static std::unique_ptr<FtpServer> started();

    // Starts the process and waits (bounded) until it listens. False with errorString() if not.
    bool start(int timeoutMs = 20000);
    // Stops the process (idempotent); the port is free afterwards.
    void stop();
    bool isRunning() const;
    QString errorString() const;

    quint16 port() const;
    QString user() const;
    QString password() const;
    // "<scheme>://<host>:<port>/<path>"; a leading slash of path is optional.
    QString url(const QString &scheme, const QString &path,
        const QString &host = QStringLiteral("127.0.0.1")) const;

    // The directory served as the user's "/".
    QString rootPath() const;
    QString localPath(const QString &relativePath) const;
    // Creates parent directories as needed.
    bool writeFile(const QString &relativePath, const QByteArray &content);
    bool makeDirectory(const QString &relativePath);
    // Deterministic pseudo-random bytes, so tests can create and compare large files.
    static QByteArray testData(qint64 size, quint32 seed = 1);

    // Session statistics as the server has recorded them so far, in connection order.
    QList<Session> sessions() const;
    int connectionCount() const;
    int loginCount() const;
    int tlsLoginCount() const;
    int closedCount() const;
    // How often a command (e.g. "RETR", "MLSD", "PASS") arrived over all sessions.
    int commandCount(const QString &name) const;

private:
    Options m_options;
    QTemporaryDir m_directory;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

#endif // ZENDRA_TESTS_FTPSERVER_H
