#include "backgroundwork.h"

#include <QEventLoop>
#include <QMetaObject>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

std::atomic<int> running{0};

} // namespace

struct BackgroundWork::Shared
{
    std::mutex mutex;
    std::condition_variable doneChanged;
    bool done = false;
    bool givenUp = false;
    QEventLoop* waiting = nullptr; // the loop of the wait in progress, if any
};

BackgroundWork::BackgroundWork(std::function<void()> work) : m_shared(std::make_shared<Shared>())
{
    ++running;
    std::thread([shared = m_shared, work = std::move(work)] {
        work();
        {
            const std::lock_guard lock(shared->mutex);
            shared->done = true;
            if (shared->waiting)
                QMetaObject::invokeMethod(shared->waiting, &QEventLoop::quit, Qt::QueuedConnection);
        }
        shared->doneChanged.notify_all();
        --running;
    }).detach();
}

BackgroundWork::~BackgroundWork() = default;

bool BackgroundWork::waitWithEventsTurning()
{
    QEventLoop loop;
    {
        const std::lock_guard lock(m_shared->mutex);
        if (m_shared->done || m_shared->givenUp)
            return m_shared->done;
        m_shared->waiting = &loop;
    }
    // Also ends when the whole program ends: an exit ends every loop.
    loop.exec();
    const std::lock_guard lock(m_shared->mutex);
    m_shared->waiting = nullptr;
    return m_shared->done;
}

void BackgroundWork::giveUpWaiting()
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->givenUp = true;
    if (m_shared->waiting)
        m_shared->waiting->quit();
}

void BackgroundWork::waitUntilDone()
{
    std::unique_lock lock(m_shared->mutex);
    m_shared->doneChanged.wait(lock, [&] { return m_shared->done; });
}

bool BackgroundWork::isDone() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->done;
}

int BackgroundWork::stillRunning()
{
    return running.load();
}
