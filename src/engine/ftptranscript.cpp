// SPDX-License-Identifier: MIT
// FtpTranscript: the commands and replies of a transfer, read from libcurl's debug callback.
#include "ftptranscript_p.h"

#include <QString>

#include <cctype>

namespace zendra {

namespace {

// A transfer that loops (a server that answers every command with a continuation line, say)
// must not grow the transcript without bound; the start and the end are what matter.
const int longestTranscript = 256;

bool isFinalReplyLine(const QByteArray &line)
{
    // "ddd text" ends a reply; "ddd-text" and lines without a code continue it.
    return line.size() >= 3 && std::isdigit(uchar(line[0])) && std::isdigit(uchar(line[1]))
        && std::isdigit(uchar(line[2])) && (line.size() == 3 || line[3] == ' ');
}

} // namespace

void FtpTranscript::attach(CURL *handle)
{
    // libcurl calls a debug function only for a verbose handle; with one set it prints nothing.
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, &FtpTranscript::debugCallback);
    curl_easy_setopt(handle, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
}

void FtpTranscript::detach(CURL *handle)
{
    // A connection closed later (QUIT) must not report to a transcript that is gone.
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(handle, CURLOPT_DEBUGDATA, static_cast<void *>(nullptr));
}

FtpTranscript::Exchange FtpTranscript::lastReply() const
{
    for (auto it = m_exchanges.crbegin(); it != m_exchanges.crend(); ++it) {
        if (it->replyCode)
            return *it;
    }
    return {};
}

FtpTranscript::Exchange FtpTranscript::lastExchange(const QByteArray &verb) const
{
    for (auto it = m_exchanges.crbegin(); it != m_exchanges.crend(); ++it) {
        if (it->command.startsWith(verb)
            && (it->command.size() == verb.size() || it->command.at(verb.size()) == ' ')) {
            return *it;
        }
    }
    return {};
}

QString FtpTranscript::refusal(const Exchange &exchange)
{
    if (exchange.replyCode < 400)
        return QString();
    const QString reply = QString::fromUtf8(exchange.reply);
    const qsizetype space = exchange.command.indexOf(' ');
    const QByteArray verb = (space < 0 ? exchange.command : exchange.command.left(space)).toUpper();
    if (verb == "USER" || verb == "PASS")
        return QStringLiteral("the server refused the login (%1)").arg(reply);
    // 500 is "unknown command" on every server tried, 502 and 504 "not implemented".
    if (exchange.replyCode == 500 || exchange.replyCode == 502 || exchange.replyCode == 504) {
        return QStringLiteral("the server does not support %1 (%2)")
            .arg(QString::fromUtf8(verb), reply);
    }
    return QStringLiteral("the server refused %1 (%2)")
        .arg(QString::fromUtf8(exchange.command), reply);
}

int FtpTranscript::debugCallback(
    CURL *handle, curl_infotype type, char *data, size_t size, void *user)
{
    Q_UNUSED(handle);
    auto *transcript = static_cast<FtpTranscript *>(user);
    if (!transcript)
        return 0;
    ++transcript->m_activity;
    if (type != CURLINFO_HEADER_OUT && type != CURLINFO_HEADER_IN)
        return 0;
    // libcurl hands over one line at a time, but nothing promises it.
    const QByteArray text = QByteArray::fromRawData(data, qsizetype(size));
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (type == CURLINFO_HEADER_OUT)
            transcript->addCommand(line);
        else
            transcript->addReplyLine(line);
    }
    return 0;
}

void FtpTranscript::addCommand(const QByteArray &line)
{
    if (m_exchanges.size() >= longestTranscript)
        m_exchanges.remove(1, m_exchanges.size() - longestTranscript + 1);
    Exchange exchange;
    exchange.command = line.startsWith("PASS ") ? QByteArrayLiteral("PASS ****") : line;
    m_exchanges.append(exchange);
}

void FtpTranscript::addReplyLine(const QByteArray &line)
{
    if (!isFinalReplyLine(line))
        return;
    // The greeting, and a second reply to one command (150, then 226), stand on their own.
    if (m_exchanges.isEmpty() || m_exchanges.last().replyCode) {
        Exchange exchange;
        if (!m_exchanges.isEmpty())
            exchange.command = m_exchanges.last().command;
        m_exchanges.append(exchange);
    }
    Exchange &exchange = m_exchanges.last();
    exchange.replyCode = line.left(3).toInt();
    exchange.reply = line;
}

} // namespace zendra
