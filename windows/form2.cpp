#include "windows/form2.h"

#include "windows/centring.h"
#include "windows/dialogs.h"
#include "windows/pictures.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>

Form2::Form2(UpdateRun& run, Dialogs& dialogs) : QWidget(nullptr), m_run(run), m_dialogs(dialogs)
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

    // The new cams as the search finds them.
    connect(&m_run, &UpdateRun::newCamsFound, this, [this] { NewC->followedGrew(); });

    // The window's load starts the search timer.
    Timer1.start();
}

Form2::~Form2() = default;

// The lists once they are read, the search, and what comes after it.
void Form2::showRunState()
{
    switch (m_run.state()) {
    case UpdateRun::State::ListsLoaded:
    case UpdateRun::State::NoListReceived:
    case UpdateRun::State::OwnListNotRead:
        List2->addItems(m_run.serverKeys());
        List1->addItems(m_run.ownKeys());
        break;
    case UpdateRun::State::Searching:
        // The new cams as the search finds them, straight from the run's list of them.
        NewC->follow(m_run.newKeys());
        setEnabled(false);
        break;
    case UpdateRun::State::Reviewing:
    case UpdateRun::State::UpToDate:
        // The box shares the run's list of new cams from here on, instead of holding a copy.
        NewC->setItems(m_run.newKeys());
        // The server list was there for the search only, and is never seen: the run has let
        // its keys go, and so does the box.
        List2->clear();
        // Up to date after an add: nothing is left to add.
        if (m_run.state() == UpdateRun::State::UpToDate)
            Command2->setEnabled(false);
        Command4->setEnabled(true);
        if (!Timer2.isActive())
            Timer2.start();
        setEnabled(true);
        break;
    case UpdateRun::State::Adding:
        // The add runs on a thread of its own; meanwhile the window paints but takes no input.
        setEnabled(false);
        setCursor(Qt::BusyCursor);
        break;
    case UpdateRun::State::AddEnded:
        unsetCursor();
        setEnabled(true);
        // The run has put the added keys in their places in the own list: show that list.
        if (m_run.addResult().ok())
            List1->setItems(m_run.ownKeys());
        break;
    default:
        break;
    }
}

void Form2::stop()
{
    Timer1.stop();
    Timer2.stop();
}

// Starts the search; where the run went no further, the run tells why and ends instead.
void Form2::Timer1_Timer()
{
    Timer1.stop();
    m_run.startSearch();
}

// The review: offer the new cams, or let the run tell how an add went, or that the list is up to
// date. A timer's handler is not entered again while it waits under one of the run's boxes.
void Form2::Timer2_Timer()
{
    if (m_run.state() == UpdateRun::State::Reviewing)
        Command2->setEnabled(true);
    else
        m_run.review();
}

// Adds all new cams to the own list, after a Yes.
void Form2::Command2_Click()
{
    m_run.gatherRecords();
    const UpdateRun::Question question = UpdateRun::addAllQuestion();
    if (m_dialogs.askYesNo(this, question.title, question.text))
        m_run.addNewCams();
}

void Form2::Command4_Click()
{
    m_run.leave();
}

// Closing the window does nothing while the search runs, and what OK does after it.
void Form2::closeEvent(QCloseEvent* event)
{
    event->ignore();
    Command4_Click();
}
