#include "form1.h"

#include "centring.h"
#include "dialupstatus.h"
#include "form2.h"
#include "forms.h"
#include "gethtml.h"
#include "keypicking.h"
#include "listfiles.h"
#include "numbertext.h"
#include "textbox.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

Form1::Form1(Forms& forms) : QWidget(nullptr), m_forms(forms)
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
    setWindowIcon(QIcon(QStringLiteral(":/icon.png")));

    for (int i = 0; i < frameCount; ++i) {
        QLabel* frame = new QLabel(this);
        frame->setObjectName(QStringLiteral("Image1_%1").arg(i));
        frame->setGeometry(8, 8, 60, 60);
        frame->setPixmap(
            QPixmap(QStringLiteral(":/frames/frame%1.png").arg(i, 2, 10, QChar(u'0'))));
        frame->hide();
        Image1[i] = frame;
    }
    Image2 = new QLabel(this);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(122, 16, 60, 60);
    Image2->setPixmap(Image1[frameCount - 1]->pixmap());

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
    Command1->setFocus();
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);

    Timer1.setInterval(100);
    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    Timer1.start();
    Timer2.setInterval(100);
    connect(&Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);
    Timer2.start();

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

void Form1::stopTimers()
{
    Timer1.stop();
    Timer2.stop();
}

// One step of the wait animation; the frame counter lives in the hidden Label1.
void Form1::Timer1_Timer()
{
    if (m_forms.isEnding())
        return;
    const qint64 frame = leadingNumber(Label1->text());
    if (frame >= 0 && frame < frameCount)
        Image2->setPixmap(Image1[static_cast<size_t>(frame)]->pixmap());
    Label1->setText(numberText(leadingNumber(Label1->text()) + 1));
    if (leadingNumber(Label1->text()) == frameCount)
        Label1->setText(QStringLiteral("0"));
}

// The list retrieval: fetch, keep the server copy, fill the lists window and hand over.
void Form1::Timer2_Timer()
{
    if (m_forms.isEnding())
        return;
    Timer2.stop();
    {
        // The fetched string is made bytes in its own buffer and gone before anything else.
        QByteArray fetched = GetHTML(m_forms.listUrl()).toLatin1();
        fetched.squeeze();
        Text1->setBytes(std::move(fetched));
    }
    // Cancel can be clicked while the fetch waits; then nothing more of this may run.
    if (m_forms.isEnding())
        return;

    const bool copied = ListFiles::writeServerCopy(ListFiles::tempFile(), Text1->bytes());
    Form2& form2 = m_forms.form2();
    // A server copy that could not be written is no server list. The server list is picked
    // from the bytes temp.tmp was just written from: the same keys as reading the copy back,
    // and one copy of the bytes for the text box and the lists.
    if (copied)
        form2.List2->addItems(keysOfListFile(Text1->bytes()));
    form2.List1->addItems(ListFiles::pickKeysFromFile(ListFiles::ownFile()));
    Inet1.cancel();
    form2.show();
    hide();
}

void Form1::Command1_Click()
{
    if (m_forms.isEnding())
        return;
    hide();
    Inet1.cancel();
    m_forms.endProgram();
}

// Closing the window is the same as Cancel.
void Form1::closeEvent(QCloseEvent* event)
{
    if (!m_forms.isEnding())
        Command1_Click();
    event->accept();
}
