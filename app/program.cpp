#include "program.h"

#include "addjournal.h"
#include "dialogs.h"
#include "filereplacer.h"
#include "form1.h"
#include "form2.h"
#include "form3.h"
#include "listfiles.h"

#include <QtGlobal>

Program::Program(Dialogs& dialogs, QString listUrl, QObject* parent)
    : QObject(parent), m_dialogs(dialogs), m_listUrl(std::move(listUrl))
{}

Program::~Program()
{
    // Timers of one window can reach the others; stop them all before any goes away.
    m_ending = true;
    if (m_form1)
        m_form1->stopTimers();
    if (m_form2)
        m_form2->stopTimers();
    if (m_form3)
        m_form3->stopTimers();
}

QString Program::configuredListUrl()
{
    const QString mirror = qEnvironmentVariable("CAMUPDATE_LIST_URL");
    return mirror.isEmpty() ? QStringLiteral(CAMUPDATE_LIST_URL) : mirror;
}

void Program::start()
{
    // What a killed run left is settled before either list is read.
    FileReplacer::removeLeftovers(ListFiles::tempFile());
    const AddJournal::Recovery earlier = AddJournal::recover(ListFiles::ownFile());
    if (!earlier.text.isEmpty())
        m_dialogs.tell(nullptr, QStringLiteral("Interrupted add"), earlier.text,
                       earlier.done == AddJournal::Done::JournalKept ? Dialogs::Icon::Warning
                                                                     : Dialogs::Icon::Information);
    // A signal while that box was open has ended the program already.
    if (m_ending)
        return;
    form1().show();
}

Form1& Program::form1()
{
    if (!m_form1)
        m_form1 = std::make_unique<Form1>(*this);
    return *m_form1;
}

Form2& Program::form2()
{
    if (!m_form2)
        m_form2 = std::make_unique<Form2>(*this);
    return *m_form2;
}

Form3& Program::form3()
{
    if (!m_form3)
        m_form3 = std::make_unique<Form3>(*this);
    return *m_form3;
}

void Program::endProgram()
{
    if (m_ending)
        return;
    m_ending = true;
    // An add under way finishes first; reading the lists is given up; the copy goes.
    m_run.finish();
    if (m_form1) {
        m_form1->stopTimers();
        m_form1->Inet1.cancel();
    }
    if (m_form2)
        m_form2->stopTimers();
    if (m_form3)
        m_form3->stopTimers();
    for (QWidget* window :
         {static_cast<QWidget*>(m_form1.get()), static_cast<QWidget*>(m_form2.get()),
          static_cast<QWidget*>(m_form3.get())}) {
        if (window)
            window->close();
    }
    Q_EMIT ended(0);
}
