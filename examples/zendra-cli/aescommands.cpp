// SPDX-License-Identifier: MIT
// The AES commands: aes-selftest, encrypt and decrypt.
#include "commands.h"

#include <zendra/encryptionservice.h>

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

using zendra::EncryptionService;

namespace {

const QString cliId = QStringLiteral("zendra-cli");
constexpr int aesBlockSize = 16;

// The self-test reports through Qt's logger; its summary line decides the exit status.
int summaryErrors = -1;

void selfTestMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    static const QRegularExpression summary(
        QStringLiteral("^FINISHED AES test in \\d+ ms with (\\d+) error\\(s\\)$"));
    const QRegularExpressionMatch match = summary.match(message);
    if (match.hasMatch())
        summaryErrors = match.captured(1).toInt();
    std::FILE *stream = type == QtDebugMsg || type == QtInfoMsg ? stdout : stderr;
    std::fprintf(stream, "%s\n", qUtf8Printable(message));
    std::fflush(stream);
}

// The library prints OpenSSL's report of a failed call on stderr; while this lives it goes
// nowhere, so that a failing command says one line of its own.
class SilencedStderr
{
public:
    SilencedStderr()
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDERR_FILENO);
            ::close(null);
        }
    }
    ~SilencedStderr()
    {
        std::fflush(stderr);
        if (m_saved >= 0) {
            ::dup2(m_saved, STDERR_FILENO);
            ::close(m_saved);
        }
    }
    SilencedStderr(const SilencedStderr &) = delete;
    SilencedStderr &operator=(const SilencedStderr &) = delete;

private:
    int m_saved;
};

bool parseMode(const QCommandLineParser &parser, const QCommandLineOption &option,
    EncryptionService::CipherMode *mode, QString *error)
{
    const QString value = parser.value(option).toLower();
    if (value == QLatin1String("cbc"))
        *mode = EncryptionService::CBC;
    else if (value == QLatin1String("ecb"))
        *mode = EncryptionService::ECB;
    else if (value.isEmpty())
        *error = QStringLiteral("--mode is required (cbc or ecb)");
    else
        *error = QStringLiteral("--mode must be cbc or ecb, not \"%1\"").arg(value);
    return error->isEmpty();
}

// Reads a 16-byte value given as 32 hex digits; the value itself never reaches an error line.
bool parseBlock(const QCommandLineParser &parser, const QCommandLineOption &option,
    QByteArray *bytes, QString *error)
{
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]*$"));
    const QString name = QLatin1String("--") + option.names().constLast();
    const QString text = parser.value(option);
    if (text.isEmpty())
        *error = QStringLiteral("%1 is required (32 hex digits)").arg(name);
    else if (!hexDigits.match(text).hasMatch() || text.size() % 2 != 0)
        *error = QStringLiteral("%1 is not valid hex: give 32 hex digits").arg(name);
    else if (text.size() != 2 * aesBlockSize)
        *error = QStringLiteral("%1 must be 16 bytes (32 hex digits), got %2 bytes")
                     .arg(name)
                     .arg(text.size() / 2);
    else
        *bytes = QByteArray::fromHex(text.toLatin1());
    return error->isEmpty();
}

bool readStandardInput(QByteArray *data)
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return false;
    *data = input.readAll();
    return input.error() == QFileDevice::NoError;
}

bool writeStandardOutput(const QByteArray &data)
{
    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return false;
    return output.write(data) == data.size() && output.flush();
}

