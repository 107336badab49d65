// SPDX-License-Identifier: MIT
// The FTP commands of zendra-cli: "ls", "get", "put", "mkdir", "rm" and "mv".
#include "commands.h"

#include <zendra/ftpfileinfo.h>
#include <zendra/ftpresult.h>
#include <zendra/ftpservice.h>
#include <zendra/ftpurl.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QUrl>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using zendra::FtpFileInfo;
using zendra::FtpResult;
using zendra::FtpService;
using zendra::FtpUrl;

namespace {

// What an FTP client sends for an anonymous login: the user "anonymous" and, as password, an
// e-mail address by convention.
const QString anonymousUser = QStringLiteral("anonymous");
const QString anonymousPassword = QStringLiteral("anonymous@example.com");
// Set when the command logs in so, for the hint on a refused login.
bool loggedInAnonymously = false;

// A certificate failure that no root-CA recovery fixes (a host-name mismatch, say) would be
// repeated for ever. A recovery that works needs two runs, or a few more when the new root file
// reaches the worker only after its next 500 ms repetition (on a slow or loaded machine).
constexpr int maxAttempts = 8;

const char exitStatusHelp[] = "\n\nExit status: 0 success, 2 usage error, 3 connection or DNS "
                              "failure, 4 login refused, 5 no TLS, or a server that could not "
                              "be verified (see --trust-root, --insecure, --no-ssl), 6 remote "
                              "file or directory missing, 7 local file error, 8 refused by the "
                              "server, 130 interrupted (Ctrl-C), 1 anything else.";

// The exit status for the outcome of a request, from libcurl's code.
int exitStatus(const FtpResult &result)
{
    if (result.isCancelled())
        return Interrupted;
    // libcurl reports a refused MLSD as a failed retrieval; the directory may well be there.
    if (result.replyCommand() == QLatin1String("MLSD") && result.replyCode() >= 500
        && result.replyCode() <= 504) {
        return Failure;
    }
    switch (result.code()) {
    case 0:
        return Success;
    case -1: // the local file could not be opened
    case CURLE_WRITE_ERROR:
        return LocalFileError;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return ConnectionFailed;
    case CURLE_LOGIN_DENIED:
        return LoginRefused;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
        return CertificateFailed;
    // An FTP server answers 550 for a missing file and for a directory it cannot enter.
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return RemoteMissing;
    case CURLE_READ_ERROR:
        return LocalFileError;
    // The server refused a command after the login: a STOR, or one of the commands of an
    // upload's rename or a remote operation.
    case CURLE_UPLOAD_FAILED:
    case CURLE_QUOTE_ERROR:
        return Refused;
    default:
        return Failure;
    }
}

// "O=..., CN=..." of @p certificate's subject.
QString subjectText(const QSslCertificate &certificate)
{
    QStringList parts;
    for (const QByteArray &attribute : certificate.subjectInfoAttributes()) {
        parts << QString::fromLatin1(attribute) + QLatin1Char('=')
                + certificate.subjectInfo(attribute).join(QLatin1String(", "));
    }
    return parts.join(QLatin1String(", "));
}

// The server's root CA as the CLI sees it: the root pinned to the server when the run started,
// and the root that the service asked about, one that nobody but the server vouches for. On a
// terminal it asks the user, as ssh does, whether to pin such a root; elsewhere the answer is no.
class RootTrust
{
public:
    RootTrust(FtpService &service, const QString &url)
        : m_service(service), m_url(url), m_pinnedBefore(service.pinnedRoot(url))
    {
        service.setRootApprovalHandler(
            [this](const QString &, const QSslCertificate &root, const QString &fingerprint) {
                return ask(root, fingerprint);
            });
    }
    ~RootTrust() { m_service.setRootApprovalHandler({}); }
    RootTrust(const RootTrust &) = delete;
    RootTrust &operator=(const RootTrust &) = delete;

