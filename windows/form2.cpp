#include "form2.h"

#include "camsfileappender.h"
#include "centring.h"
#include "dialogs.h"
#include "form3.h"
#include "forms.h"
#include "listfiles.h"
#include "recordmerge.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
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
    setWindowIcon(QIcon(QStringLiteral(":/icon.png")));

    Label1 = new QLabel(QStringLiteral("Own List"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 8, 217, 17);

    List1 = new KeyListBox(KeyList::Order::Sorted, this);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setGeometry(8, 24, 217, 329);

    Label2 = new QLabel(QStringLiteral("New Cams:"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(264, 8, 217, 17);

    NewC = new KeyListBox(KeyList::Order::AsAdded, this);
    NewC->setObjectName(QStringLiteral("NewC"));
    NewC->setGeometry(264, 24, 217, 329);

    List2 = new KeyListBox(KeyList::Order::Sorted, this);
    List2->setObjectName(QStringLiteral("List2"));
    List2->setGeometry(440, 24, 41, 30);
    List2->hide();

    Command2 = new QPushButton(QStringLiteral("<"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(232, 24, 25, 25);
    Command2->setToolTip(QStringLiteral("Add new cams"));
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

    // The window's load starts the search timer.
    Timer1.start();
}

Form2::~Form2() = default;

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
    if (List2->count() == 0) {
        // Nothing came from the server: saying the list is up to date would be a lie.
        m_forms.dialogs().tell(this, QStringLiteral("No list received"),
                               QStringLiteral("No cam list could be received from the server."),
                               Dialogs::Icon::Information);
        if (m_forms.isEnding())
            return;
        ListFiles::remove(ListFiles::tempFile());
        m_forms.endProgram();
        return;
    }
    Form3& form3 = m_forms.form3();
    form3.ProgressBar2->setMaximum(static_cast<int>(List2->count()));
    form3.Timer1.start();
    setEnabled(false);
    form3.show();
}

// The review: offer the new cams, or say the list is up to date and end.
void Form2::Timer2_Timer()
{
    if (m_forms.isEnding() || m_boxOpen)
        return;
    if (NewC->count() >= 1) {
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
    ListFiles::remove(ListFiles::tempFile());
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

    const std::optional<QByteArray> serverCopy = ListFiles::readAll(ListFiles::tempFile());
    if (!serverCopy) {
        m_forms.dialogs().tell(this, QStringLiteral("Cams not added"),
                               QStringLiteral("The server's list (%1) could not be read again, so "
                                              "no cams were added.")
                                   .arg(ListFiles::tempFile()),
                               Dialogs::Icon::Warning);
        return;
    }
    const RecordMerge merge = RecordMerge::build(*serverCopy, NewC->items());
    const CamsFileAppender::Outcome outcome =
        CamsFileAppender::append(ListFiles::ownFile(), merge.block);
    if (!outcome.ok) {
        m_forms.dialogs().tell(this, QStringLiteral("Cams not added"),
                               outcome.error + QStringLiteral("\nYour list was left as it was."),
                               Dialogs::Icon::Warning);
        return;
    }
    List1->addItems(merge.addedKeys);

    // The count of records really written, so a key that vanished is not claimed as added.
    const qsizetype added = merge.addedKeys.count();
    m_forms.dialogs().tell(this, QStringLiteral("New Cams added"),
                           QStringLiteral(" %1 Cams was/were added").arg(added),
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
    ListFiles::remove(ListFiles::tempFile());
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
