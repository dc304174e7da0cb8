#pragma once

#include <QTimer>
#include <QWidget>

class Forms;
class QLabel;
class QProgressBar;

// The search window: shows the progress of the search while the lists window is disabled.
// Each tick of Timer1 is one step of the run's search.
class Form3 final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form3)

public:
    explicit Form3(Forms& forms);
    ~Form3() override;

    void stopTimers() { Timer1.stop(); }

    QProgressBar* ProgressBar2;
    QLabel* Pos1;
    QLabel* Pos2;
    QLabel* Erg;
    QTimer Timer1;

    // The event procedures, one per timer tick or click; public so a test can drive them.
    void Timer1_Timer();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Forms& m_forms;
};
