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

// Shared by the commands: parse @p args with a help option added, print the help or one error
// line. Accepts from @p minPositional to @p maxPositional positional arguments, as declared on
// the parser. Returns -1 when the command is to go on, otherwise the exit status to return.
int parseCommandLine(QCommandLineParser &parser, const QStringList &args, int minPositional = 0,
    int maxPositional = 0);

// Writes "zendra-cli: <message>" as one line on standard error and returns 1.
int fail(const QString &message);

#endif // ZENDRA_CLI_COMMANDS_H
