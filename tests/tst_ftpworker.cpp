// SPDX-License-Identifier: MIT
#include "ftpserver.h"
#include "ftpworker_p.h"
#include "logcapture.h"
#include "testcertificates.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <memory>

using zendra::CertificateInfo;
using zendra::FtpWorker;

namespace {

QByteArray digest(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QString requestLine(const QString &name, const QString &url)
{
    return QStringLiteral(">> [FTP  \"%1\"  ]  \"%2\"").arg(name, url);
}

QString successLine(const QString &name, const QString &url)
{
    return requestLine(name, url) + QStringLiteral(" finished with success");
}

// The warning of a failed transfer: code, then libcurl's message (never empty for these).
QRegularExpression failureLine(const QString &prefix, const QString &url, int code)
{
    return QRegularExpression(QStringLiteral("^%1  \"%2\" finished with error  %3 \\S.*$")
                                  .arg(QRegularExpression::escape(prefix),
                                      QRegularExpression::escape(url), QString::number(code)));
}

const char teardownHostOption[] = "--teardown-host";

QString commonName(const CertificateInfo &info)
{
    return info.certificate().subjectInfo(QSslCertificate::CommonName).value(0);
}

} // namespace

enum class Failure {
    ConnectionRefused,
    WrongPassword,
    DroppedIntoMemory,
    DroppedIntoFile,
    FullDevice,
};
Q_DECLARE_METATYPE(Failure)

// Talks to the worker the way the FTP service does: through signal-slot connections that Qt
// queues across the threads, with the answers arriving on the test thread.
class WorkerClient : public QObject
{
    Q_OBJECT

public:
    struct Answer
    {
        QUuid id;
        QByteArray data;
        qint64 at;
    };
    struct Chain
    {
        QList<CertificateInfo> certificates;
        qint64 at;
    };

    WorkerClient(FtpWorker *worker, const QString &user, const QString &password)
        : m_user(user), m_password(password)
    {
        m_clock.start();
        connect(this, &WorkerClient::download, worker, &FtpWorker::downloadFile);
        connect(this, &WorkerClient::downloadInFile, worker, &FtpWorker::downloadInFile);
        connect(this, &WorkerClient::listDir, worker, &FtpWorker::listDirectory);
        connect(this, &WorkerClient::setCertificate, worker, &FtpWorker::setCertificate);
        connect(this, &WorkerClient::closeHandler, worker, &FtpWorker::closeHandler);
        connect(this, &WorkerClient::verifyPeerChanged, worker, &FtpWorker::setPeerVerification);
        connect(this, &WorkerClient::verifyHostChanged, worker, &FtpWorker::setHostVerification);
        connect(this, &WorkerClient::activateSslChanged, worker, &FtpWorker::setActivateSsl);
        connect(worker, &FtpWorker::requestFinished, this, &WorkerClient::onRequestFinished);
        connect(worker, &FtpWorker::certificateUpdateRequired, this,
            &WorkerClient::onCertificateUpdateRequired);
    }

    QUuid get(const QString &url, const QString &password = QString())
    {
        const QUuid id = QUuid::createUuid();
        Q_EMIT download(url, m_user, password.isNull() ? m_password : password, id);
        return id;
    }

    QUuid getInFile(const QString &url, const QString &filePath)
    {
        const QUuid id = QUuid::createUuid();
        Q_EMIT downloadInFile(url, m_user, m_password, id, filePath);
        return id;
    }

    QUuid list(const QString &url)
    {
        const QUuid id = QUuid::createUuid();
        Q_EMIT listDir(url, m_user, m_password, id);
        return id;
    }

    // Waits (bounded) until @p count answers have arrived in total.
    bool waitForAnswers(int count, int timeoutMs = 20000)
    {
        return QTest::qWaitFor([&] { return answers.size() >= count; }, timeoutMs);
    }

    // Sends @p url and waits for its answer; the data, or a null array on time-out.
    QByteArray fetch(const QString &url, int timeoutMs = 20000)
    {
        const QUuid id = get(url);
        if (!waitForAnswers(int(answers.size()) + 1, timeoutMs) || answers.last().id != id)
            return QByteArray();
        return answers.last().data;
    }

    qint64 elapsed() const { return m_clock.elapsed(); }

