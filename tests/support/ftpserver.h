// SPDX-License-Identifier: MIT
// The suites' FTP/FTPS server: support/ftpserver.py on 127.0.0.1 serving a fresh directory to one
// user, stopped by its own pid when the object goes.
#ifndef ZENDRA_TESTS_FTPSERVER_H
#define ZENDRA_TESTS_FTPSERVER_H

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

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
    };
    static Options tlsOptions(Tls tls, const QString &chainFile, const QString &keyFile)
    {
        return {tls, chainFile, keyFile};
    }
    // A listening server, or null after a warning that says why.
    static std::unique_ptr<FtpServer> started(const Options &options);
    static std::unique_ptr<FtpServer> started() { return started(Options()); }
    ~FtpServer() { stop(); }
    void stop();
    void kill(); // as a crash would end it

    QString user() const { return QStringLiteral("zendra"); }
    QString password() const { return QStringLiteral("secret"); }
    // Makes @p service log in to this server unless a request names another user.
    template<typename Service>
    void logIn(Service &service) const
    {
        service.setCredentials(user(), password(), [](const QString &text) { return text; });
    }
    QString url(const QString &scheme, const QString &path,
        const QString &host = QStringLiteral("127.0.0.1")) const;
    bool writeFile(const QString &path, const QByteArray &content); // makes the directories
    static QByteArray testData(qint64 size, quint32 seed = 1);
    // What the server logged so far, one line per event (see ftpserver.py), and how many lines
    // begin with @p prefix.
    QStringList events() const;
    int count(const QString &prefix) const;

private:
    QTemporaryDir m_directory;
    QProcess m_process;
    quint16 m_port = 0;
};

#endif // ZENDRA_TESTS_FTPSERVER_H
