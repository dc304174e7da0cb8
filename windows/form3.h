#pragma once

#include "camsearch.h"

#include <QTimer>
#include <QWidget>
#include <chrono>

class Forms;
class QLabel;
class QProgressBar;

// The search window: shows the progress of the search while the lists window is disabled.
// Each tick of Timer1 settles as many server keys as fit in one time slice.
class Form3 final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form3)

public:
    static constexpr std::chrono::milliseconds defaultTimeSlice{10};

    explicit Form3(Forms& forms);
    ~Form3() override;

    void stopTimers() { Timer1.stop(); }
    void setTimeSlice(std::chrono::milliseconds slice) { m_timeSlice = slice; }

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
    CamSearch m_search;
    bool m_searchStarted = false;
    std::chrono::milliseconds m_timeSlice = defaultTimeSlice;
};
