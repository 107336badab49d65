// SPDX-License-Identifier: MIT
#include "stderrcapture.h"

#include <unistd.h>

StderrCapture::StderrCapture() : m_file(std::tmpfile()), m_saved(-1)
{
    std::fflush(stderr);
    if (m_file) {
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(::fileno(m_file), STDERR_FILENO);
    }
}

StderrCapture::~StderrCapture()
{
    std::fflush(stderr);
    if (m_saved >= 0) {
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }
    if (m_file)
        std::fclose(m_file);
}

QByteArray StderrCapture::text() const
{
    std::fflush(stderr);
    QByteArray result;
    if (!m_file)
        return result;
    // pread leaves the offset alone, which fd 2 shares with the file.
    char buffer[4096];
    ssize_t got;
    while ((got = ::pread(::fileno(m_file), buffer, sizeof buffer, off_t(result.size()))) > 0)
        result.append(buffer, qsizetype(got));
    return result;
}
