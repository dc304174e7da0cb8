#include "app/endsignals.h"
#include "app/program.h"
#include "camlist/run/backgroundwork.h"
#include "windows/messageboxdialogs.h"
#include "windows/windowaccessibility.h"

#include <QApplication>
#include <QSessionManager>
#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    // A file-size limit must turn into a failed write we can report, not a killed process.
    std::signal(SIGXFSZ, SIG_IGN);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("camupdate"));
    QApplication::setApplicationVersion(QStringLiteral(CAMUPDATE_VERSION));
    // No icon for the whole application: the search window must show none. The download and
    // lists windows carry their own, and message boxes take their window's.
    QApplication::setDesktopFileName(QStringLiteral("camupdate"));
    // Hiding or closing windows never ends the program; only its own end does.
    QApplication::setQuitOnLastWindowClosed(false);

    installWindowAccessibility();
    MessageBoxDialogs dialogs;
    Program program(dialogs, Program::configuredListUrl());
    QObject::connect(&program, &Program::ended, &app,
                     [](int exitCode) { QCoreApplication::exit(exitCode); });
    // A logout, a shutdown or Ctrl+C ends the program as its own buttons do; an add under way
    // finishes first.
    EndSignals endSignals;
    QObject::connect(&endSignals, &EndSignals::endRequested, &program, &Program::end);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &program,
                     [&program](QSessionManager&) { program.end(); });
    // A lost display ends it the same way, with the same status, while the platform's last
    // warning is held up: once that returns, Qt exits with 1 and runs the exit handlers against
    // a display that is gone, while reading that was given up may still run on its thread.
    QObject::connect(
        &endSignals, &EndSignals::displayLost, &program,
        [&program] {
            program.endWithoutDisplay();
            std::fflush(nullptr);
            std::_Exit(0);
        },
        Qt::DirectConnection);
    program.start();
    // Ended before the event loop ran (asked to while the first box was open).
    const int exitCode = program.hasEnded() ? 0 : QApplication::exec();
    // Reading that was given up (a hung network folder, say) is not waited for: what it saved
    // it removes itself if it gets the chance, and the next start clears what it left.
    if (BackgroundWork::stillRunning() > 0) {
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}
