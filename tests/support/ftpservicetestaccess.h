// SPDX-License-Identifier: MIT
// Compile-checked access to what FtpService keeps private: the slot through which its worker
// answers, and the worker itself.
#ifndef ZENDRA_TESTS_FTPSERVICETESTACCESS_H
#define ZENDRA_TESTS_FTPSERVICETESTACCESS_H

#include "ftpservice.h"

namespace zendra {

class FtpServiceTestAccess
{
public:
    static void onRequestFinished(FtpService &service, const QUuid &id, const QByteArray &data)
    {
        service.onRequestFinished(id, data);
    }
    static FtpWorker *worker(FtpService &service) { return service.m_worker; }
};

} // namespace zendra

#endif // ZENDRA_TESTS_FTPSERVICETESTACCESS_H
