#pragma once

#include "camlist/run/updaterun.h"

#include <QObject>
#include <QString>
#include <memory>

class Dialogs;
class Form1;
class Form2;
class Form3;

// The running program: it owns the run and the three windows, and is the one that answers the
// run. As the run moves on it shows and hides the windows and has each of them show the new
// state; it tells the user whatever the run has to tell, in a box over the window that shows the
// run; and it ends everything once, when the run has ended. The windows pass what the user asks
// for to the run; none of them knows another, and none tells the user how the run went.
class Program final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Program)

public:
    Program(Dialogs& dialogs, QString listUrl, QObject* parent = nullptr);
    ~Program() override;

    // The list's address: the build's own, unless CAMUPDATE_LIST_URL names a mirror.
    static QString configuredListUrl();

    // Settles what a killed run left, then shows the download window; its timers start the run.
    void start();
    // Ends the run, and with it the program (a logout, a signal).
    void end();
    // The same, when the display has gone: the windows are left as they are, since any call
    // to a display that is gone may end the process before the end is through.
    void endWithoutDisplay();
    bool hasEnded() const { return m_ended; }

    UpdateRun& run() { return m_run; }
    // Each window is created the first time it is needed and kept until the end.
    Form1& form1();
    Form2& form2();
    Form3& form3();
    bool hasForm2() const { return m_form2 != nullptr; }
    bool hasForm3() const { return m_form3 != nullptr; }

Q_SIGNALS:
    // The program has ended; the event loop should stop with this code.
    void ended(int exitCode);

private:
    void showRunState(UpdateRun::State state);
    void tell(const UpdateRun::News& news);
    void endProgram();

    Dialogs& m_dialogs;
    QString m_listUrl;
    UpdateRun m_run;
    std::unique_ptr<Form1> m_form1;
    std::unique_ptr<Form2> m_form2;
    std::unique_ptr<Form3> m_form3;
    bool m_ended = false;
    bool m_displayGone = false;
};
