#include "form3.h"

#include "centring.h"
#include "form2.h"
#include "forms.h"
#include "numbertext.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

Form3::Form3(Forms& forms) : QWidget(nullptr), m_forms(forms)
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

// One search step. Own keys are looked up in an index instead of being compared one per tick,
// so even big lists are done in seconds; the labels and the bar show where the search stands.
void Form3::Timer1_Timer()
{
    if (m_forms.isEnding())
        return;
    Form2& form2 = m_forms.form2();
    if (!m_searchStarted) {
        m_search.start(form2.List1->keys(), form2.List2->keys());
        m_searchStarted = true;
    }
    QElapsedTimer clock;
    clock.start();
    const bool ended = m_search.step([&] { return clock.elapsed() >= m_timeSlice.count(); });

    form2.NewC->addItems(m_search.takeNewKeys());
    Pos1->setText(QStringLiteral("0"));
    Erg->setText(QStringLiteral("0"));
    Pos2->setText(numberText(m_search.settled()));
    ProgressBar2->setValue(static_cast<int>(m_search.progressValue()));
    if (!ended)
        return;

    Timer1.stop();
    hide();
    form2.Command4->setEnabled(true);
    form2.Timer2.start();
    form2.setEnabled(true);
    form2.show();
}

// The search must finish; closing its window would leave the lists window disabled for good.
void Form3::closeEvent(QCloseEvent* event)
{
    if (m_forms.isEnding())
        event->accept();
    else
        event->ignore();
}
