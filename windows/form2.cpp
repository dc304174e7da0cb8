#include "form2.h"

#include "centring.h"
#include "dialogs.h"
#include "form3.h"
#include "forms.h"
#include "pictures.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QScopedValueRollback>

Form2::Form2(Forms& forms) : QWidget(nullptr), m_forms(forms)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Lists"));
    // Fixed single border: not resizable, a minimize button but no maximize, in the task bar.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(489, 393);
    centreOnScreen(*this);
    setWindowIcon(Pictures::icon());

    Label1 = new QLabel(QStringLiteral("Own List"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 8, 217, 17);

    List1 = new KeyListBox(KeyList::Order::Sorted, this);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setGeometry(8, 24, 217, 329);
    List1->setAccessibleName(Label1->text());

    Label2 = new QLabel(QStringLiteral("New Cams:"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(264, 8, 217, 17);

    NewC = new KeyListBox(KeyList::Order::AsAdded, this);
    NewC->setObjectName(QStringLiteral("NewC"));
    NewC->setGeometry(264, 24, 217, 329);
    NewC->setAccessibleName(Label2->text());

    List2 = new KeyListBox(KeyList::Order::Sorted, this);
    List2->setObjectName(QStringLiteral("List2"));
    List2->setGeometry(440, 24, 41, 30);
    List2->hide();

    Command2 = new QPushButton(QStringLiteral("<"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(232, 24, 25, 25);
    Command2->setToolTip(QStringLiteral("Add new cams"));
    // "<" says nothing to a screen reader.
    Command2->setAccessibleName(Command2->toolTip());
    Command2->setEnabled(false);
    connect(Command2, &QPushButton::clicked, this, &Form2::Command2_Click);

    Command4 = new QPushButton(QStringLiteral("&OK"), this);
    Command4->setObjectName(QStringLiteral("Command4"));
    Command4->setGeometry(408, 360, 73, 25);
    Command4->setEnabled(false);
    connect(Command4, &QPushButton::clicked, this, &Form2::Command4_Click);

    setTabOrder(List1, Command2);
    setTabOrder(Command2, Command4);
    setTabOrder(Command4, NewC);
    List2->setFocusPolicy(Qt::NoFocus);

    Timer1.setInterval(250);
    connect(&Timer1, &QTimer::timeout, this, &Form2::Timer1_Timer);
    Timer2.setInterval(1);
    connect(&Timer2, &QTimer::timeout, this, &Form2::Timer2_Timer);

    // The window shows the run: its lists once they are read, the new cams as the search
    // finds them, and the end of the search.
    UpdateRun& run = m_forms.run();
    connect(&run, &UpdateRun::stateChanged, this, &Form2::showRunState);
    connect(&run, &UpdateRun::newCamsFound, this,
            [this](const KeyList& keys) { NewC->addItems(keys); });
    if (run.state() == UpdateRun::State::ListsLoaded ||
        run.state() == UpdateRun::State::NoListReceived ||
        run.state() == UpdateRun::State::OwnListNotRead)
        showRunState(run.state());

    // The window's load starts the search timer.
    Timer1.start();
}

Form2::~Form2() = default;

void Form2::showRunState(UpdateRun::State state)
{
    const UpdateRun& run = m_forms.run();
    switch (state) {
    case UpdateRun::State::ListsLoaded:
    case UpdateRun::State::NoListReceived:
    case UpdateRun::State::OwnListNotRead:
        List2->addItems(run.serverKeys());
        List1->addItems(run.ownKeys());
        break;
    case UpdateRun::State::Reviewing:
        // The box shares the run's list of new cams from here on, instead of holding a copy.
        NewC->setItems(run.newKeys());
        Command4->setEnabled(true);
        Timer2.start();
        setEnabled(true);
        show();
        break;
    default:
        break;
    }
}

bool Form2::searchHasEnded() const
{
    return Command4->isEnabled();
}

void Form2::stopTimers()
{
    Timer1.stop();
    Timer2.stop();
}

// Starts the search in the search window.
void Form2::Timer1_Timer()
{
    if (m_forms.isEnding())
        return;
    Timer1.stop();
    UpdateRun& run = m_forms.run();
    if (run.state() != UpdateRun::State::ListsLoaded) {
        // An own list that was not read: showing every server cam as new would invite adding
        // them all over again. Nothing from the server: saying the list is up to date would be
        // a lie.
        const bool ownNotRead = run.state() == UpdateRun::State::OwnListNotRead;
        m_forms.dialogs().tell(
            this, ownNotRead ? QStringLiteral("List not read") : QStringLiteral("No list received"),
            ownNotRead ? run.ownListError() + QStringLiteral("\nNothing was changed.")
                       : QStringLiteral("No cam list could be received from the server.\n") +
                             run.noListReason(),
            ownNotRead ? Dialogs::Icon::Warning : Dialogs::Icon::Information);
        if (m_forms.isEnding())
            return;
        run.finish();
        m_forms.endProgram();
        return;
    }
    // The search window shows the search once it is there to see it start.
    m_forms.form3();
    setEnabled(false);
    run.startSearch();
}

// The review: offer the new cams, or say the list is up to date and end.
void Form2::Timer2_Timer()
{
    if (m_forms.isEnding() || m_boxOpen)
        return;
    UpdateRun& run = m_forms.run();
    if (run.newKeys().count() >= 1) {
        Command2->setEnabled(true);
        return;
    }
    {
        const QScopedValueRollback<bool> boxOpen(m_boxOpen, true);
        m_forms.dialogs().tell(this, QStringLiteral("No new Cams available"),
                               QStringLiteral("Your list is up to date."),
                               Dialogs::Icon::Information);
    }
    if (m_forms.isEnding())
        return;
    run.finish();
    m_forms.endProgram();
}

// Adds all new cams to the own list.
void Form2::Command2_Click()
{
    if (m_forms.isEnding() || m_boxOpen)
        return;
    const QScopedValueRollback<bool> boxOpen(m_boxOpen, true);
    if (!m_forms.dialogs().askYesNo(this, QStringLiteral("Add all"),
                                    QStringLiteral("Do you really want to add all new cams?")))
        return;
    if (m_forms.isEnding())
        return;

    // The add runs on a thread of its own; meanwhile the window paints but takes no input.
    setEnabled(false);
    setCursor(Qt::BusyCursor);
    const UpdateRun::AddOutcome outcome = m_forms.run().addNewCams();
    unsetCursor();
    setEnabled(true);
    if (m_forms.isEnding())
        return;
    if (!outcome.ok) {
        // Say the list is as it was only when it is: a failed undo says what is left instead.
        QString text = outcome.error;
        if (outcome.listLeftAsItWas)
            text += QStringLiteral("\nYour list was left as it was.");
        m_forms.dialogs().tell(this, QStringLiteral("Cams not added"), text,
                               Dialogs::Icon::Warning);
        return;
    }
    // The run has put the added keys in their places in the own list: show that list.
    List1->setItems(m_forms.run().ownKeys());

    // The count of records really written: a key that vanished from the server's copy, or that
    // another run added meanwhile, is not claimed as added.
    m_forms.dialogs().tell(this, QStringLiteral("New Cams added"),
                           QStringLiteral(" %1 Cams was/were added").arg(outcome.addedKeys.count()),
                           Dialogs::Icon::Information);
    if (m_forms.isEnding())
        return;
    NewC->clear();
    Command2->setEnabled(false);
}

void Form2::Command4_Click()
{
    if (m_forms.isEnding())
        return;
    m_forms.run().finish();
    m_forms.endProgram();
}

// Closing the window does nothing while the search runs, and what OK does after it.
void Form2::closeEvent(QCloseEvent* event)
{
    if (m_forms.isEnding()) {
        event->accept();
        return;
    }
    event->ignore();
    if (searchHasEnded() && !m_boxOpen)
        Command4_Click();
}
