// SPDX-License-Identifier: MIT
// The outcome of one FTP request, as FtpService::lastResult() reports it.
#include "ftpresult.h"

namespace zendra {

class FtpResultPrivate : public QSharedData
{
public:
    QString url;
    QString errorString;
    QString reply;
    QString replyCommand;
    QString listingCommand;
    QString rootFingerprint;
    int code = -1;
    int attempts = 0;
    int replyCode = 0;
    bool encrypted = false;
    bool peerVerified = false;
    bool hostVerified = false;
    FtpResult::Trust trust = FtpResult::NoTrust;
};

FtpResult::FtpResult() : d(new FtpResultPrivate) { }

FtpResult::FtpResult(const QString &url, int code, const QString &errorString, int attempts)
    : d(new FtpResultPrivate)
{
    d->url = url;
    d->code = code;
    d->errorString = errorString;
    d->attempts = attempts;
}

FtpResult::FtpResult(const FtpResult &other) = default;

FtpResult &FtpResult::operator=(const FtpResult &other) = default;

FtpResult::~FtpResult() = default;

bool FtpResult::isSuccess() const
{
    return d->code == 0;
}

int FtpResult::code() const
{
    return d->code;
}

QString FtpResult::errorString() const
{
    return d->errorString;
}

QString FtpResult::url() const
{
    return d->url;
}

bool FtpResult::isCancelled() const
{
    return d->code == 42; // CURLE_ABORTED_BY_CALLBACK, which the worker sets only on cancel
}

int FtpResult::attempts() const
{
    return d->attempts;
}

bool FtpResult::isEncrypted() const
{
    return d->encrypted;
}

bool FtpResult::isPeerVerified() const
{
    return d->peerVerified;
}

bool FtpResult::isHostVerified() const
{
    return d->hostVerified;
}

void FtpResult::setProtection(bool encrypted, bool peerVerified, bool hostVerified)
{
    d->encrypted = encrypted;
    d->peerVerified = peerVerified;
    d->hostVerified = hostVerified;
}

int FtpResult::replyCode() const
{
    return d->replyCode;
}

QString FtpResult::reply() const
{
    return d->reply;
}

QString FtpResult::replyCommand() const
{
    return d->replyCommand;
}

void FtpResult::setReply(int code, const QString &reply, const QString &command)
{
    d->replyCode = code;
    d->reply = reply;
    d->replyCommand = command;
}

QString FtpResult::listingCommand() const
{
    return d->listingCommand;
}

void FtpResult::setListingCommand(const QString &command)
{
    d->listingCommand = command;
}

FtpResult::Trust FtpResult::trust() const
{
    return d->trust;
}

QString FtpResult::rootFingerprint() const
{
    return d->rootFingerprint;
}

void FtpResult::setTrust(Trust trust, const QString &rootFingerprint)
{
    d->trust = trust;
    d->rootFingerprint = rootFingerprint;
}

} // namespace zendra
