// SPDX-License-Identifier: MIT
// Frees large buffers on a thread of their own.
#include "bufferreleaser_p.h"

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zendra {

namespace {

class Releaser
{
public:
    // Runs when the library is unloaded, when nobody can hand it buffers any more.
    ~Releaser()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    void take(QByteArray &&data)
    {
        std::thread finished;
        {
            const std::lock_guard locker(m_mutex);
            m_pending.push_back(std::move(data));
            if (m_running)
                return;
            m_running = true;
            // The previous thread has left its loop, so joining it below is immediate.
            finished = std::move(m_thread);
            m_thread = std::thread(&Releaser::run, this);
        }
        if (finished.joinable())
            finished.join();
    }

private:
    void run()
    {
        std::unique_lock locker(m_mutex);
        while (!m_pending.empty()) {
            std::vector<QByteArray> batch;
            batch.swap(m_pending);
            locker.unlock();
            batch.clear();
            locker.lock();
        }
        m_running = false;
    }

    std::mutex m_mutex;
    std::vector<QByteArray> m_pending;
    std::thread m_thread;
    bool m_running = false;
};

} // namespace

void BufferReleaser::release(QByteArray &&data)
{
    if (!data.isDetached())
        return;
    static Releaser releaser;
    releaser.take(std::move(data));
}

} // namespace zendra
