// SPDX-License-Identifier: MIT
// The FTP commands of zendra-cli: "ls" and "get".
#include "commands.h"

#include <zendra/ftpfileinfo.h>
#include <zendra/ftpservice.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>
#include <QUrl>

#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

using zendra::FtpFileInfo;
using zendra::FtpService;

namespace {

// The service hands a failed transfer the bytes received so far, often none, just like an empty
// file; only the worker's log line tells the two apart. The last such line before the callback
// decides: a certificate failure that the service recovers from is followed by a success line.
// A certificate failure that no recovery fixes (a host name mismatch, say) is repeated by the
// worker for ever; the command gives up after a few attempts.
constexpr int maxAttempts = 8;
struct TransferOutcome
{
    QMutex mutex;
    bool failed = false;
    QString error;
    int attempts = 0;
};
TransferOutcome outcome;
QtMessageHandler defaultHandler = nullptr;

void watchingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const QLatin1String errorMark(" finished with error ");
    static const QLatin1String successMark(" finished with success");
    if (message.startsWith(QLatin1String(">> [FTP "))) {
        const qsizetype error = message.indexOf(errorMark);
        if (error >= 0 || message.endsWith(successMark)) {
            QMutexLocker locker(&outcome.mutex);
            outcome.failed = error >= 0;
            const bool givingUp = outcome.failed && ++outcome.attempts >= maxAttempts;
            // "<libcurl's code> <libcurl's message>"
            const QString tail
                = error >= 0 ? message.mid(error + errorMark.size()).simplified() : QString();
            outcome.error
                = QStringLiteral("error %1: %2")
                      .arg(tail.section(QLatin1Char(' '), 0, 0), tail.section(QLatin1Char(' '), 1));
            if (givingUp) {
                outcome.error += QStringLiteral(" (gave up after %1 attempts)").arg(maxAttempts);
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(), [] { QCoreApplication::exit(); },
                    Qt::QueuedConnection);
            }
        }
    }
    defaultHandler(type, context, message);
}

// An empty reason when the last transfer succeeded.
QString failureReason()
{
    QMutexLocker locker(&outcome.mutex);
    if (!outcome.failed)
        return QString();
    return outcome.error;
}

// After a certificate failure the worker probes the server with a name-only listing that libcurl
// writes through its default writer, to the process's standard output. While this lives, that
// goes to /dev/null and the command writes its own output to stream().
class CommandOutput
{
public:
    CommandOutput()
    {
        std::fflush(stdout);
        const int saved = ::dup(STDOUT_FILENO);
        m_stream = saved >= 0 ? ::fdopen(saved, "w") : nullptr;
        const int null = ::open("/dev/null", O_WRONLY);
        if (m_stream && null >= 0)
            ::dup2(null, STDOUT_FILENO);
        if (null >= 0)
            ::close(null);
    }
    ~CommandOutput()
    {
        if (!m_stream)
            return;
        std::fflush(stdout);
        ::dup2(::fileno(m_stream), STDOUT_FILENO);
        std::fclose(m_stream);
    }
    CommandOutput(const CommandOutput &) = delete;
    CommandOutput &operator=(const CommandOutput &) = delete;

    std::FILE *stream() const { return m_stream ? m_stream : stdout; }

private:
    std::FILE *m_stream;
};

struct FtpOptions
{
    QCommandLineOption user {
        QStringLiteral("user"), QStringLiteral("User name."), QStringLiteral("name")};
    QCommandLineOption password {QStringLiteral("password"),
        QStringLiteral("Password (default: the environment variable ZENDRA_PASSWORD)."),
        QStringLiteral("password")};
    QCommandLineOption ca {QStringLiteral("ca"),
        QStringLiteral("CA certificate file (PEM) to verify the server with; it is imported "
                       "into the certificates directory."),
        QStringLiteral("file")};
    QCommandLineOption noVerifyPeer {
        QStringLiteral("no-verify-peer"), QStringLiteral("Do not verify the server certificate.")};
    QCommandLineOption noVerifyHost {QStringLiteral("no-verify-host"),
        QStringLiteral("Do not check that the certificate names the server's host.")};
    QCommandLineOption noSsl {QStringLiteral("no-ssl"),
        QStringLiteral("Do not ask an ftp:// server for TLS (plain FTP).")};

    void addTo(QCommandLineParser &parser) const
    {
        parser.addOptions({user, password, ca, noVerifyPeer, noVerifyHost, noSsl});
    }
};

// Parses an FTP command line whose first positional argument is the URL.
int parseFtpCommand(QCommandLineParser &parser, const QStringList &args, const FtpOptions &options,
    int maxPositional)
{
    options.addTo(parser);
    if (const int status = parseCommandLine(parser, args, 1, maxPositional); status >= 0)
        return status;
    const QString text = parser.positionalArguments().constFirst();
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("ftp") && url.scheme() != QLatin1String("ftps"))) {
        return fail(
            QStringLiteral("%1: \"%2\" is not an ftp:// or ftps:// URL").arg(args.first(), text));
    }
    if (parser.isSet(options.ca) && !QFileInfo(parser.value(options.ca)).isFile()) {
        return fail(QStringLiteral("%1: CA file \"%2\" does not exist")
                        .arg(args.first(), parser.value(options.ca)));
    }
    return -1;
}

