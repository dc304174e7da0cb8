#pragma once

#include <functional>
#include <memory>

class QObject;

// Work on a thread of its own, so the windows stay alive while it runs. When it is done, the
// receiver is told through its own event loop, as one event of its own, unless the work was
// given up or waited for first. Given up (the program is ending), the work goes on by itself,
// holding whatever it uses, and nothing waits for it; the process may end before it does.
class BackgroundWork final
{
public:
    BackgroundWork(std::function<void()> work, QObject* receiver, std::function<void()> done);
    // Gives the work up.
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    // From now on the receiver is not told.
    void giveUp();
    // Blocks until the work is done, for work that must not be cut off; the receiver is then
    // not told, since the caller knows.
    void waitUntilDone();

    // Work of any run still going on its own: the process then ends without waiting for it.
    static int stillRunning();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
