#pragma once

#include <QTimer>
#include <QWidget>

class QLabel;
class QProgressBar;
class UpdateRun;

// The search window: shows the progress of the search while the lists window is disabled.
// Each tick of Timer1 asks the run for one step of its search.
class Form3 final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form3)

public:
    explicit Form3(UpdateRun& run);
    ~Form3() override;

    // Shows the run's present state: the search steps only while it runs.
    void showRunState();
    // The end: nothing of this window fires any more.
    void stop() { Timer1.stop(); }

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
    UpdateRun& m_run;
};