    QList<Answer> answers;
    QList<Chain> chains;

Q_SIGNALS:
    void download(
        const QString &url, const QString &username, const QString &password, const QUuid &id);
    void downloadInFile(const QString &url, const QString &username, const QString &password,
        const QUuid &id, const QString &filePath);
    void listDir(
        const QString &url, const QString &username, const QString &password, const QUuid &id);
    void setCertificate(const QString &filePath);
    void closeHandler(const QString &key);
    void verifyPeerChanged(bool verify);
    void verifyHostChanged(bool verify);
    void activateSslChanged(bool activate);

private Q_SLOTS:
    void onRequestFinished(QUuid id, QByteArray data)
    {
        answers.append({id, data, m_clock.elapsed()});
    }
    void onCertificateUpdateRequired(const QList<zendra::CertificateInfo> &chain)
    {
        chains.append({chain, m_clock.elapsed()});
    }

private:
    QString m_user;
    QString m_password;
    QElapsedTimer m_clock;
};

class tst_FtpWorker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void downloadIntoMemoryIsByteIdentical_data();
    void downloadIntoMemoryIsByteIdentical();
    void downloadIntoFileWritesTheBytesAndAnswersWithThePath();
    void unopenableFileIsAnsweredAtOnceWithoutTransfer();
    void listingAnswersWithTheRawMlsdReply();
    void consecutiveRequestsShareOneLogin();
    void closeHandlerForcesANewLogin();
    void otherHostsGetTheirOwnHandles();
    void otherSchemesGetTheirOwnHandles();
    void activateSslDecidesOnTls_data();
    void activateSslDecidesOnTls();
    void cachedHandleKeepsAskingForTls();
    void certificateFailureRepeatsUntilTheRootIsSet_data();
    void certificateFailureRepeatsUntilTheRootIsSet();
    void failingProbeStillEmitsAnEmptyChain();
    void missingCertificateFileStillReplacesTheCaPath();
    void transferFailureEndsWithOneWarning_data();
    void transferFailureEndsWithOneWarning();
    void proftpdTlsRequestsShareOneQuickLoginUntilTheServerDies();
    void settingsSlotsLogTheirValues();
    void deletingTheWorkerEndsItsThread();
    void deletingTheWorkerCancelsAPendingRepetition();
    void applicationTeardownRightAfterTheWorkerIsClean();

private:
    // A started server, or null with the reason in m_serverError.
    std::unique_ptr<FtpServer> startServer(const FtpServer::Options &options = {});
    FtpServer::Options tlsOptions(FtpServer::Tls tls = FtpServer::Tls::Allowed) const;
    void makeWorker(const FtpServer &server);
    bool destroyWorker();

    TestCertificates m_certificates;
    QPointer<FtpWorker> m_worker;
    std::unique_ptr<WorkerClient> m_client;
    std::unique_ptr<LogCapture> m_log;
    QString m_serverError;
};

void tst_FtpWorker::initTestCase()
{
    QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorString()));
}

void tst_FtpWorker::init()
{
    m_log = std::make_unique<LogCapture>();
}

void tst_FtpWorker::cleanup()
{
    QVERIFY(destroyWorker());
    m_log.reset();
}

std::unique_ptr<FtpServer> tst_FtpWorker::startServer(const FtpServer::Options &options)
{
    auto server = std::make_unique<FtpServer>(options);
    if (!server->start()) {
        m_serverError = server->errorString();
        return nullptr;
    }
    return server;
}

FtpServer::Options tst_FtpWorker::tlsOptions(FtpServer::Tls tls) const
{
    return FtpServer::tlsOptions(
        tls, m_certificates.fullChainFile(), m_certificates.serverKeyFile());
}

void tst_FtpWorker::makeWorker(const FtpServer &server)
{
    m_worker = new FtpWorker;
    m_client = std::make_unique<WorkerClient>(m_worker, server.user(), server.password());
}

bool tst_FtpWorker::destroyWorker()
{
    if (!m_worker)
        return true;
    const QPointer<QThread> thread = m_worker->thread();
    m_worker->deleteLater();
    const bool gone = QTest::qWaitFor([&] { return thread.isNull(); }, 20000);
    m_client.reset();
    return gone && m_worker.isNull();
}

void tst_FtpWorker::downloadIntoMemoryIsByteIdentical_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("empty") << qint64(0);
    QTest::newRow("one byte") << qint64(1);
    QTest::newRow("64 KiB") << qint64(64 * 1024);
    QTest::newRow("50 MiB") << qint64(50 * 1024 * 1024);
}

void tst_FtpWorker::downloadIntoMemoryIsByteIdentical()
{
    QFETCH(qint64, size);
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    const QByteArray content = FtpServer::testData(size);
    QVERIFY(server->writeFile(QStringLiteral("data.bin"), content));
    makeWorker(*server);

    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("data.bin"));
    const QUuid id = m_client->get(url);
    QVERIFY(m_client->waitForAnswers(1, 60000));
    QCOMPARE(m_client->answers.size(), 1);
    QCOMPARE(m_client->answers.first().id, id);
    QCOMPARE(m_client->answers.first().data.size(), size);
    QCOMPARE(digest(m_client->answers.first().data), digest(content));
    QVERIFY(m_client->chains.isEmpty());

    QCOMPARE(m_log->messages(QtDebugMsg),
        QStringList {requestLine(QStringLiteral("DOWNLOADFILE"), url)});
    QCOMPARE(
        m_log->messages(QtInfoMsg), QStringList {successLine(QStringLiteral("DOWNLOADFILE"), url)});
    QVERIFY(m_log->messages(QtWarningMsg).isEmpty());
}

