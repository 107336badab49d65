// SPDX-License-Identifier: MIT
// A host that queues one request and returns from main at once: the service, and right after it
// the application object, go away while the request may still be on its way.
#include "ftpservice.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s URL\n", argv[0]);
        return 2;
    }
    zendra::FtpService service;
    service.downloadFile(QString::fromLocal8Bit(argv[1]),
        [](const QByteArray &data) { std::printf("callback %d\n", int(data.size())); });
    return 0;
}
