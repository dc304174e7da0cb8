// The program's update run without windows, answering Yes to "add all": it drives the same run
// object the windows drive, step by step as their timers would, so run-scale times and weighs
// the program's own flow against a shell pipeline. Run it in the folder that holds Cams.inf.
// Prints "added N", then the longest search step in milliseconds on a line of its own.
#include "benchdata.h"
#include "gethtml.h"
#include "internettransfer.h"
#include "updaterun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <algorithm>
#include <cstdio>

namespace {

enum ExitCode : int {
    Success = 0,
    Usage = 1,
    NoListReceived = 2,
    CopyNotWritten = 3,
    NotAppended = 4,
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

    UpdateRun run;
    {
        InternetTransfer transfer;
        run.loadLists(GetHTMLBytes(transfer, arguments.at(1)));
    }
    waitWhileIn(run, UpdateRun::State::Loading);
    if (run.state() == UpdateRun::State::CopyNotSaved)
        return fail(
            CopyNotWritten,
            QStringLiteral("the server copy could not be saved: %1").arg(run.failureText()));
    if (run.state() == UpdateRun::State::NoListReceived) {
        run.end();
        return fail(NoListReceived, QStringLiteral("no cam list could be received"));
    }
    if (run.state() == UpdateRun::State::OwnListNotRead) {
        run.end();
        return fail(NotAppended, run.failureText());
    }

    run.startSearch();
    qint64 longestStepNs = 0;
    bool ended = false;
    while (!ended) {
        QElapsedTimer step;
        step.start();
        ended = run.searchStep();
        longestStepNs = std::max(longestStepNs, step.nsecsElapsed());
    }

    qsizetype added = 0;
    if (run.state() == UpdateRun::State::Reviewing) {
        run.addNewCams();
        waitWhileIn(run, UpdateRun::State::Adding);
        if (!run.addResult().ok()) {
            const QString why = run.addResult().text();
            run.end();
            return fail(NotAppended, why);
        }
        added = run.addResult().value().count();
    }
    run.end();
    std::printf("added %lld\nlongest search step %.3f ms\n", static_cast<long long>(added),
                static_cast<double>(longestStepNs) / 1e6);
    return Success;
}