    // What to say about a refused root, with what to do about it; empty for other failures.
    QString refusal(const FtpResult &result) const
    {
        const QString presented = result.rootFingerprint();
        if (!m_pinnedBefore.isEmpty() && !presented.isEmpty() && presented != m_pinnedBefore) {
            return QStringLiteral("the server's root CA changed: %1 is pinned to it, it now "
                                  "presents %2; refused (--forget-ca forgets the pinned root)")
                .arg(m_pinnedBefore, presented);
        }
        if (!m_asked.isEmpty() && presented == m_asked) {
            return QStringLiteral("nobody but the server vouches for its root CA \"%1\", %2; if "
                                  "that is the right fingerprint, run again with --trust-root %2")
                .arg(m_subject, m_asked);
        }
        return QString();
    }
    // Says on standard error that this run pinned a root to the server.
    void reportPin() const
    {
        const QString pinned = m_service.pinnedRoot(m_url);
        if (!pinned.isEmpty() && pinned != m_pinnedBefore) {
            fail(QStringLiteral("note: pinned the root CA %1 to %2 (--forget-ca forgets it)")
                     .arg(pinned, server()));
        }
    }

private:
    QString server() const
    {
        const QUrl url(m_url);
        return QStringLiteral("%1:%2")
            .arg(url.host())
            .arg(url.port(url.scheme() == QLatin1String("ftps") ? 990 : 21));
    }
    bool ask(const QSslCertificate &root, const QString &fingerprint)
    {
        m_asked = fingerprint;
        m_subject = subjectText(root);
        if (!::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO))
            return false;
        std::fprintf(stderr,
            "The server %s presents a root CA that nobody but the server vouches for:\n"
            "  subject:     %s\n  fingerprint: %s\n"
            "Trust this root for this server from now on? [y/N] ",
            qUtf8Printable(server()), qUtf8Printable(m_subject), qUtf8Printable(fingerprint));
        std::fflush(stderr);
        char answer[64] = {};
        return std::fgets(answer, sizeof answer, stdin) && (answer[0] == 'y' || answer[0] == 'Y');
    }

    FtpService &m_service;
    QString m_url;
    QString m_pinnedBefore;
    QString m_asked;
    QString m_subject;
};