void tst_FtpWorker::downloadIntoFileWritesTheBytesAndAnswersWithThePath()
{
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    // Not a multiple of the block sizes, so the tail waits in QFile's buffer until the close.
    const QByteArray content = FtpServer::testData(200 * 1024 + 123, 7);
    QVERIFY(server->writeFile(QStringLiteral("data.bin"), content));
    QTemporaryDir target;
    QVERIFY(target.isValid());
    // A Latin-1 letter tells the path's Latin-1 bytes from its UTF-8 ones.
    const QString filePath = target.filePath(QStringLiteral("r\u00e9sultat.bin"));
    makeWorker(*server);
    // What is on disk at the moment the worker emits, on its own thread.
    std::atomic<qint64> sizeAtSignal {-1};
    connect(
        m_worker, &FtpWorker::requestFinished, m_worker,
        [&sizeAtSignal, filePath] { sizeAtSignal = QFileInfo(filePath).size(); },
        Qt::DirectConnection);

    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("data.bin"));
    const QUuid id = m_client->getInFile(url, filePath);
    QVERIFY(m_client->waitForAnswers(1));
    QCOMPARE(m_client->answers.first().id, id);
    QCOMPARE(m_client->answers.first().data, filePath.toLatin1());
    QVERIFY(m_client->answers.first().data != filePath.toUtf8());
    // The direct connection runs on the worker's thread, maybe after the answer arrived here.
    QTRY_COMPARE(sizeAtSignal.load(), qint64(content.size()));
    QFile file(filePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(digest(file.readAll()), digest(content));

    QCOMPARE(m_log->messages(QtDebugMsg),
        QStringList {requestLine(QStringLiteral("DOWNLOADINFILE"), url)});
    QCOMPARE(m_log->messages(QtInfoMsg),
        QStringList {successLine(QStringLiteral("DOWNLOADINFILE"), url)});
}

void tst_FtpWorker::unopenableFileIsAnsweredAtOnceWithoutTransfer()
{
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("data.bin"), "payload"));
    QTemporaryDir target;
    QVERIFY(target.isValid());
    const QString filePath = target.filePath(QStringLiteral("missing/file.bin"));
    makeWorker(*server);

    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("data.bin"));
    const QUuid id = m_client->getInFile(url, filePath);
    QVERIFY(m_client->waitForAnswers(1));
    QCOMPARE(m_client->answers.first().id, id);
    QVERIFY(m_client->answers.first().data.isEmpty());
    QCOMPARE(m_log->messages(), QStringList {requestLine(QStringLiteral("DOWNLOADINFILE"), url)});
    QVERIFY(!QFileInfo::exists(filePath));

    // A transfer that follows is the server's only one.
    QCOMPARE(m_client->fetch(url), QByteArray("payload"));
    QCOMPARE(server->connectionCount(), 1);
    QCOMPARE(server->commandCount(QStringLiteral("RETR")), 1);
}

void tst_FtpWorker::listingAnswersWithTheRawMlsdReply()
{
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "hello"));
    QVERIFY(server->writeFile(QStringLiteral("sub/inner.bin"), FtpServer::testData(10)));
    QVERIFY(server->makeDirectory(QStringLiteral("empty")));
    makeWorker(*server);

    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("/"));
    const QUuid id = m_client->list(url);
    QVERIFY(m_client->waitForAnswers(1));
    QCOMPARE(m_client->answers.first().id, id);
    const QByteArray reply = m_client->answers.first().data;

    // ASCII mode: LF line ends.
    QVERIFY(!reply.contains('\r'));
    QVERIFY(reply.endsWith('\n'));
    QHash<QByteArray, QByteArray> facts;
    for (const QByteArray &line : reply.chopped(1).split('\n')) {
        const qsizetype separator = line.indexOf("; ");
        QVERIFY2(separator > 0, line.constData());
        facts.insert(line.mid(separator + 2), ';' + line.left(separator + 1));
    }
    QCOMPARE(facts.size(), 3);
    QVERIFY(facts.value("a.txt").contains(";type=file;"));
    QVERIFY(facts.value("a.txt").contains(";size=5;"));
    QVERIFY(facts.value("sub").contains(";type=dir;"));
    QVERIFY(facts.value("empty").contains(";type=dir;"));
    QCOMPARE(server->commandCount(QStringLiteral("MLSD")), 1);

    QCOMPARE(m_log->messages(QtDebugMsg),
        QStringList {requestLine(QStringLiteral("LISTDIRECTORY"), url)});
    QCOMPARE(m_log->messages(QtInfoMsg),
        QStringList {successLine(QStringLiteral("LISTDIRECTORY"), url)});
}

void tst_FtpWorker::consecutiveRequestsShareOneLogin()
{
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    const QByteArray big = FtpServer::testData(300 * 1024, 3);
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "first"));
    QVERIFY(server->writeFile(QStringLiteral("b.bin"), big));
    QTemporaryDir target;
    QVERIFY(target.isValid());
    makeWorker(*server);

    QCOMPARE(m_client->fetch(server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"))),
        QByteArray("first"));
    m_client->list(server->url(QStringLiteral("ftp"), QStringLiteral("/")));
    QVERIFY(m_client->waitForAnswers(2));
    QVERIFY(m_client->answers.last().data.contains("; b.bin\n"));
    // The handle that served the listing retrieves a file again.
    QCOMPARE(digest(m_client->fetch(server->url(QStringLiteral("ftp"), QStringLiteral("b.bin")))),
        digest(big));
    const QString filePath = target.filePath(QStringLiteral("a.txt"));
    m_client->getInFile(server->url(QStringLiteral("ftp"), QStringLiteral("a.txt")), filePath);
    QVERIFY(m_client->waitForAnswers(4));
    QCOMPARE(m_client->answers.last().data, filePath.toLatin1());

    // A directory retrieved after the listing is a plain LIST again, neither MLSD nor NLST.
    const QByteArray directory
        = m_client->fetch(server->url(QStringLiteral("ftp"), QStringLiteral("/")));
    QVERIFY(directory.contains("b.bin"));
    QVERIFY(!directory.contains("type=file;"));

    QCOMPARE(server->connectionCount(), 1);
    QCOMPARE(server->loginCount(), 1);
    QCOMPARE(server->commandCount(QStringLiteral("RETR")), 3);
    QCOMPARE(server->commandCount(QStringLiteral("MLSD")), 1);
    QCOMPARE(server->commandCount(QStringLiteral("LIST")), 1);
    QCOMPARE(server->commandCount(QStringLiteral("NLST")), 0);
}

