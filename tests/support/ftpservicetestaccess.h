// SPDX-License-Identifier: MIT
// Compile-checked access to FtpService's worker, which it keeps private.
#ifndef ZENDRA_TESTS_FTPSERVICETESTACCESS_H
#define ZENDRA_TESTS_FTPSERVICETESTACCESS_H

#include "ftpservice.h"

namespace zendra {

class FtpServiceTestAccess
{
public:
    static FtpWorker *worker(FtpService &service) { return service.m_worker; }
};

} // namespace zendra

#endif // ZENDRA_TESTS_FTPSERVICETESTACCESS_H