// One line for a failed request: libcurl's code and text, or why the local file failed, or
// what to do about a refused root.
QString failureText(
    const FtpResult &result, const QString &localFile, const RootTrust &trust, bool reading = false)
{
    if (result.code() == -1) {
        return QStringLiteral("cannot %1 \"%2\": %3")
            .arg(QLatin1String(reading ? "read" : "write"), localFile, result.errorString());
    }
    if (const QString refusal = trust.refusal(result); !refusal.isEmpty())
        return refusal;
    QString text = QStringLiteral("error %1: %2").arg(result.code()).arg(result.errorString());
    if (result.code() == CURLE_USE_SSL_FAILED)
        text += QStringLiteral(" (the server refused TLS; --no-ssl accepts plain FTP)");
    else if (result.code() == CURLE_LOGIN_DENIED && loggedInAnonymously)
        text += QStringLiteral(" (tried as %1; --user names a user)").arg(anonymousUser);
    else if (exitStatus(result) == CertificateFailed && result.attempts() >= maxAttempts)
        text += QStringLiteral(" (gave up after %1 attempts)").arg(result.attempts());
    else if (exitStatus(result) == CertificateFailed)
        text += QStringLiteral(" (the server could not be verified; --insecure accepts that)");
    return text;
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
    QCommandLineOption user {QStringLiteral("user"),
        QStringLiteral("User name (default: an anonymous login)."), QStringLiteral("name")};
    QCommandLineOption password {QStringLiteral("password"),
        QStringLiteral("Password (default: the environment variable ZENDRA_PASSWORD with --user, "
                       "\"%1\" without).")
            .arg(anonymousPassword),
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
    QCommandLineOption forgetCa {QStringLiteral("forget-ca"),
        QStringLiteral("Forget the root CA that an earlier run learned or pinned for this "
                       "server.")};
    QCommandLineOption trustRoot {QStringLiteral("trust-root"),
        QStringLiteral("Trust the server's root CA of this SHA-256 fingerprint (as a refusal "
                       "names it) and pin it to the server, host and port."),
        QStringLiteral("SHA256:...")};
    QCommandLineOption insecure {QStringLiteral("insecure"),
        QStringLiteral("Accept a TLS server without verifying it, a host-name mismatch too (said "
                       "on standard error); implied by --no-verify-peer and --no-verify-host.")};
    QCommandLineOption stallTimeout {QStringLiteral("stall-timeout"),
        QStringLiteral("Give up (exit status 3) when no data moves for this many seconds "
                       "(default: wait for ever)."),
        QStringLiteral("seconds")};
    QCommandLineOption retries {QStringLiteral("retries"),
        QStringLiteral("After a dropped or stalled connection, go on from where the transfer "
                       "stopped, up to this many times (default 0)."),
        QStringLiteral("count"), QStringLiteral("0")};
    QCommandLineOption verbose {QStringLiteral("verbose"),
        QStringLiteral("Show the library's log and what the command decides for you.")};

    void addTo(QCommandLineParser &parser) const
    {
        parser.addOptions({user, password, ca, noVerifyPeer, noVerifyHost, noSsl, forgetCa,
            trustRoot, insecure, stallTimeout, retries, verbose});
    }
    // Without TLS there is no peer to verify, so --no-ssl accepts that too.
    bool acceptsUnverified(const QCommandLineParser &parser) const
    {
        return parser.isSet(insecure) || parser.isSet(noVerifyPeer) || parser.isSet(noVerifyHost)
            || parser.isSet(noSsl);
    }
};

// Turns the first Ctrl-C into a cancel of every request of the service; a second one ends the
// process at once, as the default handler does. The signal handler only writes to a pipe.
class Interruption
{
public:
    explicit Interruption(FtpService &service)
    {
        if (::pipe(s_pipe) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this, &service] {
            char byte;
            if (::read(s_pipe[0], &byte, 1) == 1)
                service.cancelAll();
        });
        struct sigaction action = {};
        action.sa_handler = [](int) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
            std::signal(SIGINT, SIG_DFL);
        };
        sigaction(SIGINT, &action, nullptr);
    }
    ~Interruption()
    {
        std::signal(SIGINT, SIG_DFL);
        m_notifier.reset();
        if (s_pipe[0] >= 0) {
            ::close(s_pipe[0]);
            ::close(s_pipe[1]);
        }
        s_pipe[0] = s_pipe[1] = -1;
    }
    Interruption(const Interruption &) = delete;
    Interruption &operator=(const Interruption &) = delete;

private:
    static inline int s_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Whether the progress line is on the terminal, where a log line has to wipe it first.
std::atomic<bool> progressShown {false};

// With --verbose on a terminal: the library's lines (from any thread) above the progress line.
void logAboveProgress(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    std::fprintf(stderr, "%s%s\n", progressShown ? "\r\033[K" : "",
        qUtf8Printable(qFormatLogMessage(type, context, message)));
    std::fflush(stderr);
}

// "12.3 MiB" and the like, for the progress line.
QString humanBytes(double bytes)
{
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    for (; bytes >= 1024 && unit < 4; ++unit)
        bytes /= 1024;
    return QStringLiteral("%1 %2").arg(bytes, 0, 'f', unit ? 1 : 0).arg(QLatin1String(units[unit]));
}

// Draws "received / total  rate  time left" on one line of standard error, when that is a
// terminal; nothing otherwise, so that logs and pipes stay clean.
void showProgress(FtpService &service)
{
    if (!::isatty(STDERR_FILENO))
        return;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    service.setProgressHandler([clock](const QString &, qint64 received, qint64 total) {
        const double seconds = qMax(clock->elapsed(), qint64(1)) / 1000.0;
        const double rate = received / seconds;
        QString line = humanBytes(double(received));
        if (total > 0)
            line += QStringLiteral(" / %1 (%2 %)")
                        .arg(humanBytes(double(total)))
                        .arg(100 * received / total);
        line += QStringLiteral("  %1/s").arg(humanBytes(rate));
        if (total > 0 && rate > 0 && received < total)
            line += QStringLiteral("  %1 s left").arg(qint64((total - received) / rate));
        std::fprintf(stderr, "\r%-60s", qUtf8Printable(line));
        std::fflush(stderr);
        progressShown = true;
    });
}

