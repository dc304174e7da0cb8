#include "windows/form1.h"

#include "camlist/run/updaterun.h"
#include "net/dialupstatus.h"
#include "net/gethtml.h"
#include "windows/centring.h"
#include "windows/numbertext.h"
#include "windows/pictures.h"
#include "windows/textbox.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>

Form1::Form1(UpdateRun& run, QString listUrl)
    : QWidget(nullptr), m_run(run), m_listUrl(std::move(listUrl))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Recieving List..."));
    // A fixed dialog: no resizing, no minimize or maximize button, no task-bar entry.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(305, 129);
    centreOnScreen(*this);
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setWindowIcon(Pictures::icon());

    for (int i = 0; i < frameCount; ++i) {
        QLabel* frame = new QLabel(this);
        frame->setObjectName(QStringLiteral("Image1_%1").arg(i));
        frame->setGeometry(8, 8, 60, 60);
        frame->setPixmap(Pictures::frame(i).pixmap(QSize(60, 60), devicePixelRatio()));
        frame->hide();
        Image1[i] = frame;
    }
    Image2 = new QLabel(this);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(122, 16, 60, 60);
    Image2->setPixmap(Image1[frameCount - 1]->pixmap());
    Image2->setAccessibleName(QStringLiteral("Wait animation"));
    Image2->setAccessibleDescription(
        QStringLiteral("A web cam with a turning arc: the cam list is being received"));

    Label1 = new QLabel(QStringLiteral("0"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 72, 25, 25);
    Label1->hide();

    Text1 = new TextBox(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(256, 8, 41, 33);
    Text1->setMultiLine(true);
    Text1->setText(QStringLiteral("Text1"));
    Text1->hide();

    Command1 = new QPushButton(QStringLiteral("Cancel"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(120, 96, 65, 25);
    // The only control that takes the focus; while it has it, it is the window's default button,
    // drawn as such, and Return presses it as well as Space does.
    Command1->setFocusPolicy(Qt::StrongFocus);
    Command1->setAutoDefault(true);
    Command1->setFocus();
    // Styles draw a button's focus frame only once the focus has moved by keyboard; here it never
    // moves, so without this a keyboard user would not see where Space and Return go.
    setAttribute(Qt::WA_KeyboardFocusChange);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    // Alt+C as well, without marking the caption: it stays "Cancel" as it is seen and read out.
    QShortcut* cancelKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_C), this);
    connect(cancelKey, &QShortcut::activated, Command1, &QPushButton::click);

    Timer1.setInterval(100);
    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    Timer1.start();
    Timer2.setInterval(100);
    connect(&Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);
    Timer2.start();
    connect(&Inet1, &InternetTransfer::finished, this, &Form1::Inet1_Finished);

    m_resources.setNameSource([this] { return m_nameSource ? m_nameSource->text() : QString(); });
    m_resources.setPictureTarget([this](const QImage& picture) {
        if (m_pictureTarget)
            m_pictureTarget->setPixmap(QPixmap::fromImage(picture));
    });
    m_resources.setPointerShape([this](bool busy) {
        if (busy)
            setCursor(Qt::WaitCursor);
        else
            unsetCursor();
    });
}

Form1::~Form1() = default;

QString Form1::GetHTML(const QString& WWW_Adresse)
{
    return ::GetHTML(Inet1, WWW_Adresse);
}

bool Form1::DFÜStatus()
{
    return ::DFÜStatus(*m_ras);
}

bool Form1::IsOnline()
{
    return DFÜStatus();
}

void Form1::setNameSource(QLineEdit* source)
{
    m_nameSource = source;
}

void Form1::setPictureTarget(QLabel* target)
{
    m_pictureTarget = target;
}

void Form1::GetRESOURCE(const QString& WWW_Adresse)
{
    m_resources.GetRESOURCE(WWW_Adresse);
}

void Form1::stop()
{
    Timer1.stop();
    Timer2.stop();
    // A cancelled transfer still says so; nobody is listening any more.
    disconnect(&Inet1, nullptr, this, nullptr);
    Inet1.cancel();
}

// One step of the wait animation; the frame counter lives in the hidden Label1.
void Form1::Timer1_Timer()
{
    const qint64 frame = leadingNumber(Label1->text());
    if (frame >= 0 && frame < frameCount)
        Image2->setPixmap(Image1[static_cast<size_t>(frame)]->pixmap());
    Label1->setText(numberText(leadingNumber(Label1->text()) + 1));
    if (leadingNumber(Label1->text()) == frameCount)
        Label1->setText(QStringLiteral("0"));
}

// The list retrieval begins: the fetch runs while the animation goes on.
void Form1::Timer2_Timer()
{
    Timer2.stop();
    m_run.fetchStarted();
    StartGetHTML(Inet1, m_listUrl);
}

// The fetch has ended: its result goes to the run, which judges it, keeps the server copy and
// reads both lists.
void Form1::Inet1_Finished(const FetchResult& fetched)
{
    m_run.receive(fetched);
    // The text box keeps what the run took, as its bytes: nothing when it took nothing.
    Text1->setBytes(m_run.receivedText());
    Inet1.cancel();
}

void Form1::Command1_Click()
{
    m_run.cancel();
}

// Escape is Cancel, as in a dialog.
void Form1::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Cancel) && Command1->isEnabled()) {
        Command1->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

// Closing the window is the same as Cancel.
void Form1::closeEvent(QCloseEvent* event)
{
    Command1_Click();
    event->accept();
}
