#pragma once

#include "camlist/run/updaterun.h"
#include "windows/keylistbox.h"

#include <QTimer>
#include <QWidget>

class Dialogs;
class QLabel;
class QPushButton;

// The lists window: the own list and the new cams side by side, the hidden server list, and
// the two timers that ask the run for the search and for each step of the review. It shows the
// run and passes on what the user asks for; what the run has to tell, the program tells.
class Form2 final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form2)

public:
    Form2(UpdateRun& run, Dialogs& dialogs);
    ~Form2() override;

    // Shows the run's present state.
    void showRunState();
    // The end: nothing of this window fires any more.
    void stop();

    QLabel* Label1;
    KeyListBox* List1;
    QLabel* Label2;
    KeyListBox* NewC;
    KeyListBox* List2;
    QPushButton* Command2;
    QPushButton* Command4;
    QTimer Timer1;
    QTimer Timer2;

    // The event procedures, one per timer tick or click; public so a test can drive them.
    void Timer1_Timer();
    void Timer2_Timer();
    void Command2_Click();
    void Command4_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    UpdateRun& m_run;
    Dialogs& m_dialogs;
};
