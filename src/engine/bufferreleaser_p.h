// SPDX-License-Identifier: MIT
// Internal: large buffers given back to the system away from the service's thread.
#ifndef ZENDRA_BUFFERRELEASER_P_H
#define ZENDRA_BUFFERRELEASER_P_H

#include <QByteArray>

namespace zendra {

// Giving a buffer of a hundred MiB back to the system takes milliseconds (about 80 us per MiB
// here once it is mapped on its own), which a GUI thread should spend on its next frame and the
// service on its next answer. Such buffers are therefore freed on a short-lived thread, started
// when there is something to free and ended when there is nothing left.
class BufferReleaser
{
public:
    // Below this, freeing costs less than handing over to another thread.
    static constexpr qsizetype threshold = 4 << 20;

    // Takes @p data and frees it on the releaser's thread if nobody else holds it; otherwise
    // leaves it to its other holders.
    static void release(QByteArray &&data);
};

} // namespace zendra

#endif // ZENDRA_BUFFERRELEASER_P_H