void tst_FtpWorker::closeHandlerForcesANewLogin()
{
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "payload"));
    makeWorker(*server);
    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"));

    QCOMPARE(m_client->fetch(url), QByteArray("payload"));
    // Keys that are not cached change nothing.
    Q_EMIT m_client->closeHandler(QStringLiteral("ftp/localhost"));
    Q_EMIT m_client->closeHandler(QStringLiteral("ftps/127.0.0.1"));
    QCOMPARE(m_client->fetch(url), QByteArray("payload"));
    QCOMPARE(server->loginCount(), 1);

    Q_EMIT m_client->closeHandler(QStringLiteral("ftp/127.0.0.1"));
    QTRY_COMPARE(server->closedCount(), 1);
    QCOMPARE(m_client->fetch(url), QByteArray("payload"));
    QCOMPARE(server->connectionCount(), 2);
    QCOMPARE(server->loginCount(), 2);
    QVERIFY(m_log->messages(QtWarningMsg).isEmpty());
}

void tst_FtpWorker::otherHostsGetTheirOwnHandles()
{
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "payload"));
    makeWorker(*server);
    const QString byAddress = server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"));
    const QString byName
        = server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"), QStringLiteral("localhost"));

    QCOMPARE(m_client->fetch(byAddress), QByteArray("payload"));
    QCOMPARE(m_client->fetch(byName), QByteArray("payload"));
    QCOMPARE(m_client->fetch(byAddress), QByteArray("payload"));
    QCOMPARE(server->loginCount(), 2);

    // Closing one host's handle leaves the other's connection alone.
    Q_EMIT m_client->closeHandler(QStringLiteral("ftp/localhost"));
    QTRY_COMPARE(server->closedCount(), 1);
    const QList<FtpServer::Session> sessions = server->sessions();
    QCOMPARE(sessions.size(), 2);
    QVERIFY(!sessions.at(0).closed);
    QVERIFY(sessions.at(1).closed);
    QCOMPARE(m_client->fetch(byAddress), QByteArray("payload"));
    QCOMPARE(server->loginCount(), 2);
}

void tst_FtpWorker::otherSchemesGetTheirOwnHandles()
{
    const auto plain = startServer();
    QVERIFY2(plain, qPrintable(m_serverError));
    const auto implicit = startServer(tlsOptions(FtpServer::Tls::Implicit));
    QVERIFY2(implicit, qPrintable(m_serverError));
    QVERIFY(plain->writeFile(QStringLiteral("a.txt"), "plain"));
    QVERIFY(implicit->writeFile(QStringLiteral("a.txt"), "secure"));
    makeWorker(*plain);
    Q_EMIT m_client->setCertificate(m_certificates.rootCaFile());
    const QString plainUrl = plain->url(QStringLiteral("ftp"), QStringLiteral("a.txt"));
    const QString secureUrl = implicit->url(QStringLiteral("ftps"), QStringLiteral("a.txt"));

    QCOMPARE(m_client->fetch(plainUrl), QByteArray("plain"));
    QCOMPARE(m_client->fetch(secureUrl), QByteArray("secure"));
    QCOMPARE(m_client->fetch(plainUrl), QByteArray("plain"));
    QCOMPARE(plain->loginCount(), 1);
    QCOMPARE(implicit->loginCount(), 1);
    QCOMPARE(implicit->tlsLoginCount(), 1);

    Q_EMIT m_client->closeHandler(QStringLiteral("ftps/127.0.0.1"));
    QTRY_COMPARE(implicit->closedCount(), 1);
    QCOMPARE(m_client->fetch(plainUrl), QByteArray("plain"));
    QCOMPARE(plain->closedCount(), 0);
    QCOMPARE(plain->loginCount(), 1);
}

void tst_FtpWorker::activateSslDecidesOnTls_data()
{
    QTest::addColumn<bool>("activate");
    QTest::newRow("on") << true;
    QTest::newRow("off") << false;
}

void tst_FtpWorker::activateSslDecidesOnTls()
{
    QFETCH(bool, activate);
    const auto server = startServer(tlsOptions());
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "payload"));
    makeWorker(*server);
    Q_EMIT m_client->setCertificate(m_certificates.rootCaFile());
    if (!activate)
        Q_EMIT m_client->activateSslChanged(false);

    QCOMPARE(m_client->fetch(server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"))),
        QByteArray("payload"));
    const QList<FtpServer::Session> sessions = server->sessions();
    QCOMPARE(sessions.size(), 1);
    QVERIFY(sessions.first().loggedIn);
    QCOMPARE(sessions.first().tls, activate);
    QCOMPARE(sessions.first().hasCommand(QStringLiteral("AUTH")), activate);
    for (const FtpServer::Command &command : sessions.first().commands) {
        if (command.name == QLatin1String("RETR"))
            QCOMPARE(command.dataProtected, activate);
    }
}

