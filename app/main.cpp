#include "messageboxdialogs.h"
#include "program.h"
#include "windowaccessibility.h"

#include <QApplication>
#include <csignal>

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
    program.start();
    return QApplication::exec();
}