// Writes a download beside @p target under a temporary name and renames it over the target only
// when it succeeded, so that a failed or cancelled download never destroys an existing file. One
// to be continued is "<target>.part", kept when the download fails.
class SideFile
{
public:
    SideFile(const QString &target, bool continued) : m_target(target)
    {
        if (continued) {
            m_path = target + QStringLiteral(".part");
            m_kept = true;
            return;
        }
        QTemporaryFile file(target + QStringLiteral(".part-XXXXXX"));
        file.setAutoRemove(false);
        if (!file.open())
            return;
        m_path = file.fileName();
        // The file ends as a new file would be made: the target's mode, or the umask's.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        struct stat existing = {};
        const mode_t mode = ::stat(QFile::encodeName(target).constData(), &existing) == 0
            ? existing.st_mode & 07777
            : 0666 & ~mask;
        ::fchmod(file.handle(), mode);
    }
    ~SideFile()
    {
        if (!m_path.isEmpty() && !m_kept)
            QFile::remove(m_path);
    }
    SideFile(const SideFile &) = delete;
    SideFile &operator=(const SideFile &) = delete;

    // Where the download goes: the temporary file, or the target when none could be made (the
    // request then fails as it would on the target).
    QString path() const { return m_path.isEmpty() ? m_target : m_path; }
    bool commit()
    {
        if (m_path.isEmpty())
            return true;
        // A continued file was made by the worker: it takes the target's mode here.
        struct stat existing = {};
        if (m_kept && ::stat(QFile::encodeName(m_target).constData(), &existing) == 0)
            ::chmod(QFile::encodeName(m_path).constData(), existing.st_mode & 07777);
        const bool renamed = std::rename(QFile::encodeName(m_path).constData(),
                                 QFile::encodeName(m_target).constData())
            == 0;
        if (renamed)
            m_path.clear();
        return renamed;
    }

private:
    QString m_target;
    QString m_path;
    bool m_kept = false;
};

// Parses an FTP command line whose positional argument @p urlIndex is the URL.
int parseFtpCommand(QCommandLineParser &parser, const QStringList &args, const FtpOptions &options,
    int maxPositional, int urlIndex = 0)
{
    options.addTo(parser);
    if (const int status = parseCommandLine(parser, args, urlIndex + 1, maxPositional);
        status >= 0) {
        return status;
    }
    const QString text = parser.positionalArguments().at(urlIndex);
    const QUrl url(FtpUrl::fromUserInput(text), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("ftp") && url.scheme() != QLatin1String("ftps"))) {
        return fail(
            QStringLiteral("%1: \"%2\" is not an ftp:// or ftps:// URL").arg(args.first(), text),
            UsageError);
    }
    bool validTimeout = true;
    if (parser.isSet(options.stallTimeout)
        && (parser.value(options.stallTimeout).toDouble(&validTimeout) <= 0 || !validTimeout)) {
        return fail(QStringLiteral("%1: --stall-timeout needs a number of seconds above 0")
                        .arg(args.first()),
            UsageError);
    }
    bool validRetries = true;
    if (parser.value(options.retries).toInt(&validRetries) < 0 || !validRetries) {
        return fail(QStringLiteral("%1: --retries needs a count of 0 or more").arg(args.first()),
            UsageError);
    }
    if (parser.isSet(options.ca) && !QFileInfo(parser.value(options.ca)).isFile()) {
        return fail(QStringLiteral("%1: CA file \"%2\" does not exist")
                        .arg(args.first(), parser.value(options.ca)),
            UsageError);
    }
    return -1;
}

// The URL to request, positional argument @p urlIndex: as given when encoded, else encoded (see
// FtpUrl::fromUserInput()).
QString requestUrl(const QCommandLineParser &parser, int urlIndex = 0)
{
    return FtpUrl::fromUserInput(parser.positionalArguments().at(urlIndex));
}

QString displayUrl(const QCommandLineParser &parser, int urlIndex = 0)
{
    return QUrl(requestUrl(parser, urlIndex)).toDisplayString(QUrl::RemovePassword);
}

