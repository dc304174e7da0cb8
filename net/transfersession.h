#pragma once

#include "net/answerbody.h"
#include "net/headverdict.h"
#include "net/internettransfer.h"
#include "net/transferpace.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <curl/curl.h>
#include <functional>
#include <map>
#include <memory>
#include <optional>

// One open transfer: the curl handles, the notifiers and timers that drive them, the answer
// that is coming and how fast. Each request of a redirect chain is a transfer of its own for
// libcurl, begun by the session once it has checked where the redirect leads.
class InternetTransfer::Session final
{
public:
    struct Limits
    {
        std::chrono::milliseconds stall;
        std::chrono::milliseconds lowSpeedWindow;
        qint64 maxBody;
        qint64 maxHead;
    };

    // Events: driven by the event loop, calling ended once when the transfer is over.
    // Polling: driven by runPolling(), which returns when it is over.
    enum class Driver { Events, Polling };

    // What to fetch and how.
    struct Request
    {
        QByteArray url;
        bool direct = false;
        const char* protocols = "";
        QByteArray caFile; // empty: the system's store
        bool refuseWebPages = false;
    };

    Session(const Limits& limits, const Request& request, Driver driver,
            std::function<void()> ended = {});
    ~Session();
    Q_DISABLE_COPY_MOVE(Session)

    // Hands the transfer to the library; false when it could not even begin.
    bool begin();
    // Runs a begun transfer to its end, waiting in the system's poll.
    void runPolling();
    // The body, or why there is none; once the transfer is over.
    FetchResult result();
    bool isOver() const { return m_stopped; }
    // Closes the connection now; the transfer fails for that reason, unless it had already
    // failed or ended. Without a reason it has simply ended.
    void stop(std::optional<FetchFailure> why = FetchFailure::Cancelled);

private:
    struct Watch
    {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };

    // What one answer of the chain brought. Made anew for each request, so that nothing of an
    // answer counts for the next.
    struct Answer
    {
        explicit Answer(const HeadVerdict::Rules& rules) : head(rules) {}
        HeadVerdict head;
        std::optional<AnswerBody> body; // once the head was taken
    };

    static int onSocket(CURL*, curl_socket_t socket, int what, void* self, void*);
    static int onTimer(CURLM*, long milliseconds, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);

    // The next request of the chain: its address, and a new answer.
    void aim(QByteArray url);
    // Goes on to where the last answer redirected.
    void follow();
    void act(curl_socket_t socket, int events);
    void watch(curl_socket_t socket, int what);
    bool headLine(QByteArrayView line);
    bool fail(FetchFailure why);
    // What is wrong with an answer the library saw through, if anything.
    std::optional<FetchFailure> failureOfBody(long status) const;
    // Fails the transfer when it has stalled or gone too slowly; otherwise gives how long it
    // may go on before this must be asked again.
    std::chrono::milliseconds checkPace();
    void readMessages();

    Limits m_limits;
    HeadVerdict::Rules m_rules;
    TransferPace m_pace;
    Driver m_driver;
    std::function<void()> m_ended;
    CURLM* m_multi = nullptr;
    CURL* m_easy = nullptr;
    curl_slist* m_fields = nullptr; // the request's own header fields
    std::map<curl_socket_t, Watch> m_watches;
    QTimer m_curlTimer;
    QTimer m_paceTimer;
    QObject m_context; // what the notifiers' and timers' connections hang on
    bool m_attached = false;
    bool m_stopped = false;
    bool m_done = false;
    CURLcode m_result = CURLE_OK;
    // Why we ended the transfer ourselves, if we did.
    std::optional<FetchFailure> m_failure;

    HeadVerdict::Chain m_chain;
    std::optional<Answer> m_answer;
};
