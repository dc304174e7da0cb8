#include "camlist/run/backgroundwork.h"

#include <QMetaObject>
#include <QObject>
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
    QObject* receiver = nullptr;
    std::function<void()> whenDone;

    // On the receiver's thread: tells it, unless that is no longer wanted.
    void tell()
    {
        std::function<void()> callback;
        {
            const std::lock_guard lock(mutex);
            if (givenUp)
                return;
            givenUp = true;
            callback = std::move(whenDone);
        }
        if (callback)
            callback();
    }
};

BackgroundWork::BackgroundWork(std::function<void()> work, QObject* receiver,
                               std::function<void()> done)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->receiver = receiver;
    m_shared->whenDone = std::move(done);
    ++running;
    std::thread([shared = m_shared, work = std::move(work)] {
        work();
        {
            const std::lock_guard lock(shared->mutex);
            shared->done = true;
            // Posted under the lock, so a receiver that gives up first is never posted to, and
            // one destroyed afterwards takes the event with it.
            if (!shared->givenUp && shared->receiver)
                QMetaObject::invokeMethod(
                    shared->receiver, [shared] { shared->tell(); }, Qt::QueuedConnection);
        }
        shared->doneChanged.notify_all();
        --running;
    }).detach();
}

BackgroundWork::~BackgroundWork()
{
    giveUp();
}

void BackgroundWork::giveUp()
{
    std::function<void()> dropped;
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->givenUp = true;
        m_shared->receiver = nullptr;
        // What the callback holds goes here, on the receiver's thread.
        dropped = std::move(m_shared->whenDone);
    }
}

void BackgroundWork::waitUntilDone()
{
    giveUp();
    std::unique_lock lock(m_shared->mutex);
    m_shared->doneChanged.wait(lock, [&] { return m_shared->done; });
}

int BackgroundWork::stillRunning()
{
    return running.load();
}
