#include "app/program.h"

#include "windows/dialogs.h"
#include "windows/form1.h"
#include "windows/form2.h"
#include "windows/form3.h"

#include <QtGlobal>

Program::Program(Dialogs& dialogs, QString listUrl, QObject* parent)
    : QObject(parent), m_dialogs(dialogs), m_listUrl(std::move(listUrl))
{
    // The one to hear of every state: the windows hear of it from here, in a fixed order.
    connect(&m_run, &UpdateRun::stateChanged, this, &Program::showRunState);
    connect(&m_run, &UpdateRun::newsDue, this, &Program::tell);
}

Program::~Program()
{
    end();
}

QString Program::configuredListUrl()
{
    const QString mirror = qEnvironmentVariable("CAMUPDATE_LIST_URL");
    return mirror.isEmpty() ? QStringLiteral(CAMUPDATE_LIST_URL) : mirror;
}

void Program::start()
{
    // What a killed run left is settled before either list is read.
    const UpdateRun::News settled = m_run.start();
    if (!settled.text.isEmpty())
        tell(settled);
    // Asked to end while that box was open: no window is shown.
    if (!m_ended)
        form1().show();
}

void Program::end()
{
    m_run.end();
}

void Program::endWithoutDisplay()
{
    m_displayGone = true;
    end();
}

Form1& Program::form1()
{
    if (!m_form1)
        m_form1 = std::make_unique<Form1>(m_run, m_listUrl);
    return *m_form1;
}

Form2& Program::form2()
{
    if (!m_form2)
        m_form2 = std::make_unique<Form2>(m_run, m_dialogs);
    return *m_form2;
}

Form3& Program::form3()
{
    if (!m_form3)
        m_form3 = std::make_unique<Form3>(m_run);
    return *m_form3;
}

void Program::showRunState(UpdateRun::State state)
{
    switch (state) {
    case UpdateRun::State::Loading:
        // The lists window is loaded, hidden, as its lists begin to be filled: its load starts
        // the timer that starts the search, which thus runs while the lists are read.
        form2();
        break;
    case UpdateRun::State::ListsLoaded:
    case UpdateRun::State::NoListReceived:
    case UpdateRun::State::OwnListNotRead:
        // The lists window shows both lists; the download window stays, hidden, until the end.
        form2().show();
        form1().hide();
        break;
    case UpdateRun::State::Searching:
        form3().show();
        break;
    case UpdateRun::State::Reviewing:
    case UpdateRun::State::UpToDate:
        if (m_form3)
            m_form3->hide();
        form2().show();
        break;
    case UpdateRun::State::Ended:
        endProgram();
        return;
    default:
        break;
    }
    // Then each window there is shows the state, always in this order.
    if (m_form2)
        m_form2->showRunState();
    if (m_form3)
        m_form3->showRunState();
}

// Over the window the user sees: the lists window once it is shown (it is loaded, hidden,
// while the lists are read), else the download window; at the start, when neither is there
// yet, on its own. The box is modal: the run waits for it to be answered.
void Program::tell(const UpdateRun::News& news)
{
    QWidget* over =
        m_form2 && m_form2->isVisible() ? static_cast<QWidget*>(m_form2.get()) : m_form1.get();
    m_dialogs.tell(over, news.title, news.text, Dialogs::iconFor(news.warning));
}

// The one end of the program: nothing of any window fires after it.
void Program::endProgram()
{
    if (m_ended)
        return;
    m_ended = true;
    if (m_form1)
        m_form1->stop();
    if (m_form2)
        m_form2->stop();
    if (m_form3)
        m_form3->stop();
    if (m_displayGone) {
        Q_EMIT ended(0);
        return;
    }
    for (QWidget* window :
         {static_cast<QWidget*>(m_form1.get()), static_cast<QWidget*>(m_form2.get()),
          static_cast<QWidget*>(m_form3.get())}) {
        if (window)
            window->hide();
    }
    Q_EMIT ended(0);
}
