// SPDX-License-Identifier: MIT
#ifndef ZENDRA_CLI_COMMANDS_H
#define ZENDRA_CLI_COMMANDS_H

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// Every command gets its arguments with its own name as the first element and
// returns the process's exit status.
int runAesSelfTest(const QStringList &args);
int runEncrypt(const QStringList &args);
int runDecrypt(const QStringList &args);
int runList(const QStringList &args);
int runGet(const QStringList &args);
int runPut(const QStringList &args);
int runMakeDirectory(const QStringList &args);
int runRemove(const QStringList &args);
int runMove(const QStringList &args);

// Shared by the commands: parse @p args with a help option added, print the help or one error
// line (status UsageError). Accepts from @p minPositional to @p maxPositional positional arguments,
// as declared on the parser. Returns -1 when the command is to go on, otherwise the exit status to
// return.
int parseCommandLine(QCommandLineParser &parser, const QStringList &args, int minPositional = 0,
    int maxPositional = 0);

// Exit statuses of every command.
enum ExitStatus {
    Success = 0,
    Failure = 1, // anything not listed below
    UsageError = 2,
    ConnectionFailed = 3, // the server could not be reached (DNS, connection, time-out)
    LoginRefused = 4,
    CertificateFailed = 5, // no TLS, or a server that could not be verified
    RemoteMissing = 6, // the remote file or directory does not exist
    LocalFileError = 7, // the local file or standard output could not be read or written
    Refused = 8, // the server refused a command after the login (an upload, a rename, ...)
    Interrupted = 130, // Ctrl-C cancelled the request
};

// Writes "zendra-cli: <message>" as one line on standard error and returns @p status.
int fail(const QString &message, int status = Failure);

#endif // ZENDRA_CLI_COMMANDS_H