void tst_FtpWorker::cachedHandleKeepsAskingForTls()
{
    // Same host, other ports: both servers are reached through the handle "ftp/127.0.0.1".
    const auto first = startServer(tlsOptions());
    QVERIFY2(first, qPrintable(m_serverError));
    const auto second = startServer(tlsOptions());
    QVERIFY2(second, qPrintable(m_serverError));
    QVERIFY(first->writeFile(QStringLiteral("a.txt"), "first"));
    QVERIFY(second->writeFile(QStringLiteral("a.txt"), "second"));
    makeWorker(*first);
    Q_EMIT m_client->setCertificate(m_certificates.rootCaFile());

    QCOMPARE(m_client->fetch(first->url(QStringLiteral("ftp"), QStringLiteral("a.txt"))),
        QByteArray("first"));
    QCOMPARE(first->tlsLoginCount(), 1);

    Q_EMIT m_client->activateSslChanged(false);
    // A new connection on the cached handle still asks for TLS ...
    QCOMPARE(m_client->fetch(second->url(QStringLiteral("ftp"), QStringLiteral("a.txt"))),
        QByteArray("second"));
    // ... a handle created now does not.
    QCOMPARE(m_client->fetch(second->url(
                 QStringLiteral("ftp"), QStringLiteral("a.txt"), QStringLiteral("localhost"))),
        QByteArray("second"));
    const QList<FtpServer::Session> sessions = second->sessions();
    QCOMPARE(sessions.size(), 2);
    QVERIFY(sessions.at(0).loggedIn && sessions.at(0).tls);
    QVERIFY(sessions.at(1).loggedIn && !sessions.at(1).tls);
}

void tst_FtpWorker::certificateFailureRepeatsUntilTheRootIsSet_data()
{
    QTest::addColumn<bool>("withRoot");
    QTest::addColumn<bool>("foreignCa");
    QTest::addColumn<int>("code");
    // No CA file yet: libcurl is given an empty CA path.
    QTest::newRow("full chain, no CA file") << true << false << 77;
    QTest::newRow("full chain, CA file of another issuer") << true << true << 60;
    QTest::newRow("chain without root, no CA file") << false << false << 77;
}

void tst_FtpWorker::certificateFailureRepeatsUntilTheRootIsSet()
{
    QFETCH(bool, withRoot);
    QFETCH(bool, foreignCa);
    QFETCH(int, code);
    FtpServer::Options options = tlsOptions();
    if (!withRoot)
        options.certificateChainFile = m_certificates.chainWithoutRootFile();
    const auto server = startServer(options);
    QVERIFY2(server, qPrintable(m_serverError));
    const auto other = startServer();
    QVERIFY2(other, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "secret payload\n"));
    QVERIFY(other->writeFile(QStringLiteral("a.txt"), "other\n"));
    makeWorker(*server);
    const QString otherUrl
        = other->url(QStringLiteral("ftp"), QStringLiteral("a.txt"), QStringLiteral("localhost"));
    // Another server's handle is cached before the failure.
    QCOMPARE(m_client->fetch(otherUrl), QByteArray("other\n"));
    if (foreignCa)
        Q_EMIT m_client->setCertificate(m_certificates.selfSignedCertificateFile());
    m_log->clear();

    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"));
    const QUuid id = m_client->get(url);
    // Without a fix the request fails again and again under the same id.
    QVERIFY(QTest::qWaitFor([&] { return m_client->chains.size() >= 2; }, 10000));
    Q_EMIT m_client->setCertificate(m_certificates.rootCaFile());
    QVERIFY(m_client->waitForAnswers(2));
    QVERIFY(!QTest::qWaitFor([&] { return m_client->answers.size() > 2; }, 1000));
    const WorkerClient::Answer answer = m_client->answers.at(1);
    QCOMPARE(answer.id, id);
    QCOMPARE(answer.data, QByteArray("secret payload\n"));

    const int failures = int(m_client->chains.size());
    const QList<QSslCertificate> root = QSslCertificate::fromPath(m_certificates.rootCaFile());
    QCOMPARE(root.size(), 1);
    for (int i = 0; i < failures; ++i) {
        const QList<CertificateInfo> &chain = m_client->chains.at(i).certificates;
        // As the server presents it, its own certificate first.
        QCOMPARE(chain.size(), withRoot ? 3 : 2);
        QCOMPARE(commonName(chain.at(0)), TestCertificates::serverCommonName());
        QCOMPARE(commonName(chain.at(1)), TestCertificates::intermediateCommonName());
        if (withRoot) {
            QCOMPARE(commonName(chain.at(2)), TestCertificates::rootCommonName());
            QCOMPARE(chain.at(2).certificate(), root.first());
        }
        if (i > 0)
            QVERIFY(m_client->chains.at(i).at - m_client->chains.at(i - 1).at >= 450);
    }
    QVERIFY(answer.at - m_client->chains.last().at >= 450);

    const QString name = QStringLiteral("DOWNLOADFILE");
    const QStringList warnings = m_log->messages(QtWarningMsg);
    QCOMPARE(warnings.size(), failures);
    const QRegularExpression failure
        = failureLine(QStringLiteral(">> [FTP  \"%1\"  ]").arg(name), url, code);
    for (const QString &warning : warnings)
        QVERIFY2(failure.match(warning).hasMatch(), qPrintable(warning));
    const QStringList debug = m_log->messages(QtDebugMsg);
    const QString probe = QStringLiteral(">> [READ CERTIFICATE]  \"%1\"").arg(url);
    QCOMPARE(debug.count(requestLine(name, url)), failures + 1);
    QCOMPARE(debug.count(probe), failures);
    const QStringList info = m_log->messages(QtInfoMsg);
    QCOMPARE(info.count(probe + QStringLiteral(" finished with success")), failures);
    QCOMPARE(info.count(successLine(name, url)), 1);

    // Every handle went, the other server's too.
    QTRY_COMPARE(other->closedCount(), 1);
    QCOMPARE(m_client->fetch(otherUrl), QByteArray("other\n"));
    QCOMPARE(other->loginCount(), 2);
}

