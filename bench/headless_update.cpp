// The program's update run without windows, answering Yes to "add all": the same list files,
// fetch, search steps and merge as the windows use, so run-scale can time and weigh the real
// flow against a shell pipeline. Run it in the folder that holds Cams.inf.
#include "camsearch.h"
#include "camsfileappender.h"
#include "gethtml.h"
#include "internettransfer.h"
#include "keylist.h"
#include "keypicking.h"
#include "listfiles.h"
#include "recordmerge.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <chrono>
#include <cstdio>

namespace {

// The search window's time slice per timer tick.
constexpr std::chrono::milliseconds timeSlice{10};

enum ExitCode : int {
    Done = 0,
    Usage = 1,
    NoListReceived = 2,
    CopyNotWritten = 3,
    CopyNotRead = 4,
    NotAppended = 5,
};

int fail(ExitCode code, const QString& message)
{
    std::fprintf(stderr, "camupdate_headless: %s\n", qPrintable(message));
    return code;
}

} // namespace

int main(int argc, char* argv[])
{
    const QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2)
        return fail(Usage, QStringLiteral("usage: camupdate_headless URL"));

    // The retrieval. The fetched bytes stay alive for the whole run, as the hidden text box
    // of the waiting window keeps them, so the peak memory is the program's.
    InternetTransfer transfer;
    QByteArray fetched = GetHTML(transfer, arguments.at(1)).toLatin1();
    fetched.squeeze();
    if (!ListFiles::writeServerCopy(ListFiles::tempFile(), fetched))
        return fail(CopyNotWritten,
                    QStringLiteral("%1 could not be written").arg(ListFiles::tempFile()));
    KeyList serverKeys(KeyList::Order::Sorted);
    serverKeys.addAll(keysOfListFile(fetched));
    KeyList ownKeys(KeyList::Order::Sorted);
    ownKeys.addAll(ListFiles::pickKeysFromFile(ListFiles::ownFile()));
    transfer.cancel();

    if (serverKeys.count() == 0) {
        ListFiles::remove(ListFiles::tempFile());
        return fail(NoListReceived, QStringLiteral("no cam list could be received"));
    }

    // The search, one time slice per step as the search window's timer drives it.
    KeyList newKeys(KeyList::Order::AsAdded);
    CamSearch search;
    search.start(ownKeys, serverKeys);
    bool ended = false;
    while (!ended) {
        QElapsedTimer clock;
        clock.start();
        ended = search.step([&] { return clock.elapsed() >= timeSlice.count(); });
        newKeys.addAll(search.takeNewKeys());
    }

    // "Add all", answered Yes.
    qsizetype added = 0;
    if (newKeys.count() > 0) {
        std::optional<QByteArray> serverCopy = ListFiles::readAll(ListFiles::tempFile());
        if (!serverCopy) {
            ListFiles::remove(ListFiles::tempFile());
            return fail(CopyNotRead,
                        QStringLiteral("%1 could not be read again").arg(ListFiles::tempFile()));
        }
        const RecordMerge merge = RecordMerge::build(*serverCopy, newKeys.views());
        // The added keys point into the block, not into the copy read again.
        serverCopy.reset();
        const CamsFileAppender::Outcome outcome =
            CamsFileAppender::append(ListFiles::ownFile(), merge.block);
        if (!outcome.ok) {
            // The server copy goes as it does when the lists window is closed after a failure.
            ListFiles::remove(ListFiles::tempFile());
            return fail(NotAppended, outcome.error);
        }
        ownKeys.addAll(merge.addedKeys);
        added = merge.addedKeys.count();
    }

    ListFiles::remove(ListFiles::tempFile());
    std::printf("added %lld\n", static_cast<long long>(added));
    return Done;
}
