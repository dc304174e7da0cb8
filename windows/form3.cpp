#include "windows/form3.h"

#include "camlist/run/updaterun.h"
#include "windows/centring.h"
#include "windows/numbertext.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>

Form3::Form3(UpdateRun& run) : QWidget(nullptr), m_run(run)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Searching..."));
    // A fixed dialog without buttons, icon or task-bar entry.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(345, 33);
    centreOnScreen(*this);

    ProgressBar2 = new QProgressBar(this);
    ProgressBar2->setObjectName(QStringLiteral("ProgressBar2"));
    ProgressBar2->setGeometry(8, 8, 329, 17);
    ProgressBar2->setRange(0, 100);
    ProgressBar2->setValue(0);
    ProgressBar2->setTextVisible(false);
    ProgressBar2->setAccessibleName(QStringLiteral("Search progress"));

    const auto cursorLabel = [this](const char* name, int left) {
        QLabel* label = new QLabel(QStringLiteral("0"), this);
        label->setObjectName(QLatin1StringView(name));
        label->setGeometry(left, 0, 17, 17);
        label->hide();
        return label;
    };
    Pos1 = cursorLabel("Pos1", 32);
    Pos2 = cursorLabel("Pos2", 56);
    Erg = cursorLabel("Erg", 80);

    Timer1.setInterval(1);
    connect(&Timer1, &QTimer::timeout, this, &Form3::Timer1_Timer);
}

Form3::~Form3() = default;

void Form3::showRunState()
{
    if (m_run.state() != UpdateRun::State::Searching) {
        Timer1.stop();
        return;
    }
    ProgressBar2->setMaximum(static_cast<int>(m_run.serverKeys().count()));
    Timer1.start();
}

// One search step: as many server keys as fit in a time slice, so even big lists are done in
// seconds; the labels and the bar show where the search stands.
void Form3::Timer1_Timer()
{
    m_run.searchStep();
    Pos1->setText(QStringLiteral("0"));
    Erg->setText(QStringLiteral("0"));
    Pos2->setText(numberText(m_run.settledCount()));
    ProgressBar2->setValue(static_cast<int>(m_run.progressValue()));
}

// The search must finish; closing its window would leave the lists window disabled for good.
void Form3::closeEvent(QCloseEvent* event)
{
    event->ignore();
}
