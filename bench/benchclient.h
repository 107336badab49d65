// SPDX-License-Identifier: MIT
// What the benchmark clients (ftpfetch, ftpput) share: taking options off the command line and
// logging a service in from the environment.
#ifndef ZENDRA_BENCHCLIENT_H
#define ZENDRA_BENCHCLIENT_H

#include <zendra/ftpservice.h>

#include <QStringList>

#include <cstdio>

// Removes "OPTION VALUE" from @p args and returns VALUE; empty when the option is not there.
inline QString takeValue(QStringList &args, const QString &option)
{
    const qsizetype at = args.indexOf(option);
    if (at < 0 || at + 1 >= args.size())
        return QString();
    const QString value = args.at(at + 1);
    args.remove(at, 2);
    return value;
}

// Credentials from ZENDRA_USER and ZENDRA_PASSWORD, and @p caFile imported when given; false
// after saying on stderr that the file could not be imported.
inline bool logIn(zendra::FtpService &service, const QString &caFile, const char *program)
{
    service.setCredentials(qEnvironmentVariable("ZENDRA_USER"),
        qEnvironmentVariable("ZENDRA_PASSWORD"), [](const QString &value) { return value; });
    if (caFile.isEmpty() || service.loadCertificate(caFile, true))
        return true;
    std::fprintf(stderr, "%s: cannot import %s\n", program, qPrintable(caFile));
    return false;
}

#endif // ZENDRA_BENCHCLIENT_H
