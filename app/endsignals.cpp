#include "app/endsignals.h"

#include <QMetaObject>
#include <QString>
#include <QThread>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::array<int, 3> endingSignals{SIGTERM, SIGHUP, SIGINT};
// The pipe's two ends; the handler may only make async-signal-safe calls.
int pipeEnds[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    // A full pipe already holds a request to end; one more would add nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = saved;
}

// What Qt 6's platform plugins say just before they exit because the display has gone: xcb
// when its connection reports an error (its own check and Xlib's I/O error handler), Wayland when
// the compositor's socket breaks or reports a fatal error.
constexpr std::array<const char*, 3> displayLostWarnings{
    "The X11 connection broke", "The Wayland connection broke",
    "The Wayland connection experienced a fatal error"};

// How long a thread that heard of the lost display holds its exit for the main thread's end.
constexpr std::chrono::seconds mainThreadEndWithin{20};

std::atomic<EndSignals*> displayWatcher = nullptr;
QtMessageHandler previousHandler = nullptr;
bool displayEnding = false; // main thread only
std::mutex endMutex;
std::condition_variable endReturnedChanged;
bool endReturned = false; // guarded by endMutex

void tellEndReturned()
{
    {
        const std::lock_guard lock(endMutex);
        endReturned = true;
    }
    endReturnedChanged.notify_all();
}

// On the main thread: whoever hears displayLost ends the process; should it return, a thread
// waiting for it lets Qt end the process its own way.
void endForLostDisplay()
{
    EndSignals* watcher = displayWatcher;
    if (!watcher || std::exchange(displayEnding, true))
        return;
    Q_EMIT watcher->displayLost();
    tellEndReturned();
}

bool saysDisplayLost(const QString& message)
{
    for (const char* warning : displayLostWarnings) {
        if (message.startsWith(QLatin1String(warning)))
            return true;
    }
    return false;
}

void onMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // Every message still goes where it went, this one included: it says why the program ends.
    if (previousHandler)
        previousHandler(type, context, message);
    if (type != QtWarningMsg && type != QtCriticalMsg && type != QtFatalMsg)
        return;
    EndSignals* watcher = displayWatcher;
    if (!watcher || !saysDisplayLost(message))
        return;
    // The end touches the run, which lives on the main thread: there it runs at once.
    if (QThread::currentThread() == watcher->thread()) {
        endForLostDisplay();
        return;
    }
    // Wayland reads its display on a thread of its own and exits from there: the end is handed
    // to the main thread, and this thread waits for it (the process ends with it), for a bounded
    // time only, in case the main thread is held up itself.
    QMetaObject::invokeMethod(watcher, &endForLostDisplay, Qt::QueuedConnection);
    std::unique_lock lock(endMutex);
    endReturnedChanged.wait_for(lock, mainThreadEndWithin, [] { return endReturned; });
}

} // namespace

EndSignals::EndSignals(QObject* parent) : QObject(parent)
{
    if (!displayWatcher) {
        displayEnding = false;
        {
            const std::lock_guard lock(endMutex);
            endReturned = false;
        }
        displayWatcher = this;
        previousHandler = qInstallMessageHandler(onMessage);
    }
    if (pipeEnds[0] >= 0 || ::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(pipeEnds[0], &byte, 1) == 1)
            Q_EMIT endRequested(byte);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : endingSignals)
        ::sigaction(number, &action, nullptr);
}

EndSignals::~EndSignals()
{
    if (displayWatcher == this) {
        qInstallMessageHandler(previousHandler);
        displayWatcher = nullptr;
        // Nobody is left to end the program: a thread waiting for that goes on.
        tellEndReturned();
    }
    if (!m_notifier)
        return;
    // From here on the signals end the process as they would have without us.
    for (const int number : endingSignals)
        std::signal(number, SIG_DFL);
    m_notifier.reset();
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}
