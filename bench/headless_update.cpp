// The program's update run without windows, answering Yes to "add all": it drives the same run
// object the windows drive, step by step as their timers would, from the same front door (the
// fetch's result goes to the run, which judges it), so run-scale times and weighs the program's
// own flow against a shell pipeline. Run it in the folder that holds Cams.inf.
// Prints "added N", then the longest search step in milliseconds on a line of its own.
#include "bench/benchdata.h"
#include "camlist/run/updaterun.h"
#include "net/gethtml.h"
#include "net/internettransfer.h"

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
    // What the run tells as it goes, where the program would show it in a box.
    QString told;
    QObject::connect(&run, &UpdateRun::newsDue, &run,
                     [&told](const UpdateRun::News& news) { told = news.text; });
    const UpdateRun::News settled = run.start();
    if (!settled.text.isEmpty())
        std::fprintf(stderr, "camupdate_headless: %s\n", qPrintable(settled.text));
    run.fetchStarted();
    {
        InternetTransfer transfer;
        run.receive(GetHTMLResult(transfer, arguments.at(1)));
    }
    waitWhileIn(run, UpdateRun::State::Loading);
    // A server copy that could not be saved is told at once, and the run has ended.
    if (run.state() == UpdateRun::State::Ended)
        return fail(CopyNotWritten, told);
    const QString why = run.news().text;
    if (run.state() == UpdateRun::State::NoListReceived) {
        run.end();
        return fail(NoListReceived, why);
    }
    if (run.state() == UpdateRun::State::OwnListNotRead) {
        run.end();
        return fail(NotAppended, why);
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
        // As the lists window does on "<": the records are gathered while Yes is answered.
        run.gatherRecords();
        run.addNewCams();
        waitWhileIn(run, UpdateRun::State::Adding);
        if (!run.addResult().ok()) {
            const QString whyNot = run.news().text;
            run.end();
            return fail(NotAppended, whyNot);
        }
        added = run.addResult().value().keys.count();
        if (!run.addResult().value().settledBefore.isEmpty())
            std::fprintf(stderr, "camupdate_headless: %s\n",
                         qPrintable(run.addResult().value().settledBefore));
    }
    run.end();
    std::printf("added %lld\nlongest search step %.3f ms\n", static_cast<long long>(added),
                static_cast<double>(longestStepNs) / 1e6);
    return Success;
}
