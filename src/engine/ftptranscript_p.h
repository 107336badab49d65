// SPDX-License-Identifier: MIT
// The control connection's conversation during one transfer, as libcurl shows it to its debug
// callback: each command the worker sent and the server's reply to it. The worker keeps one per
// request, so that a result can name what the server said. Worker's thread only.
#ifndef ZENDRA_FTPTRANSCRIPT_P_H
#define ZENDRA_FTPTRANSCRIPT_P_H

#include <QByteArray>
#include <QList>

#include <curl/curl.h>

namespace zendra {

class FtpTranscript
{
public:
    // One command and the final line of the server's reply to it; a reply without a command
    // (the greeting) has an empty command, a command still waiting for its reply code 0.
    struct Exchange
    {
        QByteArray command; // the password of PASS is never kept
        int replyCode = 0;
        QByteArray reply; // the reply's last line, code included, without its line end
    };

    // Makes @p handle report to this transcript from its next transfer on.
    void attach(CURL *handle);
    // Stops @p handle's reports, before the transcript goes.
    static void detach(CURL *handle);
    void clear() { m_exchanges.clear(); }

    const QList<Exchange> &exchanges() const { return m_exchanges; }
    // True while the last command sent waits for its reply.
    bool awaitsReply() const
    {
        return !m_exchanges.isEmpty() && !m_exchanges.last().replyCode
            && !m_exchanges.last().command.isEmpty();
    }
    // Counts libcurl's reports of any kind (steps, commands, replies, bytes): when it changes,
    // libcurl did something.
    quint64 activity() const { return m_activity; }
    // The last exchange that got a reply; an empty one when none did.
    Exchange lastReply() const;
    // The server's refusal in @p exchange as a sentence that names its reply ("the server refused
    // CWD pub (550 No such directory)"); empty when the reply is no refusal.
    static QString refusal(const Exchange &exchange);
    // The last exchange whose command begins with @p verb ("PROT", "AUTH", "MLSD", ...), or an
    // empty one.
    Exchange lastExchange(const QByteArray &verb) const;

private:
    static int debugCallback(CURL *handle, curl_infotype type, char *data, size_t size, void *user);
    void addCommand(const QByteArray &line);
    void addReplyLine(const QByteArray &line);

    QList<Exchange> m_exchanges;
    quint64 m_activity = 0;
};

} // namespace zendra

#endif // ZENDRA_FTPTRANSCRIPT_P_H