// Builds the service as the options say, or null after an error line; roots that earlier runs
// pinned stay with their servers.
std::unique_ptr<FtpService> makeService(
    const QCommandLineParser &parser, const FtpOptions &options, int urlIndex = 0)
{
    // The root-CA recovery writes into this directory but never creates it; without it every
    // recovery attempt fails and peer verification ends up switched off.
    const QString certificates
        = QStringLiteral("%1/certificates")
              .arg(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    QDir().mkpath(certificates);
    const QString url = requestUrl(parser, urlIndex);

    // The library's lines would land in the progress line and the command's output.
    const bool verbose = parser.isSet(options.verbose);
    if (!verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("zendra.*=false"));
    else if (::isatty(STDERR_FILENO))
        qInstallMessageHandler(&logAboveProgress);

    auto service = std::make_unique<FtpService>();
    if (parser.isSet(options.forgetCa)) {
        QFile::remove(certificates + QStringLiteral("/root_ca.pem"));
        service->removePinnedRoot(url);
    }
    service->setMaximumAttempts(maxAttempts);
    service->setStallTimeout(int(parser.value(options.stallTimeout).toDouble() * 1000));
    service->setRetries(parser.value(options.retries).toInt());
    const bool insecure = parser.isSet(options.insecure);
    service->setVerifyPeer(!parser.isSet(options.noVerifyPeer) && !insecure);
    service->setVerifyHost(!parser.isSet(options.noVerifyHost) && !insecure);
    service->setActivateSsl(!parser.isSet(options.noSsl));
    // Safe unless told otherwise: TLS on both connections and a verified server.
    service->setRequireTls(!parser.isSet(options.noSsl));
    service->setRequireVerifiedPeer(!options.acceptsUnverified(parser));
    // An exported ZENDRA_PASSWORD is meant for a named user, never for an anonymous login.
    const bool anonymous = loggedInAnonymously = !parser.isSet(options.user);
    const QString password = parser.isSet(options.password) ? parser.value(options.password)
        : anonymous                                         ? anonymousPassword
                    : qEnvironmentVariable("ZENDRA_PASSWORD");
    if (anonymous && verbose)
        fail(QStringLiteral("note: logging in as %1, no --user given").arg(anonymousUser));
    service->setCredentials(anonymous ? anonymousUser : parser.value(options.user), password,
        [](const QString &value) { return value; });
    if (parser.isSet(options.ca))
        service->loadCertificate(parser.value(options.ca), true);
    if (parser.isSet(options.trustRoot)
        && !service->pinRoot(url, parser.value(options.trustRoot))) {
        fail(QStringLiteral("--trust-root: \"%1\" is no SHA-256 fingerprint, or another root is "
                            "pinned to the server (--forget-ca forgets it)")
                 .arg(parser.value(options.trustRoot)),
            UsageError);
        return nullptr;
    }
    return service;
}

// Says on standard error what --insecure let through.
void warnIfUnverified(const QCommandLineParser &parser, const FtpOptions &options,
    const FtpResult &result, int urlIndex = 0)
{
    if (result.isSuccess() && !parser.isSet(options.noSsl)
        && !(result.isPeerVerified() && result.isHostVerified())) {
        fail(QStringLiteral("warning: %1: the server's certificate was not verified")
                 .arg(displayUrl(parser, urlIndex)));
    }
}

// Runs the request that @p start queues, with Ctrl-C and the progress line, and returns the exit
// status; a failure gets one line: "<command>: <doing> URL failed: <why>".
int runRequest(const QCommandLineParser &parser, const FtpOptions &options, const QString &command,
    const QString &doing, int urlIndex,
    const std::function<void(FtpService &service, const FtpService::ResultCallback &done)> &start)
{
    const CommandOutput output;
    const std::unique_ptr<FtpService> service = makeService(parser, options, urlIndex);
    if (!service)
        return UsageError;
    const RootTrust trust(*service, requestUrl(parser, urlIndex));
    const Interruption interruption(*service);
    showProgress(*service);
    FtpResult result;
    start(*service, [&result](const FtpResult &outcome) {
        result = outcome;
        QCoreApplication::exit();
    });
    QCoreApplication::exec();
    if (::isatty(STDERR_FILENO))
        std::fputc('\n', stderr);
    trust.reportPin();
    warnIfUnverified(parser, options, result, urlIndex);
    const int status = exitStatus(result);
    if (status == Success)
        return Success;
    // Only put names a local file, which it reads, before its URL.
    const QString localFile = urlIndex > 0 ? parser.positionalArguments().constFirst() : QString();
    return fail(QStringLiteral("%1: %2 %3 failed: %4")
                    .arg(command, doing, displayUrl(parser, urlIndex),
                        failureText(result, localFile, trust, true)),
        status);
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

// One listing, waited for: its outcome and its entries of every type.
struct Listing
{
    FtpResult result;
    QList<FtpFileInfo> entries;
};

// Lists on every server, or with MLSD only (--mlsd-only).
Listing listAndWait(FtpService &service, const QString &url, bool mlsdOnly)
{
    Listing listing;
    const auto answer = [&](const QList<FtpFileInfo> &entries) {
        listing = {service.lastResult(), entries};
        QCoreApplication::exit();
    };
    if (mlsdOnly)
        service.listDirectory(url, answer);
    else
        service.listDirectoryLeniently(url, answer);
    QCoreApplication::exec();
    return listing;
}

} // namespace

int runList(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Lists a remote directory, one entry a line: type, size, modification date (as the "
            "server sends it: in UTC for MLSD, in the server's own zone and without seconds for "
            "LIST, which servers without MLSD get) and name, separated by tabs. A URL without its "
            "final '/' lists the directory it names, or shows the entry alone.")
        + QLatin1String(exitStatusHelp));
    parser.addPositionalArgument(
        QStringLiteral("url"), QStringLiteral("ftp:// or ftps:// URL of the directory."));
    const QCommandLineOption typeOption(QStringLiteral("type"),
        QStringLiteral("Entries to show: all, file or dir (default all)."), QStringLiteral("type"),
        QStringLiteral("all"));
    parser.addOption(typeOption);
    const QCommandLineOption mlsdOnly(QStringLiteral("mlsd-only"),
        QStringLiteral("List with MLSD only, and only entries with a \"unique\" fact, as "
                       "FtpService::listDirectory() does; a server without MLSD fails."));
    parser.addOption(mlsdOnly);
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
        return fail(QStringLiteral("ls: --type must be all, file or dir, not \"%1\"").arg(type),
            UsageError);

    const CommandOutput output;
    const std::unique_ptr<FtpService> service = makeService(parser, options);
    if (!service)
        return UsageError;
    const QString url = requestUrl(parser);
    const RootTrust trust(*service, url);
    const Interruption interruption(*service);
    const bool onlyMlsd = parser.isSet(mlsdOnly);
    const QString path = QUrl(url).path();
    Listing listing;
    if (path.isEmpty() || path.endsWith(u'/')) {
        listing = listAndWait(*service, url, onlyMlsd);
    } else {
        // Without its '/' the URL would list the directory that holds the name: list the name as
        // a directory, or show it alone when it is something else there.
        listing = listAndWait(*service, url + u'/', onlyMlsd);
        if (listing.result.code() == CURLE_REMOTE_ACCESS_DENIED) {
            const Listing parent = listAndWait(*service, url, onlyMlsd);
            for (const FtpFileInfo &entry : parent.entries) {
                if (entry.name() == path.section(u'/', -1))
                    listing = {parent.result, {entry}};
            }
        } else if (listing.result.isSuccess() && parser.isSet(options.verbose)) {
            fail(QStringLiteral("note: %1 is a directory, listed as %1/").arg(displayUrl(parser)));
        }
    }
    int status = exitStatus(listing.result);
    QString message = failureText(listing.result, QString(), trust);
    trust.reportPin();
    warnIfUnverified(parser, options, listing.result);
    if (status == Success) {
        for (const FtpFileInfo &entry : std::as_const(listing.entries)) {
            if (filter != FtpFileInfo::All && entry.type() != filter)
                continue;
            const QDateTime date = entry.modificationDateUtc();
            std::fprintf(output.stream(), "%s\t%lld\t%s\t%s\n", typeName(entry.type()),
                entry.size64(), date.isValid() ? qUtf8Printable(date.toString(Qt::ISODate)) : "-",
                qUtf8Printable(entry.name()));
        }
        if (std::fflush(output.stream()) != 0) {
            status = LocalFileError;
            message = QStringLiteral("cannot write standard output");
        }
    }
    if (status != Success) {
        return fail(
            QStringLiteral("ls: listing %1 failed: %2").arg(displayUrl(parser), message), status);
    }
    return Success;
}