int runCipherCommand(const QStringList &args, bool encrypt)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(encrypt
            ? QStringLiteral("Encrypts standard input with AES-128 and PKCS#7 padding and "
                             "writes the ciphertext to standard output.")
            : QStringLiteral("Decrypts AES-128 ciphertext from standard input, checks and "
                             "strips its padding and writes the plaintext to standard "
                             "output."));
    const QCommandLineOption modeOption({QStringLiteral("m"), QStringLiteral("mode")},
        QStringLiteral("Cipher mode: cbc or ecb."), QStringLiteral("mode"));
    const QCommandLineOption keyOption({QStringLiteral("k"), QStringLiteral("key")},
        QStringLiteral("AES-128 key, 32 hex digits."), QStringLiteral("hex"));
    const QCommandLineOption ivOption(QStringLiteral("iv"),
        QStringLiteral("Initialisation vector, 32 hex digits (cbc only, required there)."),
        QStringLiteral("hex"));
    parser.addOptions({modeOption, keyOption, ivOption});
    if (const int status = parseCommandLine(parser, args); status >= 0)
        return status;

    EncryptionService::CipherMode mode = EncryptionService::CBC;
    QByteArray key;
    QByteArray iv;
    QString error;
    if (!parseMode(parser, modeOption, &mode, &error)
        || !parseBlock(parser, keyOption, &key, &error))
        return fail(error, UsageError);
    if (mode == EncryptionService::CBC) {
        if (!parseBlock(parser, ivOption, &iv, &error))
            return fail(error, UsageError);
    } else if (parser.isSet(ivOption)) {
        return fail(QStringLiteral("--iv is only used with --mode cbc"), UsageError);
    }

    QByteArray input;
    if (!readStandardInput(&input))
        return fail(QStringLiteral("cannot read standard input"));
    // Lengths reach OpenSSL as int, with room for a padding block.
    if (input.size() > INT_MAX - 2 * aesBlockSize)
        return fail(QStringLiteral("input of %1 bytes is too large").arg(input.size()));

    EncryptionService service;
    if (mode == EncryptionService::CBC)
        service.init_CBC(cliId, key, iv);
    else
        service.init_ECB(cliId, key);
    const auto run = [&](bool forward, const QByteArray &data) {
        if (mode == EncryptionService::CBC)
            return forward ? service.encryptAES_CBC(cliId, data, QByteArray())
                           : service.decryptAES_CBC(cliId, data, QByteArray());
        return forward ? service.encryptAES_ECB(cliId, data) : service.decryptAES_ECB(cliId, data);
    };

    QByteArray output;
    if (encrypt) {
        output = run(true, input);
        if (output.isEmpty())
            return fail(QStringLiteral("encryption failed"));
    } else {
        if (input.isEmpty() || input.size() % aesBlockSize != 0) {
            return fail(QStringLiteral("decryption failed: %1 bytes of input are not whole "
                                       "16-byte blocks")
                            .arg(input.size()));
        }
        {
            SilencedStderr silenced;
            output = run(false, input);
        }
        // An empty result is also what an encrypted empty input gives back.
        if (output.isEmpty() && run(true, QByteArray()) != input) {
            return fail(QStringLiteral("decryption failed: wrong key or IV, or the input is "
                                       "not AES-128 ciphertext"));
        }
    }
    if (!writeStandardOutput(output))
        return fail(QStringLiteral("cannot write standard output"));
    return 0;
}

} // namespace

int runEncrypt(const QStringList &args)
{
    return runCipherCommand(args, true);
}

int runDecrypt(const QStringList &args)
{
    return runCipherCommand(args, false);
}

int runAesSelfTest(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Encrypts and decrypts random data of every length from 0 to "
                       "--max-length under a random key (and IV), --passes times, and "
                       "exits with 0 only when every round trip gives the data back."));
    const QCommandLineOption modeOption({QStringLiteral("m"), QStringLiteral("mode")},
        QStringLiteral("Cipher mode: cbc or ecb (default cbc)."), QStringLiteral("mode"),
        QStringLiteral("cbc"));
    const QCommandLineOption passesOption(QStringLiteral("passes"),
        QStringLiteral("Passes over the lengths (default 3)."), QStringLiteral("n"),
        QStringLiteral("3"));
    const QCommandLineOption maxLengthOption(QStringLiteral("max-length"),
        QStringLiteral("Longest plaintext (default 256)."), QStringLiteral("bytes"),
        QStringLiteral("256"));
    parser.addOptions({modeOption, passesOption, maxLengthOption});
    if (const int status = parseCommandLine(parser, args); status >= 0)
        return status;

    EncryptionService::CipherMode mode = EncryptionService::CBC;
    QString error;
    if (!parseMode(parser, modeOption, &mode, &error))
        return fail(error, UsageError);
    bool passesOk = false;
    bool lengthOk = false;
    const int passes = parser.value(passesOption).toInt(&passesOk);
    const int maxLength = parser.value(maxLengthOption).toInt(&lengthOk);
    if (!passesOk || passes < 1 || passes > 1000)
        return fail(QStringLiteral("--passes must be a number from 1 to 1000"), UsageError);
    if (!lengthOk || maxLength < 0 || maxLength > 1 << 20)
        return fail(QStringLiteral("--max-length must be a number from 0 to 1048576"), UsageError);

    // The service draws IVs and plaintexts from rand(); a fresh seed gives fresh ones.
    std::srand(QRandomGenerator::system()->generate());
    QByteArray key(aesBlockSize, Qt::Uninitialized);
    for (char &byte : key)
        byte = char(QRandomGenerator::system()->bounded(256));

    EncryptionService service;
    service.init_ECB(cliId, key);
    if (mode == EncryptionService::CBC)
        service.setRandomIV(cliId);

    summaryErrors = -1;
    const QtMessageHandler previous = qInstallMessageHandler(&selfTestMessageHandler);
    service.performTest(cliId, mode, 0, maxLength + 1, passes);
    qInstallMessageHandler(previous);

    if (summaryErrors < 0)
        return fail(QStringLiteral("the self-test gave no summary"));
    if (summaryErrors > 0)
        return fail(QStringLiteral("the self-test found %1 error(s)").arg(summaryErrors));
    return 0;
}
