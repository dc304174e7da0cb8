#pragma once

#include "keylistbox.h"
#include "updaterun.h"

#include <QTimer>
#include <QWidget>

class Forms;
class QLabel;
class QPushButton;

// The lists window: the own list and the new cams side by side, the hidden server list, and
// the two timers that start the search and review its result.
class Form2 final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form2)

public:
    explicit Form2(Forms& forms);
    ~Form2() override;

    void stopTimers();
    bool searchHasEnded() const;

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
    void showRunState(UpdateRun::State state);

    Forms& m_forms;
    // True while one of this window's message boxes is open: the review timer keeps ticking
    // under a box, and must neither ask again nor end the program behind the user's back.
    bool m_boxOpen = false;
};