// Builds the service as the options say and starts watching the library's log.
std::unique_ptr<FtpService> makeService(const QCommandLineParser &parser, const FtpOptions &options)
{
    // The root-CA recovery writes into this directory but never creates it; without it every
    // recovery attempt fails and peer verification ends up switched off.
    QDir().mkpath(QStringLiteral("%1/certificates")
                      .arg(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)));

    defaultHandler = qInstallMessageHandler(&watchingHandler);
    auto service = std::make_unique<FtpService>();
    service->setVerifyPeer(!parser.isSet(options.noVerifyPeer));
    service->setVerifyHost(!parser.isSet(options.noVerifyHost));
    service->setActivateSsl(!parser.isSet(options.noSsl));
    const QString password = parser.isSet(options.password)
        ? parser.value(options.password)
        : qEnvironmentVariable("ZENDRA_PASSWORD");
    service->setCredentials(
        parser.value(options.user), password, [](const QString &value) { return value; });
    if (parser.isSet(options.ca))
        service->loadCertificate(parser.value(options.ca), true);
    return service;
}

QString displayUrl(const QCommandLineParser &parser)
{
    return QUrl(parser.positionalArguments().constFirst()).toDisplayString(QUrl::RemovePassword);
}

const char *typeName(FtpFileInfo::FileType type)
{
    switch (type) {
    case FtpFileInfo::File:
        return "file";
    case FtpFileInfo::Dir:
        return "dir";
    case FtpFileInfo::ParentDir:
        return "pdir";
    case FtpFileInfo::CurrentDir:
        return "cdir";
    default:
        return "?";
    }
}

} // namespace

int runList(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Lists a remote directory (MLSD), one entry a line: type, size, modification date (as "
        "the server sends it, in UTC) and name, separated by tabs."));
    parser.addPositionalArgument(
        QStringLiteral("url"), QStringLiteral("ftp:// or ftps:// URL of the directory."));
    const QCommandLineOption typeOption(QStringLiteral("type"),
        QStringLiteral("Entries to show: all, file or dir (default all)."), QStringLiteral("type"),
        QStringLiteral("all"));
    parser.addOption(typeOption);
    const FtpOptions options;
    if (const int status = parseFtpCommand(parser, args, options, 1); status >= 0)
        return status;

    FtpFileInfo::FileType filter = FtpFileInfo::All;
    const QString type = parser.value(typeOption);
    if (type == QLatin1String("file"))
        filter = FtpFileInfo::File;
    else if (type == QLatin1String("dir"))
        filter = FtpFileInfo::Dir;
    else if (type != QLatin1String("all"))
        return fail(QStringLiteral("ls: --type must be all, file or dir, not \"%1\"").arg(type));

    const CommandOutput output;
    const std::unique_ptr<FtpService> service = makeService(parser, options);
    QString reason;
    bool answered = false;
    service->listDirectory(
        parser.positionalArguments().constFirst(),
        [&reason, &answered, &output](const QList<FtpFileInfo> &entries) {
            answered = true;
            reason = failureReason();
            if (reason.isEmpty()) {
                for (const FtpFileInfo &entry : entries) {
                    const QDateTime date = entry.modificationDate();
                    std::fprintf(output.stream(), "%s\t%d\t%s\t%s\n", typeName(entry.type()),
                        entry.size(),
                        date.isValid() ? qUtf8Printable(date.toString(Qt::ISODate)) : "-",
                        qUtf8Printable(entry.name()));
                }
                if (std::fflush(output.stream()) != 0)
                    reason = QStringLiteral("cannot write standard output");
            }
            QCoreApplication::exit();
        },
        filter);
    if (QCoreApplication::exec(); !answered)
        reason = failureReason();
    if (!reason.isEmpty())
        return fail(QStringLiteral("ls: listing %1 failed: %2").arg(displayUrl(parser), reason));
    return 0;
}

int runGet(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Downloads a remote file into a local file, or to standard output."));
    parser.addPositionalArgument(
        QStringLiteral("url"), QStringLiteral("ftp:// or ftps:// URL of the file."));
    parser.addPositionalArgument(QStringLiteral("localfile"),
        QStringLiteral("File to write (default: standard output)."), QStringLiteral("[localfile]"));
    const FtpOptions options;
    if (const int status = parseFtpCommand(parser, args, options, 2); status >= 0)
        return status;
    const QString localFile = parser.positionalArguments().value(1);
    if (!localFile.isEmpty()) {
        const QFileInfo target(localFile);
        if (target.isDir() || !target.absoluteDir().exists())
            return fail(QStringLiteral("get: cannot write \"%1\"").arg(localFile));
    }

    const CommandOutput output;
    const std::unique_ptr<FtpService> service = makeService(parser, options);
    QString reason;
    bool answered = false;
    service->downloadFile(
        parser.positionalArguments().constFirst(),
        [&reason, &answered, &localFile, &output](const QByteArray &data) {
            answered = true;
            reason = failureReason();
            if (reason.isEmpty() && localFile.isEmpty()) {
                if (std::fwrite(data.constData(), 1, size_t(data.size()), output.stream())
                        != size_t(data.size())
                    || std::fflush(output.stream()) != 0)
                    reason = QStringLiteral("cannot write standard output");
            } else if (reason.isEmpty() && data.isEmpty()) {
                // A download into a file answers with the path when it succeeded.
                reason = QStringLiteral("cannot write \"%1\"").arg(localFile);
            }
            QCoreApplication::exit();
        },
        localFile.isEmpty() ? QString() : QFileInfo(localFile).absoluteFilePath());
    if (QCoreApplication::exec(); !answered)
        reason = failureReason();
    if (!reason.isEmpty())
        return fail(
            QStringLiteral("get: downloading %1 failed: %2").arg(displayUrl(parser), reason));
    return 0;
}
