// SPDX-License-Identifier: MIT
#ifndef ZENDRA_TESTS_STDERRCAPTURE_H
#define ZENDRA_TESTS_STDERRCAPTURE_H

#include <QByteArray>

#include <cstdio>

// Redirects the process's standard error (file descriptor 2) into a temporary file while it
// lives, so that text written there by C code (OpenSSL's error report) can be checked.
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Everything written to standard error since construction.
    QByteArray text() const;

private:
    std::FILE *m_file;
    int m_saved;
};

#endif // ZENDRA_TESTS_STDERRCAPTURE_H