int runGet(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Downloads a remote file into a local file, or to standard output.")
        + QLatin1String(exitStatusHelp));
    parser.addPositionalArgument(
        QStringLiteral("url"), QStringLiteral("ftp:// or ftps:// URL of the file."));
    parser.addPositionalArgument(QStringLiteral("localfile"),
        QStringLiteral("File to write (default: standard output). The download goes to a "
                       "temporary file beside it, renamed over it on success and removed "
                       "otherwise, so an existing file is only ever replaced whole."),
        QStringLiteral("[localfile]"));
    const QCommandLineOption continueOption(QStringLiteral("continue"),
        QStringLiteral("Download into LOCALFILE.part, keep it when the download fails or is "
                       "interrupted, and continue what it holds (the server's restart offset)."));
    parser.addOption(continueOption);
    const FtpOptions options;
    if (const int status = parseFtpCommand(parser, args, options, 2); status >= 0)
        return status;
    const QString localFile = parser.positionalArguments().value(1);
    if (parser.isSet(continueOption) && localFile.isEmpty())
        return fail(QStringLiteral("get: --continue needs a LOCALFILE"), UsageError);

    const CommandOutput output;
    const std::unique_ptr<FtpService> service = makeService(parser, options);
    if (!service)
        return UsageError;
    const RootTrust trust(*service, requestUrl(parser));
    const Interruption interruption(*service);
    showProgress(*service);
    const QString target
        = localFile.isEmpty() ? QString() : QFileInfo(localFile).absoluteFilePath();
    std::unique_ptr<SideFile> sideFile(
        target.isEmpty() ? nullptr : new SideFile(target, parser.isSet(continueOption)));
    int status = Failure;
    QString message = QStringLiteral("no answer");
    service->downloadFile(
        requestUrl(parser),
        [&](const QByteArray &data) {
            const FtpResult result = service->lastResult();
            status = exitStatus(result);
            message = failureText(result, localFile, trust);
            trust.reportPin();
            warnIfUnverified(parser, options, result);
            if (status == Success && localFile.isEmpty()
                && (std::fwrite(data.constData(), 1, size_t(data.size()), output.stream())
                        != size_t(data.size())
                    || std::fflush(output.stream()) != 0)) {
                status = LocalFileError;
                message = QStringLiteral("cannot write standard output");
            }
            if (status == Success && sideFile && !sideFile->commit()) {
                status = LocalFileError;
                message = QStringLiteral("cannot replace \"%1\"").arg(localFile);
            }
            QCoreApplication::exit();
        },
        sideFile ? sideFile->path() : QString(),
        parser.isSet(continueOption) ? FtpService::Resume : FtpService::DefaultTransfer);
    QCoreApplication::exec();
    if (::isatty(STDERR_FILENO))
        std::fputc('\n', stderr);
    if (status != Success) {
        return fail(
            QStringLiteral("get: downloading %1 failed: %2").arg(displayUrl(parser), message),
            status);
    }
    return Success;
}

