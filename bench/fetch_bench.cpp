// One fetch of the list as the program makes it, timed from the call to the body in hand, for
// bench/run-fetch to set beside curl's own time of the same transfer.
// usage: camupdate_fetch_bench URL [--started]
// --started: the fetch the windows make, driven by the event loop, rather than the blocking one.
// Prints the seconds and the bytes of the decoded body, on one line.
#include "net/gethtml.h"
#include "net/internettransfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <cstdio>
#include <optional>

int main(int argc, char* argv[])
{
    const QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const bool started = arguments.size() == 3 && arguments.at(2) == u"--started";
    if (arguments.size() != 2 && !started) {
        std::fprintf(stderr, "usage: camupdate_fetch_bench URL [--started]\n");
        return 1;
    }
    InternetTransfer transfer;
    std::optional<FetchResult> fetched;
    QElapsedTimer clock;
    if (started) {
        QEventLoop loop;
        QObject::connect(&transfer, &InternetTransfer::finished, &loop,
                         [&](const FetchResult& result) {
                             fetched = result;
                             loop.quit();
                         });
        clock.start();
        StartGetHTML(transfer, arguments.at(1));
        loop.exec();
    } else {
        clock.start();
        fetched = GetHTMLResult(transfer, arguments.at(1));
    }
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    if (!fetched->ok()) {
        std::fprintf(stderr, "camupdate_fetch_bench: %s\n", qPrintable(fetched->text()));
        return 2;
    }
    std::printf("%.6f %lld\n", seconds, static_cast<long long>(fetched->value().body.size()));
    return 0;
}