void tst_FtpWorker::failingProbeStillEmitsAnEmptyChain()
{
    // Names that match neither localhost nor 127.0.0.1: with host verification on, the probe
    // fails as well although it does not verify the peer.
    FtpServer::Options options = tlsOptions();
    options.certificateChainFile = m_certificates.otherHostChainFile();
    options.keyFile = m_certificates.otherHostKeyFile();
    const auto server = startServer(options);
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "payload"));
    makeWorker(*server);
    Q_EMIT m_client->setCertificate(m_certificates.rootCaFile());

    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"));
    const QUuid id = m_client->get(url);
    QVERIFY(QTest::qWaitFor([&] { return !m_client->chains.isEmpty(); }, 10000));
    Q_EMIT m_client->verifyHostChanged(false);
    QVERIFY(m_client->waitForAnswers(1));
    QVERIFY(!QTest::qWaitFor([&] { return m_client->answers.size() > 1; }, 1000));
    QCOMPARE(m_client->answers.first().id, id);
    QCOMPARE(m_client->answers.first().data, QByteArray("payload"));
    QCOMPARE(m_client->chains.size(), 1);
    QVERIFY(m_client->chains.first().certificates.isEmpty());
    QVERIFY(m_client->answers.first().at - m_client->chains.first().at >= 450);

    const QStringList warnings = m_log->messages(QtWarningMsg);
    QCOMPARE(warnings.size(), 2);
    QVERIFY2(failureLine(QStringLiteral(">> [FTP  \"DOWNLOADFILE\"  ]"), url, 60)
                 .match(warnings.at(0))
                 .hasMatch(),
        qPrintable(warnings.at(0)));
    QVERIFY2(failureLine(QStringLiteral(">> [READ CERTIFICATE]"), url, 60)
                 .match(warnings.at(1))
                 .hasMatch(),
        qPrintable(warnings.at(1)));
}

void tst_FtpWorker::missingCertificateFileStillReplacesTheCaPath()
{
    const auto server = startServer(tlsOptions());
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "payload"));
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    makeWorker(*server);
    Q_EMIT m_client->setCertificate(m_certificates.rootCaFile());
    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"));
    QCOMPARE(m_client->fetch(url), QByteArray("payload"));

    Q_EMIT m_client->setCertificate(directory.filePath(QStringLiteral("missing.pem")));
    // A connection that is already secured would be reused without a new check.
    Q_EMIT m_client->closeHandler(QStringLiteral("ftp/127.0.0.1"));
    const QUuid id = m_client->get(url);
    QVERIFY(QTest::qWaitFor([&] { return !m_client->chains.isEmpty(); }, 10000));
    Q_EMIT m_client->setCertificate(m_certificates.rootCaFile());
    QVERIFY(m_client->waitForAnswers(2));
    QCOMPARE(m_client->answers.at(1).id, id);
    QCOMPARE(m_client->answers.at(1).data, QByteArray("payload"));
    const QStringList warnings = m_log->messages(QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(failureLine(QStringLiteral(">> [FTP  \"DOWNLOADFILE\"  ]"), url, 77)
                 .match(warnings.first())
                 .hasMatch(),
        qPrintable(warnings.first()));
}

void tst_FtpWorker::transferFailureEndsWithOneWarning_data()
{
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<int>("code");
    QTest::newRow("connection refused") << Failure::ConnectionRefused << 7;
    QTest::newRow("wrong password") << Failure::WrongPassword << 67;
    QTest::newRow("data connection dropped, into memory") << Failure::DroppedIntoMemory << 18;
    QTest::newRow("data connection dropped, into a file") << Failure::DroppedIntoFile << 18;
    QTest::newRow("local file on a full device") << Failure::FullDevice << 23;
}