int runPut(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Uploads a local file. The bytes go to a temporary name in the remote "
                       "folder, renamed to the target name only when every byte arrived, and "
                       "removed otherwise, so a remote file is only ever replaced whole.")
        + QLatin1String(exitStatusHelp));
    parser.addPositionalArgument(QStringLiteral("localfile"), QStringLiteral("File to send."));
    parser.addPositionalArgument(QStringLiteral("url"),
        QStringLiteral("ftp:// or ftps:// URL of the remote file; one ending in / names a folder, "
                       "to which the file goes under its own name."));
    const QCommandLineOption createDirs(
        QStringLiteral("create-dirs"), QStringLiteral("Make the missing folders of the URL."));
    const QCommandLineOption inPlace(QStringLiteral("in-place"),
        QStringLiteral("Write the remote file directly, without a temporary name (for servers "
                       "that refuse renames); a failed upload leaves a partial file."));
    const QCommandLineOption continueOption(QStringLiteral("continue"),
        QStringLiteral("Continue a partial remote file from its size (implies --in-place)."));
    parser.addOptions({createDirs, inPlace, continueOption});
    const FtpOptions options;
    if (const int status = parseFtpCommand(parser, args, options, 2, 1); status >= 0)
        return status;
    const QString localFile = parser.positionalArguments().constFirst();
    QString url = requestUrl(parser, 1);
    if (url.endsWith(QLatin1Char('/')))
        url += QString::fromLatin1(QUrl::toPercentEncoding(QFileInfo(localFile).fileName()));
    FtpService::TransferOptions chosen;
    chosen.setFlag(FtpService::CreateDirectories, parser.isSet(createDirs));
    chosen.setFlag(FtpService::InPlace, parser.isSet(inPlace));
    chosen.setFlag(FtpService::Resume, parser.isSet(continueOption));
    return runRequest(parser, options, args.first(), QStringLiteral("uploading to"), 1,
        [&](FtpService &service, const FtpService::ResultCallback &done) {
            service.uploadFile(localFile, url, done, chosen);
        });
}

