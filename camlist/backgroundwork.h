#pragma once

#include <functional>
#include <memory>

// Work on a thread of its own, waited for with the event loop turning so the windows stay
// alive. A wait can be given up (the program is ending): the work then goes on by itself,
// holding whatever it uses, and nothing waits for it; the process may end before it does.
class BackgroundWork final
{
public:
    explicit BackgroundWork(std::function<void()> work);
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    // Turns the event loop until the work is done or the wait is given up; true once done.
    bool waitWithEventsTurning();
    // Ends a wait in progress, and any later one, at once.
    void giveUpWaiting();
    // Blocks until the work is done, for work that must not be cut off.
    void waitUntilDone();
    bool isDone() const;

    // Work of any run still going on its own: the process then ends without waiting for it.
    static int stillRunning();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
