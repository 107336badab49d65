// SPDX-License-Identifier: MIT
// zendra-cli: a small host program for the zendra services.
#include "commands.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

struct Command
{
    const char *name;
    const char *synopsis; // what follows the name on the help's usage line
    const char *summary;
    int (*run)(const QStringList &args);
};

const Command commands[] = {
    {"aes-selftest", "[--mode cbc|ecb] [--passes N] [--max-length BYTES]",
        "Run the AES round-trip self-test under a random key", &runAesSelfTest},
    {"encrypt", "--mode cbc|ecb --key HEX [--iv HEX] < in > out",
        "Encrypt standard input to standard output with AES-128", &runEncrypt},
    {"decrypt", "--mode cbc|ecb --key HEX [--iv HEX] < in > out",
        "Decrypt standard input to standard output with AES-128", &runDecrypt},
    {"ls", "URL [--type all|file|dir] [options]", "List a remote directory over FTP or FTPS",
        &runList},
    {"get", "URL [LOCALFILE] [--continue] [options]", "Download a remote file over FTP or FTPS",
        &runGet},
    {"put", "LOCALFILE URL [--create-dirs] [--in-place] [--continue] [options]",
        "Upload a local file over FTP or FTPS", &runPut},
    {"mkdir", "URL [--parents] [options]", "Make a remote folder", &runMakeDirectory},
    {"rm", "URL [options]", "Delete a remote file, or an empty folder (URL ending in /)",
        &runRemove},
    {"mv", "URL NEWNAME [options]", "Rename or move a remote file or folder", &runMove},
};

QString usage()
{
    QString text = QStringLiteral("Usage: zendra-cli <command> [options]\n\nCommands:\n");
    for (const Command &command : commands)
        text += QStringLiteral("  %1  %2\n")
                    .arg(QLatin1String(command.name), -14)
                    .arg(QLatin1String(command.summary));
    text += QStringLiteral("\nRun \"zendra-cli <command> --help\" for the options of a command.\n");
    return text;
}

} // namespace

int fail(const QString &message, int status)
{
    std::fprintf(stderr, "zendra-cli: %s\n", qUtf8Printable(message));
    return status;
}

int parseCommandLine(
    QCommandLineParser &parser, const QStringList &args, int minPositional, int maxPositional)
{
    const QCommandLineOption help = parser.addHelpOption();
    if (!parser.parse(args))
        return fail(QStringLiteral("%1: %2").arg(args.first(), parser.errorText()), UsageError);
    if (parser.isSet(help)) {
        // The parser's usage line names the program by its path and no option: show the
        // command's own synopsis instead.
        QString text = parser.helpText();
        for (const Command &command : commands) {
            if (args.first() == QLatin1String(command.name)) {
                text.replace(0, text.indexOf(QLatin1Char('\n')),
                    QStringLiteral("Usage: zendra-cli %1 %2")
                        .arg(args.first(), QLatin1String(command.synopsis)));
            }
        }
        std::fputs(qUtf8Printable(text), stdout);
        return 0;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > maxPositional) {
        return fail(QStringLiteral("%1: unexpected argument \"%2\"")
                        .arg(args.first(), positional.at(maxPositional)),
            UsageError);
    }
    if (positional.size() < minPositional) {
        return fail(
            QStringLiteral("%1: missing argument; see \"zendra-cli %1 --help\"").arg(args.first()),
            UsageError);
    }
    return -1;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zendra-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZENDRA_CLI_VERSION));

    QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fputs(qUtf8Printable(usage()), stderr);
        return UsageError;
    }
    const QString name = args.at(1);
    if (name == QLatin1String("--help") || name == QLatin1String("-h")
        || name == QLatin1String("help")) {
        std::fputs(qUtf8Printable(usage()), stdout);
        return 0;
    }
    if (name == QLatin1String("--version")) {
        std::printf("zendra-cli %s\n", ZENDRA_CLI_VERSION);
        return 0;
    }
    for (const Command &command : commands) {
        if (name == QLatin1String(command.name)) {
            args.removeFirst();
            return command.run(args);
        }
    }
    return fail(
        QStringLiteral("unknown command \"%1\"; see zendra-cli --help").arg(name), UsageError);
}