int runMakeDirectory(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Makes a remote folder.") + QLatin1String(exitStatusHelp));
    parser.addPositionalArgument(
        QStringLiteral("url"), QStringLiteral("ftp:// or ftps:// URL of the folder."));
    const QCommandLineOption parents(QStringLiteral("parents"),
        QStringLiteral("Make the missing folders above it too; an existing folder is no error."));
    parser.addOption(parents);
    const FtpOptions options;
    if (const int status = parseFtpCommand(parser, args, options, 1); status >= 0)
        return status;
    return runRequest(parser, options, args.first(), QStringLiteral("making"), 0,
        [&](FtpService &service, const FtpService::ResultCallback &done) {
            service.makeDirectory(requestUrl(parser), done,
                parser.isSet(parents) ? FtpService::CreateDirectories
                                      : FtpService::DefaultTransfer);
        });
}

int runRemove(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Deletes a remote file, or with a URL that ends in / an empty remote "
                       "folder.")
        + QLatin1String(exitStatusHelp));
    parser.addPositionalArgument(
        QStringLiteral("url"), QStringLiteral("ftp:// or ftps:// URL of the file or folder."));
    const FtpOptions options;
    if (const int status = parseFtpCommand(parser, args, options, 1); status >= 0)
        return status;
    const QString url = requestUrl(parser);
    return runRequest(parser, options, args.first(), QStringLiteral("removing"), 0,
        [&](FtpService &service, const FtpService::ResultCallback &done) {
            if (url.endsWith(QLatin1Char('/')))
                service.removeDirectory(url, done);
            else
                service.removeFile(url, done);
        });
}

int runMove(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Renames or moves a remote file or folder.")
        + QLatin1String(exitStatusHelp));
    parser.addPositionalArgument(
        QStringLiteral("url"), QStringLiteral("ftp:// or ftps:// URL of the file or folder."));
    parser.addPositionalArgument(QStringLiteral("newname"),
        QStringLiteral("New name in the same folder, or a path (relative to that folder, or "
                       "absolute on the server) that moves it."));
    const FtpOptions options;
    if (const int status = parseFtpCommand(parser, args, options, 2); status >= 0)
        return status;
    if (parser.positionalArguments().size() < 2)
        return fail(
            QStringLiteral("mv: missing NEWNAME; see \"zendra-cli mv --help\""), UsageError);
    return runRequest(parser, options, args.first(), QStringLiteral("renaming"), 0,
        [&](FtpService &service, const FtpService::ResultCallback &done) {
            service.rename(requestUrl(parser), parser.positionalArguments().at(1), done);
        });
}