void tst_FtpWorker::transferFailureEndsWithOneWarning()
{
    QFETCH(Failure, failure);
    QFETCH(int, code);
    const qint64 dropAfter = 5000;
    FtpServer::Options options;
    if (failure == Failure::DroppedIntoMemory || failure == Failure::DroppedIntoFile)
        options.dropDataAfter = dropAfter;
    const auto server = startServer(options);
    QVERIFY2(server, qPrintable(m_serverError));
    // Larger than QFile's buffer, so writing to a full device fails during the transfer.
    const QByteArray content = FtpServer::testData(256 * 1024, 11);
    QVERIFY(server->writeFile(QStringLiteral("data.bin"), content));
    QTemporaryDir target;
    QVERIFY(target.isValid());
    makeWorker(*server);

    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("data.bin"));
    QString password;
    QString filePath;
    switch (failure) {
    case Failure::ConnectionRefused:
        server->stop();
        break;
    case Failure::WrongPassword:
        password = QStringLiteral("wrong");
        break;
    case Failure::DroppedIntoMemory:
        break;
    case Failure::DroppedIntoFile:
        filePath = target.filePath(QStringLiteral("partial.bin"));
        break;
    case Failure::FullDevice:
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        filePath = QStringLiteral("/dev/full");
        break;
    }
    const QUuid id
        = filePath.isEmpty() ? m_client->get(url, password) : m_client->getInFile(url, filePath);
    QVERIFY(m_client->waitForAnswers(1));
    QVERIFY(!QTest::qWaitFor([&] { return m_client->answers.size() > 1; }, 300));
    QCOMPARE(m_client->answers.first().id, id);
    const QByteArray expected
        = failure == Failure::DroppedIntoMemory ? content.left(dropAfter) : QByteArray();
    QCOMPARE(m_client->answers.first().data, expected);
    QVERIFY(m_client->chains.isEmpty());

    const QString name
        = filePath.isEmpty() ? QStringLiteral("DOWNLOADFILE") : QStringLiteral("DOWNLOADINFILE");
    const QStringList warnings = m_log->messages(QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(failureLine(QStringLiteral(">> [FTP  \"%1\"  ]").arg(name), url, code)
                 .match(warnings.first())
                 .hasMatch(),
        qPrintable(warnings.first()));
    QCOMPARE(m_log->messages(QtDebugMsg), QStringList {requestLine(name, url)});
    QVERIFY(m_log->messages(QtInfoMsg).isEmpty());

    if (failure == Failure::DroppedIntoFile) {
        // The partial file is closed and left in place.
        QFile file(filePath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content.left(dropAfter));
    }
    if (failure == Failure::WrongPassword) {
        QCOMPARE(server->loginCount(), 0);
        QVERIFY(server->sessions().value(0).loginFailed);
    }
}

void tst_FtpWorker::proftpdTlsRequestsShareOneQuickLoginUntilTheServerDies()
{
    FtpServer::Options options = tlsOptions(FtpServer::Tls::Required);
    options.backend = FtpServer::Backend::Proftpd;
    options.rateKiB = 4096;
    const auto server = startServer(options);
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("big.bin"), FtpServer::testData(16 << 20, 21)));
    const int count = 20;
    for (int i = 0; i < count; ++i)
        QVERIFY(server->writeFile(QStringLiteral("%1.bin").arg(i), FtpServer::testData(4096, i)));
    makeWorker(*server);
    Q_EMIT m_client->setCertificate(m_certificates.rootCaFile());

    for (int i = 0; i < count; ++i)
        m_client->get(server->url(QStringLiteral("ftp"), QStringLiteral("%1.bin").arg(i)));
    QVERIFY(m_client->waitForAnswers(count));
    for (int i = 0; i < count; ++i)
        QCOMPARE(m_client->answers.at(i).data, FtpServer::testData(4096, i));
    // Left to curl_easy_perform, libcurl 7.88 spends 200 ms to 1.2 s on each of these files,
    // waiting for a control reply while it watches only the data connection's TLS handshake.
    QVERIFY(m_client->answers.last().at - m_client->answers.first().at < 2000);
    QCOMPARE(server->loginCount(), 1);
    QCOMPARE(server->tlsLoginCount(), 1);

    QTemporaryDir target;
    QVERIFY(target.isValid());
    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("big.bin"));
    const QString filePath = target.filePath(QStringLiteral("big.bin"));
    const QUuid id = m_client->getInFile(url, filePath);
    QTRY_VERIFY(QFileInfo(filePath).size() > 0);
    server->stop();
    QVERIFY(m_client->waitForAnswers(count + 1));
    QVERIFY(!QTest::qWaitFor([&] { return m_client->answers.size() > count + 1; }, 300));
    QCOMPARE(m_client->answers.last().id, id);
    QVERIFY(m_client->answers.last().data.isEmpty());
    const QStringList warnings = m_log->messages(QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(failureLine(QStringLiteral(">> [FTP  \"DOWNLOADINFILE\"  ]"), url, 18)
                 .match(warnings.first())
                 .hasMatch(),
        qPrintable(warnings.first()));
}

