// SPDX-License-Identifier: MIT
#ifndef ZENDRA_ZENDRA_H
#define ZENDRA_ZENDRA_H

#include "certificateinfo.h"
#include "encryptionservice.h"
#include "ftpdirectorymodel.h"
#include "ftpdownload.h"
#include "ftpfileinfo.h"
#include "ftpresult.h"
#include "ftpservice.h"
#include "ftpupload.h"
#include "ftpurl.h"
#include "service.h"
#include "zendraglobal.h"

#endif // ZENDRA_ZENDRA_H
