#include "messageboxdialogs.h"
#include "program.h"

#include <QApplication>
#include <QIcon>
#include <csignal>

int main(int argc, char* argv[])
{
    // A file-size limit must turn into a failed write we can report, not a killed process.
    std::signal(SIGXFSZ, SIG_IGN);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("camupdate"));
    QApplication::setApplicationVersion(QStringLiteral(CAMUPDATE_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon.png")));
    QApplication::setDesktopFileName(QStringLiteral("camupdate"));
    // Hiding or closing windows never ends the program; only its own end does.
    QApplication::setQuitOnLastWindowClosed(false);

    MessageBoxDialogs dialogs;
    Program program(dialogs, Program::configuredListUrl());
    QObject::connect(&program, &Program::ended, &app,
                     [](int exitCode) { QCoreApplication::exit(exitCode); });
    program.start();
    return QApplication::exec();
}