void tst_FtpWorker::settingsSlotsLogTheirValues()
{
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "payload"));
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString notPem = directory.filePath(QStringLiteral("not-a-certificate.pem"));
    {
        QFile file(notPem);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("not a certificate\n") > 0);
    }
    makeWorker(*server);

    Q_EMIT m_client->verifyPeerChanged(false);
    Q_EMIT m_client->verifyHostChanged(true);
    Q_EMIT m_client->activateSslChanged(false);
    Q_EMIT m_client->setCertificate(m_certificates.rootCaFile());
    Q_EMIT m_client->setCertificate(directory.filePath(QStringLiteral("missing.pem")));
    Q_EMIT m_client->setCertificate(notPem);
    // Requests and settings run in arrival order: once this answer is in, all of them ran.
    const QString url = server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"));
    QCOMPARE(m_client->fetch(url), QByteArray("payload"));

    const QStringList expected {
        QStringLiteral(">> Set peer verification to:  false"),
        QStringLiteral(">> Set host verification to:  true"),
        QStringLiteral(">> Set activate ssl to:  false"),
        QStringLiteral(">> Set certificate with common name:  QList(\"%1\")")
            .arg(TestCertificates::rootCommonName()),
        QStringLiteral(">> Set certificate with common name:  QList()"),
        requestLine(QStringLiteral("DOWNLOADFILE"), url),
        successLine(QStringLiteral("DOWNLOADFILE"), url),
    };
    const QList<QtMsgType> levels {
        QtDebugMsg, QtDebugMsg, QtDebugMsg, QtInfoMsg, QtInfoMsg, QtDebugMsg, QtInfoMsg};
    const QList<LogCapture::Entry> entries = m_log->entries();
    QCOMPARE(m_log->messages(), expected);
    for (qsizetype i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries.at(i).type, levels.at(i));
        QVERIFY(!entries.at(i).hasContext);
    }

    // The certificate store calls this one directly from the service's thread.
    m_worker->setPeerVerification(true);
    QCOMPARE(m_log->messages().last(), QStringLiteral(">> Set peer verification to:  true"));
}

void tst_FtpWorker::deletingTheWorkerEndsItsThread()
{
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "payload"));
    makeWorker(*server);
    QCOMPARE(m_client->fetch(server->url(QStringLiteral("ftp"), QStringLiteral("a.txt"))),
        QByteArray("payload"));

    const QPointer<QThread> thread = m_worker->thread();
    QVERIFY(thread);
    QVERIFY(thread != QThread::currentThread());
    QVERIFY(thread->isRunning());
    QCOMPARE(thread->priority(), QThread::LowestPriority);
    // Counted on the worker's thread, which a spy's list is not safe for.
    std::atomic<int> destroyed {0};
    connect(m_worker, &QObject::destroyed, [&destroyed] { ++destroyed; });
    m_worker->deleteLater();
    // The thread object goes only once its thread has finished.
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
    QCOMPARE(destroyed.load(), 1);
    // The cached handle was closed with the worker.
    QTRY_COMPARE(server->closedCount(), 1);
}

void tst_FtpWorker::deletingTheWorkerCancelsAPendingRepetition()
{
    const auto server = startServer(tlsOptions());
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "payload"));
    makeWorker(*server);
    m_client->get(server->url(QStringLiteral("ftp"), QStringLiteral("a.txt")));
    QVERIFY(QTest::qWaitFor([&] { return !m_client->chains.isEmpty(); }, 10000));

    const int connections = server->connectionCount();
    const QPointer<QThread> thread = m_worker->thread();
    m_worker->deleteLater();
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
    QVERIFY(!QTest::qWaitFor([&] { return server->connectionCount() > connections; }, 1000));
    QVERIFY(m_client->answers.isEmpty());
}

void tst_FtpWorker::applicationTeardownRightAfterTheWorkerIsClean()
{
    const auto server = startServer();
    QVERIFY2(server, qPrintable(m_serverError));
    QVERIFY(server->writeFile(QStringLiteral("a.txt"), "payload"));
    QProcess host;
    host.setProcessChannelMode(QProcess::MergedChannels);
    host.start(QCoreApplication::applicationFilePath(),
        {QString::fromLatin1(teardownHostOption),
            server->url(QStringLiteral("ftp"), QStringLiteral("a.txt")), server->user(),
            server->password()});
    QVERIFY(host.waitForFinished(60000));
    const QByteArray output = host.readAll();
    QVERIFY2(host.exitStatus() == QProcess::NormalExit, output.constData());
    QVERIFY2(host.exitCode() == 0, output.constData());
    QVERIFY2(!output.contains("QThread"), output.constData());
    // The worker was destroyed before the process ended: its handle logged out.
    QTRY_COMPARE(server->commandCount(QStringLiteral("QUIT")), 1);
}

// A host that deletes its worker and destroys the application object right away, as a host
// may do when its FtpService is the last thing to go.
static int runTeardownHost(int argc, char *argv[])
{
    auto application = std::make_unique<QCoreApplication>(argc, argv);
    const QStringList arguments = application->arguments();
    auto *worker = new FtpWorker;
    QByteArray received;
    QObject::connect(worker, &FtpWorker::requestFinished, application.get(),
        [&received](QUuid, const QByteArray &data) {
            received = data;
            QCoreApplication::quit();
        });
    QTimer::singleShot(30000, application.get(), [] { QCoreApplication::exit(2); });
    QMetaObject::invokeMethod(
        worker,
        [worker, arguments] {
            worker->downloadFile(
                arguments.at(2), arguments.at(3), arguments.at(4), QUuid::createUuid());
        },
        Qt::QueuedConnection);
    const int code = application->exec();
    worker->deleteLater();
    application.reset();
    return code == 0 && received == "payload" ? 0 : 1;
}

int main(int argc, char *argv[])
{
    if (argc == 5 && qstrcmp(argv[1], teardownHostOption) == 0)
        return runTeardownHost(argc, argv);
    QCoreApplication application(argc, argv);
    tst_FtpWorker test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ftpworker.moc"
