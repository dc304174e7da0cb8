// The three windows and a whole run through them, against a real server on 127.0.0.1.
#include "app/endsignals.h"
#include "app/program.h"
#include "camlist/format/keypicking.h"
#include "camlist/run/backgroundwork.h"
#include "camlist/run/updaterun.h"
#include "camlist/store/camsfileappender.h"
#include "camlist/store/listfiles.h"
#include "tests/support/fakeremoteaccess.h"
#include "tests/support/loopbackhttpserver.h"
#include "tests/support/recordingdialogs.h"
#include "tests/support/testfiles.h"
#include "windows/displaytext.h"
#include "windows/form1.h"
#include "windows/form2.h"
#include "windows/form3.h"
#include "windows/messageboxdialogs.h"
#include "windows/numbertext.h"
#include "windows/pictures.h"
#include "windows/textbox.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>
#include <array>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(DisplayText::Marks::CanDraw)

namespace {

// Reads of files the program holds up, as a hung network folder would, until let go. Only
// reads on threads other than the test's own are held.
std::mutex heldReadsMutex;
std::condition_variable heldReadsChanged;
bool holdReads = false;
std::atomic<int> readsHeld{0};
const std::thread::id testThread = std::this_thread::get_id();

void letReadsGo()
{
    {
        const std::lock_guard lock(heldReadsMutex);
        holdReads = false;
    }
    heldReadsChanged.notify_all();
}

} // namespace

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset)
{
    if (std::this_thread::get_id() != testThread) {
        std::unique_lock lock(heldReadsMutex);
        if (holdReads) {
            ++readsHeld;
            heldReadsChanged.wait(lock, [] { return !holdReads; });
        }
    }
    using Read = ssize_t (*)(int, void*, size_t, off_t);
    static const auto systemRead = reinterpret_cast<Read>(::dlsym(RTLD_NEXT, "pread"));
    return systemRead(fd, buffer, count, offset);
}

namespace {

// Flushes on threads other than the test's own take this long, as on a slow disk.
std::atomic<int> slowFlushMs{0};

} // namespace

extern "C" int fsync(int fd)
{
    if (const int wait = slowFlushMs; wait > 0 && std::this_thread::get_id() != testThread)
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    using Flush = int (*)(int);
    static const auto systemFlush = reinterpret_cast<Flush>(::dlsym(RTLD_NEXT, "fsync"));
    return systemFlush(fd);
}

namespace {

constexpr int runTimeout = 10'000;

// The names of the windows shown, whatever became of them after.
class ShownWindows final : public QObject
{
public:
    QSet<QString> names;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->isWindow())
            names.insert(watched->objectName());
        return false;
    }
};

// One run of the program in a scratch working folder, with a server and scripted answers.
struct Run
{
    Run()
    {
        qApp->installEventFilter(&shown);
        QVERIFY(dir.isValid());
        QVERIFY(QDir::setCurrent(dir.path()));
        program =
            std::make_unique<Program>(dialogs, server.url(QStringLiteral("/list.txt")).toString());
        ended = std::make_unique<QSignalSpy>(program.get(), &Program::ended);
    }
    ~Run()
    {
        program.reset();
        QDir::setCurrent(QDir::tempPath());
    }

    void serve(const QByteArray& body)
    {
        LoopbackHttpServer::Answer answer;
        answer.body = body;
        server.setAnswer(QStringLiteral("/list.txt"), answer);
    }
    void serve(const LoopbackHttpServer::Answer& answer)
    {
        server.setAnswer(QStringLiteral("/list.txt"), answer);
    }

    // Starts the program and waits until the search has ended.
    bool runToReview()
    {
        program->start();
        return QTest::qWaitFor(
            [&] { return program->hasForm2() && program->run().searchHasEnded(); }, runTimeout);
    }

    ShownWindows shown;
    QTemporaryDir dir;
    LoopbackHttpServer server;
    RecordingDialogs dialogs;
    std::unique_ptr<Program> program;
    std::unique_ptr<QSignalSpy> ended;
};

// An EndSignals takes the ending signals and hands them back to the system's default when it
// goes; the test's own crash reports for them come back after it.
class KeptSignalActions
{
public:
    KeptSignalActions()
    {
        for (size_t i = 0; i < numbers.size(); ++i)
            ::sigaction(numbers[i], nullptr, &saved[i]);
    }
    ~KeptSignalActions()
    {
        for (size_t i = 0; i < numbers.size(); ++i)
            ::sigaction(numbers[i], &saved[i], nullptr);
    }
    Q_DISABLE_COPY_MOVE(KeptSignalActions)

private:
    static constexpr std::array<int, 3> numbers{SIGTERM, SIGHUP, SIGINT};
    std::array<struct sigaction, 3> saved{};
};

bool sameImage(const QPixmap& a, const QPixmap& b)
{
    return a.toImage().convertToFormat(QImage::Format_RGB32) ==
           b.toImage().convertToFormat(QImage::Format_RGB32);
}

// A picture drawn at twice the size shows the same as the normal one: scaled down, it differs
// from it by little, and by less than from any other picture it could be mixed up with.
double difference(const QImage& sharp, const QImage& normal)
{
    const QImage a = sharp.scaled(normal.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                         .convertToFormat(QImage::Format_RGB32);
    const QImage b = normal.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * a.width() * a.height());
}

// What a screen reader is told about a control.
QString accessibleText(QWidget* widget, QAccessible::Text kind)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(kind) : QString();
}

QByteArrayList itemsOf(const KeyListBox* box)
{
    return box->keys().toByteArrayList();
}

// What a list box shows as tool tips, row by row; "(none)" for a row without one.
QStringList toolTipsOf(const KeyListBox* box)
{
    QStringList tips;
    for (int row = 0; row < box->model()->rowCount(); ++row) {
        const QVariant tip = box->model()->index(row, 0).data(Qt::ToolTipRole);
        tips.append(tip.isValid() ? tip.toString() : QStringLiteral("(none)"));
    }
    return tips;
}

// How the lists show what stands for a character: the first of its pictures that their font
// draws, else its code point in brackets.
QString markOf(char32_t code, std::initializer_list<char32_t> pictures)
{
    const QFontMetrics metrics(QApplication::font());
    for (const char32_t picture : pictures) {
        if (metrics.inFontUcs4(picture))
            return QString::fromUcs4(&picture, 1);
    }
    return u"\u27e8U+%1\u27e9"_qs.arg(code, 4, 16, QChar(u'0')).toUpper();
}

// Keys that differ only in controls, blanks or invisible characters (NUL, ESC, DEL, a blank at
// the end, a no-break space, a zero-width space, a filler, a right-to-left override), or that
// hold the marks' own characters literally.
const QByteArrayList lookAlikes = {"cam",
                                   "cam\x1b",
                                   "cam\x7f",
                                   "cam ",
                                   "cam\xc2\xa0",
                                   "cam\xe2\x80\x8b",
                                   "cam\xe3\x85\xa4",
                                   "cam\xe2\x80\xae",
                                   "cam\xe2\x90\x80",
                                   "cam\xe2\x90\x9b",
                                   "cam\xe2\x90\xa1",
                                   "cam\xe2\x90\xa0",
                                   "cam\xe2\x90\xa3",
                                   "cam\xe2\x9f\xa8U+0000\xe2\x9f\xa9",
                                   "cam\xe2\x80\xb9U+0000\xe2\x80\xba",
                                   "cam<U+0000>",
                                   QByteArray("cam\0", 4)};

// Stands between a list box and its own model and notes which rows the box asks about.
class RowsAskedFor final : public QIdentityProxyModel
{
public:
    explicit RowsAskedFor(KeyListBox& box)
    {
        setSourceModel(box.model());
        box.setModel(this);
    }
    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override
    {
        note(row);
        return QIdentityProxyModel::index(row, column, parent);
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        note(index.row());
        return QIdentityProxyModel::data(index, role);
    }
    int rowCount(const QModelIndex& parent = {}) const override
    {
        ++calls;
        return QIdentityProxyModel::rowCount(parent);
    }

    mutable qsizetype calls = 0;
    mutable QSet<int> rows;

private:
    void note(int row) const
    {
        ++calls;
        rows.insert(row);
    }
};

bool closeWindow(QWidget& window)
{
    QCloseEvent event;
    QCoreApplication::sendEvent(&window, &event);
    return event.isAccepted();
}

} // namespace

class TestWindows final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void downloadWindowFace();
    void downloadWindowShowsItsFocus();
    void animationSteps();
    void animationGoesOnWhileHidden();
    void retrievalFillsTheLists();
    void searchFindsTheNewCams();
    void searchWindowFaceBeforeTheSearch();
    void listsWindowWaitsWhileTheSearchRuns();
    void messageBoxKeys();
    void upToDateEndsAfterOneMessage();
    void addingWithYes();
    void answeringNoChangesNothing();
    void addingKeepsTheWindowsAlive();
    void okBeforeAddingLeavesTheListAlone();
    void endingUnderABox_data();
    void endingUnderABox();
    void failedAppendKeepsTheUserInCharge();
    void listHeldByAnotherRunCanBeTriedAgain();
    void addTellsWhatItSettledFirst();
    void emptyServerListIsNotUpToDate_data();
    void emptyServerListIsNotUpToDate();
    void whatAKilledRunLeftIsSettledAtStart();
    void unsavableServerCopyIsNamed();
    void cancelBeforeTheRetrieval();
    void cancelDuringAStalledFetch();
    void cancelWhileTheListsAreRead();
    void cancelWhileTheReadingHangs();
    void closingTheWindows();
    void listsWindowFace();
    void listsShowEveryByte();
    void newCamsBoxFollowsAGrowingList();
    void listsShowKeysAndDetailsShortened_data();
    void listsShowKeysAndDetailsShortened();
    void listsTellLookAlikesApart_data();
    void listsTellLookAlikesApart();
    void resourceDownloadThroughTheDownloadWindow();
    void lostDisplayAsksForTheEnd_data();
    void lostDisplayAsksForTheEnd();
    void leadingNumber_data();
    void leadingNumber();
};

void TestWindows::downloadWindowFace()
{
    Run run;
    Form1& form1 = run.program->form1();
    form1.stop();
    QCOMPARE(form1.windowTitle(), QStringLiteral("Recieving List..."));
    QCOMPARE(form1.size(), QSize(305, 129));
    QCOMPARE(form1.geometry().center(), form1.screen()->availableGeometry().center());
    QCOMPARE(form1.minimumSize(), form1.maximumSize());
    QVERIFY(!(form1.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(form1.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(form1.palette().color(QPalette::Window), QColor(Qt::white));
    QCOMPARE(form1.Image2->geometry(), QRect(122, 16, 60, 60));
    QCOMPARE(form1.Command1->geometry(), QRect(120, 96, 65, 25));
    QCOMPARE(form1.Command1->text(), QStringLiteral("Cancel"));
    QCOMPARE(form1.Label1->geometry(), QRect(8, 72, 25, 25));
    QCOMPARE(form1.Text1->geometry(), QRect(256, 8, 41, 33));
    QCOMPARE(form1.Image1[0]->geometry(), QRect(8, 8, 60, 60));
    QCOMPARE(form1.Timer1.interval(), 100);
    QCOMPARE(form1.Timer2.interval(), 100);
    QCOMPARE(form1.Label1->text(), QStringLiteral("0"));
    QCOMPARE(form1.Text1->text(), QStringLiteral("Text1"));
    QVERIFY(form1.Text1->isMultiLine());
    QVERIFY(!form1.windowIcon().isNull());

    run.program->start();
    QVERIFY(form1.isVisible());
    QVERIFY(form1.Image2->isVisible());
    QVERIFY(form1.Command1->isVisible());
    QVERIFY(!form1.Label1->isVisible());
    QVERIFY(!form1.Text1->isVisible());
    QCOMPARE(form1.Command1->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
    QCOMPARE(form1.Text1->focusPolicy(), Qt::NoFocus);

    // Fourteen different 60 x 60 frames in full colour, hidden; the face starts as the last.
    for (int i = 0; i < Form1::frameCount; ++i) {
        const QImage frame = form1.Image1[i]->pixmap().toImage();
        QCOMPARE(frame.size(), QSize(60, 60));
        QVERIFY(!frame.hasAlphaChannel());
        QVERIFY(frame.depth() >= 24);
        QVERIFY(!form1.Image1[i]->isVisible());
        for (int j = 0; j < i; ++j)
            QVERIFY2(!sameImage(form1.Image1[i]->pixmap(), form1.Image1[j]->pixmap()),
                     qPrintable(QStringLiteral("frames %1 and %2 are the same").arg(j).arg(i)));
    }
    QVERIFY(sameImage(form1.Image2->pixmap(), form1.Image1[13]->pixmap()));
    const QImage icon = QIcon(QStringLiteral(":/icon.png")).pixmap(48, 48).toImage();
    QCOMPARE(icon.size(), QSize(48, 48));
    QVERIFY(!accessibleText(form1.Image2, QAccessible::Description).isEmpty());

    // Every picture also comes drawn at twice its size, for screens scaled to 200 %.
    QCOMPARE(form1.windowIcon().availableSizes(), (QList<QSize>{{48, 48}, {96, 96}}));
    // A desktop asks for a large icon on a normal screen too.
    QCOMPARE(form1.windowIcon().pixmap(QSize(96, 96), 1.0).size(), QSize(96, 96));
    const QImage sharpIcon = form1.windowIcon().pixmap(QSize(48, 48), 2.0).toImage();
    QCOMPARE(sharpIcon.size(), QSize(96, 96));
    QVERIFY(difference(sharpIcon, icon) < 4.0);
    for (int i = 0; i < Form1::frameCount; ++i) {
        const QImage sharp = Pictures::frame(i).pixmap(QSize(60, 60), 2.0).toImage();
        QCOMPARE(sharp.size(), QSize(120, 120));
        QVERIFY(!sharp.hasAlphaChannel());
        const double own = difference(sharp, form1.Image1[i]->pixmap().toImage());
        const double next =
            difference(sharp, form1.Image1[(i + 1) % Form1::frameCount]->pixmap().toImage());
        QVERIFY2(own < 4.0 && own < next / 2,
                 qPrintable(QStringLiteral("frame %1 at twice the size: %2 off, the next frame %3")
                                .arg(i)
                                .arg(own)
                                .arg(next)));
    }
    form1.stop();
}

// A keyboard user must see where Space and Return go: the focused Cancel button looks other than
// it does without the focus, from the start, before any key has moved the focus.
void TestWindows::downloadWindowShowsItsFocus()
{
    Run run;
    Form1& form1 = run.program->form1();
    form1.stop();
    form1.show();
    form1.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form1));
    QVERIFY(form1.Command1->hasFocus());
    const QPixmap focused = form1.Command1->grab();
    form1.Command1->clearFocus();
    QVERIFY(!sameImage(form1.Command1->grab(), focused));
}

void TestWindows::animationSteps()
{
    Run run;
    Form1& form1 = run.program->form1();
    form1.stop();
    form1.Timer1_Timer();
    QVERIFY(sameImage(form1.Image2->pixmap(), form1.Image1[0]->pixmap()));
    QCOMPARE(form1.Label1->text(), QStringLiteral("1"));
    for (int tick = 2; tick <= 14; ++tick)
        form1.Timer1_Timer();
    QVERIFY(sameImage(form1.Image2->pixmap(), form1.Image1[13]->pixmap()));
    QCOMPARE(form1.Label1->text(), QStringLiteral("0"));
    form1.Timer1_Timer();
    QVERIFY(sameImage(form1.Image2->pixmap(), form1.Image1[0]->pixmap()));
    QCOMPARE(form1.Label1->text(), QStringLiteral("1"));
}

void TestWindows::animationGoesOnWhileHidden()
{
    Run run;
    run.serve("k1\r\nd1\r\n");
    QVERIFY(run.runToReview());
    Form1& form1 = run.program->form1();
    QVERIFY(!form1.isVisible());
    QVERIFY(form1.Timer1.isActive());
    const QString before = form1.Label1->text();
    QTRY_VERIFY_WITH_TIMEOUT(form1.Label1->text() != before, 2'000);
    bool isNumber = false;
    const qint64 frame = form1.Label1->text().toLongLong(&isNumber);
    QVERIFY2(isNumber && frame >= 0 && frame <= 13, qPrintable(form1.Label1->text()));
}

void TestWindows::retrievalFillsTheLists()
{
    Run run;
    run.serve("k1\r\nd1\r\nk2\r\nd2\r\n");
    // The copy is written beside the reading of the keys, and is in place, whole and without a
    // scratch file beside it, by the time the lists are shown, however slow the disk.
    slowFlushMs = 200;
    const auto flushAgain = qScopeGuard([] { slowFlushMs = 0; });
    QByteArray copyWhenRead;
    QStringList scratchWhenRead{QStringLiteral("(not read)")};
    QByteArrayList serverListWhenRead;
    connect(&run.program->run(), &UpdateRun::stateChanged, this, [&](UpdateRun::State state) {
        if (state != UpdateRun::State::ListsLoaded)
            return;
        copyWhenRead = fileBytes(QStringLiteral("temp.tmp"));
        scratchWhenRead = QDir().entryList({QStringLiteral("temp.tmp.*")}, QDir::AllEntries);
        // The search may follow at once, and lets the server list go when it ends.
        serverListWhenRead = itemsOf(run.program->form2().List2);
    });
    run.program->start();
    QTRY_VERIFY_WITH_TIMEOUT(run.program->hasForm2() && run.program->form2().isVisible(),
                             runTimeout);
    QCOMPARE(copyWhenRead, QByteArray("k1\r\nd1\r\nk2\r\nd2\r\n\r\n"));
    QCOMPARE(scratchWhenRead, QStringList());
    QVERIFY(!run.program->form1().isVisible());
    QVERIFY(!run.program->form1().Timer2.isActive());
    QCOMPARE(fileBytes(QStringLiteral("temp.tmp")), QByteArray("k1\r\nd1\r\nk2\r\nd2\r\n\r\n"));
    QCOMPARE(serverListWhenRead, (QByteArrayList{"k1", "k2"}));
    QCOMPARE(run.program->form1().Text1->bytes(), QByteArray("k1\r\nd1\r\nk2\r\nd2\r\n"));
    QCOMPARE(run.program->form2().List1->count(), 0);
    QVERIFY(!QFile::exists(QStringLiteral("Cams.inf")));
    QCOMPARE(run.server.requestCount(), 1);
}

void TestWindows::searchFindsTheNewCams()
{
    Run run;
    run.serve("k2\r\nd2\r\nk3\r\nd3\r\nK3\r\nd\r\nk3\r\nd3 again\r\n");
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\nk2\r\nd2\r\n"));
    Form3& form3 = run.program->form3();
    // Stale values in the hidden cursor: the search leaves it at "0" when it ends.
    form3.Pos1->setText(u"1"_qs);
    form3.Erg->setText(u"1"_qs);
    QVERIFY(run.runToReview());
    Form2& form2 = run.program->form2();
    QCOMPARE(itemsOf(form2.List1), (QByteArrayList{"k1", "k2"}));
    QCOMPARE(itemsOf(form2.NewC), (QByteArrayList{"k3", "K3", "k3"}));
    // What a cam is: each entry's tool tip is the line after it in its own file.
    QCOMPARE(toolTipsOf(form2.List1), (QStringList{u"d1"_qs, u"d2"_qs}));
    QCOMPARE(toolTipsOf(form2.NewC), (QStringList{u"d3"_qs, u"d"_qs, u"d3 again"_qs}));
    QCOMPARE(form3.Pos2->text(), QStringLiteral("4"));
    QCOMPARE(form3.Pos1->text(), QStringLiteral("0"));
    QCOMPARE(form3.Erg->text(), QStringLiteral("0"));
    QCOMPARE(form3.ProgressBar2->maximum(), 4);
    QCOMPARE(form3.ProgressBar2->value(), 3);
    QVERIFY(!form3.Timer1.isActive());
    QVERIFY(!form3.isVisible());
    QVERIFY(form2.isEnabled());
    QVERIFY(form2.isVisible());
    QVERIFY(form2.Command4->isEnabled());
    QVERIFY(form2.Timer2.isActive());
    QTRY_VERIFY(form2.Command2->isEnabled());
    QVERIFY(run.dialogs.told.isEmpty());
    // The server list served the search only; it is let go for the room the add needs.
    QCOMPARE(form2.List2->count(), 0);
    QCOMPARE(run.program->run().serverKeys().count(), 0);
}

void TestWindows::searchWindowFaceBeforeTheSearch()
{
    Run run;
    Form3& form3 = run.program->form3();
    QCOMPARE(form3.windowTitle(), QStringLiteral("Searching..."));
    QCOMPARE(form3.size(), QSize(345, 33));
    QCOMPARE(form3.geometry().center(), form3.screen()->availableGeometry().center());
    QCOMPARE(form3.ProgressBar2->geometry(), QRect(8, 8, 329, 17));
    QCOMPARE(form3.ProgressBar2->minimum(), 0);
    QCOMPARE(form3.ProgressBar2->maximum(), 100);
    QCOMPARE(form3.ProgressBar2->value(), 0);
    for (QLabel* label : {form3.Pos1, form3.Pos2, form3.Erg}) {
        QCOMPARE(label->text(), QStringLiteral("0"));
        QVERIFY(label->isHidden());
    }
    QVERIFY(!form3.Timer1.isActive());
    QCOMPARE(form3.Timer1.interval(), 1);
    QVERIFY(!(form3.windowFlags() & Qt::WindowMinimizeButtonHint));
    // No icon of its own, and none taken from the application either.
    QVERIFY(form3.windowIcon().isNull());
    form3.winId();
    QVERIFY(form3.windowHandle()->icon().isNull());
}

// A search long enough to take many ticks: the lists window takes no input until it has ended,
// and the search window shows how far it has come.
void TestWindows::listsWindowWaitsWhileTheSearchRuns()
{
    Run run;
    QByteArray list;
    for (int i = 0; i < 20'000; ++i)
        list += "cam " + QByteArray::number(i) + "\r\ndetail\r\n";
    run.serve(list);
    run.program->run().setSearchSlice(0ms);
    // What each list box asks of its model from the moment the lists are read.
    std::vector<std::unique_ptr<RowsAskedFor>> asked;
    int steps = 0;
    connect(&run.program->run(), &UpdateRun::stateChanged, this, [&](UpdateRun::State state) {
        if (state == UpdateRun::State::ListsLoaded) {
            Form2& form2 = run.program->form2();
            for (KeyListBox* box : {form2.List1, form2.List2, form2.NewC})
                asked.push_back(std::make_unique<RowsAskedFor>(*box));
        }
    });
    connect(&run.program->run(), &UpdateRun::newCamsFound, this, [&] { ++steps; });
    run.program->start();
    QTRY_VERIFY_WITH_TIMEOUT(run.program->hasForm3() && run.program->form3().isVisible(),
                             runTimeout);
    Form2& form2 = run.program->form2();
    Form3& form3 = run.program->form3();
    QVERIFY(!form2.isEnabled());
    QVERIFY(form2.isVisible());
    QVERIFY(!form2.Command4->isEnabled());
    QCOMPARE(form3.ProgressBar2->maximum(), 20'000);
    QTRY_VERIFY(form3.Pos2->text().toInt() > 0);
    const int settled = form3.Pos2->text().toInt();
    QVERIFY2(settled < 20'000, "the search did not run in steps");
    QCOMPARE(form3.ProgressBar2->value(), settled - 1);
    QCOMPARE(form2.NewC->count(), settled);

    QTRY_VERIFY_WITH_TIMEOUT(run.program->run().searchHasEnded(), runTimeout);
    QVERIFY(form2.isEnabled());
    QCOMPARE(form2.NewC->count(), 20'000);
    QCOMPARE(form3.Pos2->text(), QStringLiteral("20000"));

    // The boxes asked only about rows they show, and each step cost the same, however long
    // the lists had grown: laying out every row on each step makes a search of millions take
    // minutes.
    QVERIFY(steps > 10);
    QCOMPARE(asked.size(), size_t{3});
    QTest::qWait(50); // any layout still due
    const int onScreen =
        form2.NewC->viewport()->height() / std::max(form2.NewC->sizeHintForRow(0), 1) + 2;
    for (const auto& box : asked) {
        QVERIFY2(box->rows.size() <= onScreen, qPrintable(QString::number(box->rows.size())));
        // A paint asks for each row on screen a few times, for its text, tool tip, font...
        QVERIFY2(box->calls <= qsizetype{30} * onScreen * steps,
                 qPrintable(QString::number(box->calls)));
    }
}

// The real boxes: Yes is the default button, Escape answers No.
void TestWindows::messageBoxKeys()
{
    MessageBoxDialogs boxes;
    // Presses the key in the box once it is open. A box still open a while later did not take
    // it, and is closed: the test fails at once rather than at the time-out.
    const auto answered = [](Qt::Key key, const std::function<void()>& ask) {
        QObject scope;
        bool pressed = false;
        bool stuck = false;
        QTimer press;
        press.callOnTimeout(&scope, [&] {
            if (QWidget* box = QApplication::activeModalWidget(); box && !pressed) {
                pressed = true;
                QTest::keyClick(box, key);
            }
        });
        press.start(10ms);
        QTimer::singleShot(5s, &scope, [&] {
            if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                stuck = true;
                box->done(0);
            }
        });
        ask();
        return pressed && !stuck;
    };
    const char* const notTaken = "no box was open, or it did not close on the key";
    const QString title = u"Add all"_qs;
    const QString question = u"Do you really want to add all new cams?"_qs;
    bool yes = true;
    QVERIFY2(answered(Qt::Key_Escape, [&] { yes = boxes.askYesNo(nullptr, title, question); }),
             notTaken);
    QVERIFY(!yes);
    QVERIFY2(answered(Qt::Key_Return, [&] { yes = boxes.askYesNo(nullptr, title, question); }),
             notTaken);
    QVERIFY(yes);
    QVERIFY2(answered(Qt::Key_Return,
                      [&] {
                          boxes.tell(nullptr, u"No new Cams available"_qs,
                                     u"Your list is up to date."_qs, Dialogs::Icon::Information);
                      }),
             notTaken);
}

// The review timer goes on ticking under the message box: the message is still seen once.
void TestWindows::upToDateEndsAfterOneMessage()
{
    Run run;
    run.serve("k1\r\nd1\r\n");
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\n"));
    run.dialogs.whileOpen = [] {
        QTest::qWait(100);
    };
    QVERIFY(run.runToReview());
    QTRY_COMPARE_WITH_TIMEOUT(run.ended->count(), 1, runTimeout);
    QCOMPARE(run.dialogs.toldTitles(), QStringList{QStringLiteral("No new Cams available")});
    QCOMPARE(run.dialogs.told.first().text, QStringLiteral("Your list is up to date."));
    QCOMPARE(run.dialogs.told.first().icon, Dialogs::Icon::Information);
    QCOMPARE(run.ended->first().first().toInt(), 0);
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1\r\n"));
    QVERIFY(!run.program->form2().Timer2.isActive());
    QVERIFY(!run.program->form1().Timer1.isActive());
    QVERIFY(!run.program->form2().isVisible());
}

void TestWindows::addingWithYes()
{
    Run run;
    run.serve("k1\r\nd1\r\nk3\r\nd3\r\n");
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\n"));
    // The lists' models are checked at each change, from their filling to the add.
    for (KeyListBox* box :
         {run.program->form2().List1, run.program->form2().List2, run.program->form2().NewC})
        new QAbstractItemModelTester(box->model(),
                                     QAbstractItemModelTester::FailureReportingMode::QtTest, box);
    run.dialogs.answers = {true};
    run.dialogs.whileOpen = [] {
        QTest::qWait(50);
    };
    QVERIFY(run.runToReview());
    Form2& form2 = run.program->form2();
    QTRY_VERIFY(form2.Command2->isEnabled());
    QTest::mouseClick(form2.Command2, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(run.ended->count(), 1, runTimeout);

    QCOMPARE(run.dialogs.asked.size(), 1);
    QCOMPARE(run.dialogs.asked.first().title, QStringLiteral("Add all"));
    QCOMPARE(run.dialogs.asked.first().text,
             QStringLiteral("Do you really want to add all new cams?"));
    QCOMPARE(run.dialogs.toldTitles(), (QStringList{QStringLiteral("New Cams added"),
                                                    QStringLiteral("No new Cams available")}));
    QCOMPARE(run.dialogs.told.first().text, QStringLiteral(" 1 Cams was/were added"));
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1\r\nk3\r\nd3\r\n"));
    QCOMPARE(itemsOf(form2.List1), (QByteArrayList{"k1", "k3"}));
    QCOMPARE(toolTipsOf(form2.List1), (QStringList{u"d1"_qs, u"d3"_qs}));
    QCOMPARE(form2.NewC->count(), 0);
    QVERIFY(!form2.Command2->isEnabled());
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
}

// The add runs away from the windows: timers tick and windows paint while it writes, and the
// lists window takes no input until it is done.
void TestWindows::addingKeepsTheWindowsAlive()
{
    Run run;
    QByteArray list;
    for (int i = 0; i < 200'000; ++i)
        list += "cam " + QByteArray::number(i) + "\r\nhttp://cams.example/" +
                QByteArray::number(i) + ".jpg\r\n";
    run.serve(list);
    QVERIFY(run.runToReview());
    Form2& form2 = run.program->form2();
    form2.stop();
    int ticksWhileAdding = 0;
    bool inputWhileAdding = false;
    QTimer clock;
    clock.setInterval(1);
    connect(&clock, &QTimer::timeout, &clock, [&] {
        if (!run.program->run().isAdding())
            return;
        ++ticksWhileAdding;
        inputWhileAdding = inputWhileAdding || form2.isEnabled();
    });
    clock.start();
    run.dialogs.answers = {true};
    form2.Command2_Click();
    QTRY_VERIFY_WITH_TIMEOUT(!run.program->run().isAdding(), runTimeout);
    clock.stop();
    // The review tells how the add went; its timer is stopped here.
    form2.Timer2_Timer();
    QVERIFY(ticksWhileAdding > 0);
    QVERIFY(!inputWhileAdding);
    QVERIFY(form2.isEnabled());
    QCOMPARE(run.dialogs.told.last().text, QStringLiteral(" 200000 Cams was/were added"));
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")).size(), list.size());
}

void TestWindows::answeringNoChangesNothing()
{
    Run run;
    run.serve("k1\r\nd1\r\nk3\r\nd3\r\n");
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\n"));
    run.dialogs.answers = {false};
    QVERIFY(run.runToReview());
    Form2& form2 = run.program->form2();
    QTRY_VERIFY(form2.Command2->isEnabled());
    form2.Command2_Click();
    QCOMPARE(run.dialogs.asked.size(), 1);
    QTest::qWait(50);
    QVERIFY(run.dialogs.told.isEmpty());
    QCOMPARE(itemsOf(form2.NewC), QByteArrayList{"k3"});
    QVERIFY(form2.Command2->isEnabled());
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1\r\n"));
    QCOMPARE(run.ended->count(), 0);

    QTest::mouseClick(form2.Command4, Qt::LeftButton);
    QCOMPARE(run.ended->count(), 1);
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
}

void TestWindows::okBeforeAddingLeavesTheListAlone()
{
    Run run;
    run.serve("k3\r\nd3\r\n");
    QVERIFY(run.runToReview());
    Form2& form2 = run.program->form2();
    QVERIFY(QFile::exists(QStringLiteral("temp.tmp")));
    form2.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form2));
    // Alt+O is the OK button's access key.
    QTest::keyClick(&form2, Qt::Key_O, Qt::AltModifier);
    // A key-clicked button releases itself a moment later.
    QTRY_COMPARE(run.ended->count(), 1);
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
    QVERIFY(!QFile::exists(QStringLiteral("Cams.inf")));
    QVERIFY(run.dialogs.told.isEmpty());
    // Nothing runs after the end, whatever was still queued.
    form2.Command4_Click();
    form2.Timer2_Timer();
    QCOMPARE(run.ended->count(), 1);
    QVERIFY(run.dialogs.told.isEmpty());
}

// A logout or a signal can end the program while one of its boxes waits: nothing that would
// have followed the box happens, and nothing of any window fires afterwards.
void TestWindows::endingUnderABox_data()
{
    QTest::addColumn<QString>("boxTitle");
    QTest::addColumn<QByteArray>("ownAfter");
    QTest::newRow("asked to add") << u"Add all"_qs << QByteArray("k1\r\nd1\r\n");
    QTest::newRow("told of the add")
        << u"New Cams added"_qs << QByteArray("k1\r\nd1\r\nk3\r\nd3\r\n");
}

void TestWindows::endingUnderABox()
{
    QFETCH(QString, boxTitle);
    QFETCH(QByteArray, ownAfter);
    Run run;
    run.serve("k1\r\nd1\r\nk3\r\nd3\r\n");
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\n"));
    run.dialogs.answers = {true};
    bool endedUnderTheBox = false;
    run.dialogs.whileOpen = [&] {
        const RecordingDialogs::Message& open =
            run.dialogs.told.isEmpty() ? run.dialogs.asked.last() : run.dialogs.told.last();
        if (open.title == boxTitle && !endedUnderTheBox) {
            endedUnderTheBox = true;
            run.program->end();
        }
    };
    QVERIFY(run.runToReview());
    Form2& form2 = run.program->form2();
    QTRY_VERIFY(form2.Command2->isEnabled());
    form2.Command2_Click();
    QTRY_COMPARE_WITH_TIMEOUT(run.ended->count(), 1, runTimeout);
    QTest::qWait(50);
    QVERIFY(endedUnderTheBox);
    QCOMPARE(run.ended->count(), 1);
    QCOMPARE(run.dialogs.told.size(), boxTitle == u"Add all"_qs ? 0 : 1);
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), ownAfter);
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
    for (const QTimer* timer : {&run.program->form1().Timer1, &run.program->form1().Timer2,
                                &form2.Timer1, &form2.Timer2, &run.program->form3().Timer1})
        QVERIFY(!timer->isActive());
}

void TestWindows::failedAppendKeepsTheUserInCharge()
{
    Run run;
    run.serve("k3\r\nd3\r\n");
    QVERIFY(QDir::current().mkdir(QStringLiteral("Cams.inf")));
    run.dialogs.answers = {true};
    QVERIFY(run.runToReview());
    Form2& form2 = run.program->form2();
    QTRY_VERIFY(form2.Command2->isEnabled());
    form2.Command2_Click();
    QTRY_COMPARE(run.dialogs.toldTitles(), QStringList{QStringLiteral("Cams not added")});
    QCOMPARE(run.dialogs.told.first().icon, Dialogs::Icon::Warning);
    QVERIFY(run.dialogs.told.first().text.contains(QStringLiteral("Cams.inf")));
    QTest::qWait(50);
    QCOMPARE(run.dialogs.told.size(), 1);
    QCOMPARE(itemsOf(form2.NewC), QByteArrayList{"k3"});
    QVERIFY(form2.Command2->isEnabled());
    QCOMPARE(form2.List1->count(), 0);
    QCOMPARE(run.ended->count(), 0);
    QVERIFY(QFileInfo(QStringLiteral("Cams.inf")).isDir());
}

void TestWindows::listHeldByAnotherRunCanBeTriedAgain()
{
    Run run;
    run.serve("k1\r\nd1\r\nk3\r\nd3\r\n");
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\n"));
    run.dialogs.answers = {true, true};
    QVERIFY(run.runToReview());
    Form2& form2 = run.program->form2();
    QTRY_VERIFY(form2.Command2->isEnabled());

    const int held = ::open("Cams.inf", O_RDONLY | O_CLOEXEC);
    QCOMPARE(::flock(held, LOCK_EX), 0);
    form2.Command2_Click();
    QTRY_VERIFY_WITH_TIMEOUT(!run.program->run().isAdding(), runTimeout);
    ::close(held);
    QTRY_COMPARE(run.dialogs.toldTitles(), QStringList{QStringLiteral("Cams not added")});
    QCOMPARE(run.dialogs.told.first().text,
             QStringLiteral("Cams.inf is being updated by another program, so no cams were added. "
                            "Try again in a moment.\nYour list was left as it was."));
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1\r\n"));
    QCOMPARE(itemsOf(form2.NewC), QByteArrayList{"k3"});
    QVERIFY(form2.Command2->isEnabled());

    // The other run is done: the same cams go in on the next try.
    form2.Command2_Click();
    QTRY_VERIFY(run.dialogs.told.size() >= 2);
    QCOMPARE(run.dialogs.told.at(1).text, QStringLiteral(" 1 Cams was/were added"));
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1\r\nk3\r\nd3\r\n"));
    QCOMPARE(itemsOf(form2.List1), (QByteArrayList{"k1", "k3"}));
}

// Another run was killed in the middle of an add after this one had read the lists: the add
// settles that first, under its lock, and its box says so after the count.
void TestWindows::addTellsWhatItSettledFirst()
{
    Run run;
    run.serve("k1\r\nd1\r\nk3\r\nd3\r\n");
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\n"));
    run.dialogs.answers = {true};
    QVERIFY(run.runToReview());
    Form2& form2 = run.program->form2();
    QTRY_VERIFY(form2.Command2->isEnabled());
    QByteArray records;
    for (int i = 0; i < 40'000; ++i)
        records += "torn" + QByteArray::number(i) + "\r\nhttp://cams.example/torn.jpg\r\n";
    QVERIFY(!CamsFileAppender::append(QStringLiteral("Cams.inf"), records, {},
                                      CamsFileAppender::defaultLockWait,
                                      [](CamsFileAppender::Step step) {
                                          return step == CamsFileAppender::Step::PartOfBlockWritten;
                                      })
                 .ok());
    QVERIFY(QFile::exists(QStringLiteral("Cams.inf-journal")));
    form2.Command2_Click();
    QTRY_VERIFY_WITH_TIMEOUT(!run.dialogs.told.isEmpty(), runTimeout);
    QCOMPARE(run.dialogs.told.first().title, QStringLiteral("New Cams added"));
    const QStringList lines = run.dialogs.told.first().text.split(u'\n');
    QCOMPARE(lines.first(), QStringLiteral(" 1 Cams was/were added"));
    QVERIFY2(lines.size() == 2 && lines.last().contains(QStringLiteral("they were cut off")),
             qPrintable(run.dialogs.told.first().text));
    QCOMPARE(run.dialogs.told.first().icon, Dialogs::Icon::Information);
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1\r\nk3\r\nd3\r\n"));
    QVERIFY(!QFile::exists(QStringLiteral("Cams.inf-journal")));
}

// A run killed in the middle of an add left a torn block and half a server copy: the next start
// cuts the block off before the list is read, says so once, and goes on.
void TestWindows::whatAKilledRunLeftIsSettledAtStart()
{
    Run run;
    run.serve("k1\r\nd1\r\nk3\r\nd3\r\n");
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\n"));
    QVERIFY(writeFile(QStringLiteral("temp.tmp.Xq3Zt1"), "k1\r\n"));
    QByteArray records;
    for (int i = 0; i < 40'000; ++i)
        records += "torn" + QByteArray::number(i) + "\r\nhttp://cams.example/torn.jpg\r\n";
    QVERIFY(!CamsFileAppender::append(QStringLiteral("Cams.inf"), records, {},
                                      CamsFileAppender::defaultLockWait,
                                      [](CamsFileAppender::Step step) {
                                          return step == CamsFileAppender::Step::PartOfBlockWritten;
                                      })
                 .ok());
    QVERIFY(QFileInfo(QStringLiteral("Cams.inf")).size() > 1'000'000);

    QVERIFY(run.runToReview());
    QCOMPARE(run.dialogs.toldTitles(), QStringList{QStringLiteral("Interrupted add")});
    QCOMPARE(run.dialogs.told.first().icon, Dialogs::Icon::Information);
    QVERIFY(!run.dialogs.told.first().parent);
    QVERIFY2(run.dialogs.told.first().text.contains(QStringLiteral("they were cut off")),
             qPrintable(run.dialogs.told.first().text));
    QCOMPARE(itemsOf(run.program->form2().List1), QByteArrayList{"k1"});
    QCOMPARE(itemsOf(run.program->form2().NewC), QByteArrayList{"k3"});
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1\r\n"));
    QCOMPARE(QDir().entryList(QDir::Files),
             (QStringList{QStringLiteral("Cams.inf"), QStringLiteral("temp.tmp")}));
}

void TestWindows::emptyServerListIsNotUpToDate_data()
{
    QTest::addColumn<LoopbackHttpServer::Answer>("answer");
    QTest::addColumn<QString>("reason");
    LoopbackHttpServer::Answer notFound;
    notFound.status = 404;
    notFound.body = "k1\r\nd1\r\n";
    QTest::newRow("error status") << notFound << u"The server answered 404 Canned."_qs;
    QTest::newRow("empty list") << LoopbackHttpServer::Answer()
                                << u"The server's list holds no cams."_qs;
    // A server that dies half way through a list whose end it never announced.
    const QString cutShort = u"The transfer was cut short before the whole list arrived."_qs;
    LoopbackHttpServer::Answer cut;
    cut.body = "k1\r\nd1\r\nBeach Cou";
    cut.sendLength = false;
    QTest::newRow("unannounced end inside a record") << cut << cutShort;
}

void TestWindows::emptyServerListIsNotUpToDate()
{
    QFETCH(LoopbackHttpServer::Answer, answer);
    QFETCH(QString, reason);
    Run run;
    run.serve(answer);
    run.program->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.ended->count(), 1, runTimeout);
    QCOMPARE(run.dialogs.toldTitles(), QStringList{QStringLiteral("No list received")});
    QCOMPARE(run.dialogs.told.first().text,
             QStringLiteral("No cam list could be received from the server.\n") + reason);
    QCOMPARE(run.dialogs.told.first().parent, &run.program->form2());
    QVERIFY(!run.program->hasForm3());
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
}

// A server copy that cannot be saved is a local fault: the box says which file and why, and
// nothing of what stood there is read back as the server's list.
void TestWindows::unsavableServerCopyIsNamed()
{
    Run run;
    run.serve("k1\r\nd1\r\n");
    QVERIFY(QDir().mkdir(QStringLiteral("temp.tmp")));
    QVERIFY(writeFile(QStringLiteral("temp.tmp/k9"), "k9\r\nd9\r\n"));
    run.program->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.ended->count(), 1, runTimeout);
    QCOMPARE(run.dialogs.toldTitles(), QStringList{QStringLiteral("List not saved")});
    QCOMPARE(run.dialogs.told.first().icon, Dialogs::Icon::Warning);
    QCOMPARE(run.dialogs.told.first().parent, &run.program->form1());
    QCOMPARE(run.dialogs.told.first().text,
             QStringLiteral("The server's list could not be saved as temp.tmp: Is a directory"));
    QVERIFY(!run.shown.names.contains(QStringLiteral("Form2")));
    QVERIFY(QFileInfo(QStringLiteral("temp.tmp")).isDir());
    QVERIFY(!QFile::exists(QStringLiteral("Cams.inf")));
}

void TestWindows::cancelBeforeTheRetrieval()
{
    Run run;
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1"));
    run.serve("k2\r\nd2\r\n");
    run.program->start();
    QTest::mouseClick(run.program->form1().Command1, Qt::LeftButton);
    QCOMPARE(run.ended->count(), 1);
    QTest::qWait(300);
    QCOMPARE(run.server.requestCount(), 0);
    QVERIFY(!run.shown.names.contains(QStringLiteral("Form2")));
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1"));
    QVERIFY(!run.program->form1().isVisible());
}

void TestWindows::cancelDuringAStalledFetch()
{
    Run run;
    LoopbackHttpServer::Answer silent;
    silent.stallBeforeHead = true;
    run.serve(silent);
    // The fetch keeps the event loop turning, so the user's click comes from inside it: once the
    // request is out and the animation has moved on under it, Cancel is clicked.
    Form1& form1 = run.program->form1();
    QString frameAtRequest;
    QElapsedTimer sinceClick;
    QTimer user;
    user.setInterval(10);
    connect(&user, &QTimer::timeout, &user, [&] {
        if (run.server.requestCount() == 0)
            return;
        if (frameAtRequest.isEmpty()) {
            frameAtRequest = form1.Label1->text();
            return;
        }
        if (form1.Label1->text() != frameAtRequest && !sinceClick.isValid()) {
            sinceClick.start();
            QTest::mouseClick(form1.Command1, Qt::LeftButton);
        }
    });
    user.start();
    run.program->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.ended->count(), 1, runTimeout);
    user.stop();
    QVERIFY(sinceClick.isValid());
    QVERIFY2(sinceClick.elapsed() < 1'000, "the fetch did not end at the click");
    QTest::qWait(100);
    QVERIFY(!run.shown.names.contains(QStringLiteral("Form2")));
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
    QVERIFY(!form1.Inet1.isBusy());
    // The click closed the connection too.
    QTRY_COMPARE_WITH_TIMEOUT(run.server.hangUps(), 1, 1'000);
}

// The lists are read and sorted away from the windows: meanwhile the event loop turns, so the
// animation goes on and Cancel ends the run, leaving no server copy behind.
void TestWindows::cancelWhileTheListsAreRead()
{
    Run run;
    QByteArray list;
    for (int i = 0; i < 200'000; ++i)
        list += "cam " + QByteArray::number(i * 7919 % 200'000) + "\r\ndetail\r\n";
    run.serve(list);
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\n"));
    UpdateRun::State stateAtClick = UpdateRun::State::Waiting;
    connect(&run.program->run(), &UpdateRun::stateChanged, this, [&](UpdateRun::State state) {
        if (state != UpdateRun::State::Loading)
            return;
        QTimer::singleShot(0, this, [&] {
            stateAtClick = run.program->run().state();
            QTest::mouseClick(run.program->form1().Command1, Qt::LeftButton);
        });
    });
    // The copy being written beside the reading stops, and neither it nor its scratch file is
    // left when the program ends, which may be at once. A slow disk keeps the copy unfinished
    // when Cancel comes.
    slowFlushMs = 300;
    const auto flushAgain = qScopeGuard([] { slowFlushMs = 0; });
    QStringList leftAtEnd{QStringLiteral("(not ended)")};
    connect(run.program.get(), &Program::ended, this,
            [&] { leftAtEnd = QDir().entryList({QStringLiteral("temp.tmp*")}, QDir::AllEntries); });
    run.program->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.ended->count(), 1, runTimeout);
    QCOMPARE(stateAtClick, UpdateRun::State::Loading);
    QCOMPARE(leftAtEnd, QStringList());
    QTest::qWait(100);
    // Nor is a copy still being written after the end, to be cut off when the program is gone.
    QCOMPARE(QDir().entryList({QStringLiteral("temp.tmp*")}, QDir::AllEntries), QStringList());
    QVERIFY(!run.shown.names.contains(QStringLiteral("Form2")));
    QVERIFY(run.dialogs.told.isEmpty());
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1\r\n"));
}

// Reading that never comes back (a hung network folder) must not hold up Cancel: the run ends
// at once, and what the reading saved goes once it comes back.
void TestWindows::cancelWhileTheReadingHangs()
{
    Run run;
    run.serve("k2\r\nd2\r\n");
    QVERIFY(writeFile(QStringLiteral("Cams.inf"), "k1\r\nd1\r\n"));
    {
        const std::lock_guard lock(heldReadsMutex);
        holdReads = true;
        readsHeld = 0;
    }
    // Let go whatever happens, or the reading would never end.
    const auto release = qScopeGuard(letReadsGo);
    // The click comes from inside the wait for the reading, as a user's would.
    QElapsedTimer sinceClick;
    QTimer user;
    user.setInterval(10);
    connect(&user, &QTimer::timeout, &user, [&] {
        // The copy is written beside the reading: the click waits for it to be in place, so
        // that the end has a saved copy to remove.
        if (readsHeld == 0 || sinceClick.isValid() || !QFile::exists(QStringLiteral("temp.tmp")))
            return;
        sinceClick.start();
        QTest::mouseClick(run.program->form1().Command1, Qt::LeftButton);
    });
    user.start();
    run.program->start();
    // Only once the retrieval has returned does this wait get its turn.
    QTRY_COMPARE_WITH_TIMEOUT(run.ended->count(), 1, runTimeout);
    QVERIFY2(sinceClick.elapsed() < 500, "Cancel waited for the reading");
    QCOMPARE(run.program->run().state(), UpdateRun::State::Ended);
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
    QVERIFY(!run.shown.names.contains(QStringLiteral("Form2")));
    letReadsGo();
    QTRY_COMPARE_WITH_TIMEOUT(BackgroundWork::stillRunning(), 0, runTimeout);
    QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
    QCOMPARE(fileBytes(QStringLiteral("Cams.inf")), QByteArray("k1\r\nd1\r\n"));
}

void TestWindows::closingTheWindows()
{
    {
        // Closing the download window is Cancel.
        Run run;
        run.program->start();
        closeWindow(run.program->form1());
        QCOMPARE(run.ended->count(), 1);
        QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
    }
    {
        Run run;
        run.serve("k3\r\nd3\r\n");
        run.program->start();
        QTRY_VERIFY_WITH_TIMEOUT(run.program->hasForm2() && run.program->form2().isVisible(),
                                 runTimeout);
        Form2& form2 = run.program->form2();
        // Before the search has ended, closing the lists window does nothing.
        QVERIFY(!closeWindow(form2));
        QVERIFY(form2.isVisible());
        QCOMPARE(run.ended->count(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(run.program->run().searchHasEnded(), runTimeout);
        // The search window cannot be closed.
        QVERIFY(!closeWindow(run.program->form3()));
        // After it, closing is OK.
        closeWindow(form2);
        QCOMPARE(run.ended->count(), 1);
        QVERIFY(!QFile::exists(QStringLiteral("temp.tmp")));
        QVERIFY(!QFile::exists(QStringLiteral("Cams.inf")));
    }
}

void TestWindows::listsWindowFace()
{
    Run run;
    Form2& form2 = run.program->form2();
    form2.stop();
    QCOMPARE(form2.windowTitle(), QStringLiteral("Lists"));
    QCOMPARE(form2.size(), QSize(489, 393));
    QCOMPARE(form2.geometry().center(), form2.screen()->availableGeometry().center());
    QCOMPARE(form2.minimumSize(), form2.maximumSize());
    QVERIFY(form2.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(form2.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(form2.Label1->text(), QStringLiteral("Own List"));
    QCOMPARE(form2.Label1->geometry(), QRect(8, 8, 217, 17));
    QCOMPARE(form2.List1->geometry(), QRect(8, 24, 217, 329));
    QCOMPARE(form2.Label2->text(), QStringLiteral("New Cams:"));
    QCOMPARE(form2.Label2->geometry(), QRect(264, 8, 217, 17));
    QCOMPARE(form2.NewC->geometry(), QRect(264, 24, 217, 329));
    QCOMPARE(form2.List2->geometry(), QRect(440, 24, 41, 30));
    QCOMPARE(form2.Command2->geometry(), QRect(232, 24, 25, 25));
    QCOMPARE(form2.Command2->text(), QStringLiteral("<"));
    QCOMPARE(form2.Command2->toolTip(), QStringLiteral("Add new cams"));
    QCOMPARE(form2.Command4->geometry(), QRect(408, 360, 73, 25));
    QCOMPARE(form2.Command4->text(), QStringLiteral("&OK"));
    QCOMPARE(form2.Timer1.interval(), 250);
    QCOMPARE(form2.Timer2.interval(), 1);
    QCOMPARE(form2.windowIcon().availableSizes(), (QList<QSize>{{48, 48}, {96, 96}}));
    // A screen reader names each list after its heading, and "<" after what it does.
    QCOMPARE(accessibleText(form2.List1, QAccessible::Name), QStringLiteral("Own List"));
    QCOMPARE(accessibleText(form2.NewC, QAccessible::Name), QStringLiteral("New Cams:"));
    QCOMPARE(accessibleText(form2.Command2, QAccessible::Name), QStringLiteral("Add new cams"));

    form2.List2->addItem("secret");
    form2.show();
    form2.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form2));
    QVERIFY(!form2.List2->isVisible());
    QVERIFY(!form2.Command2->isEnabled());
    QVERIFY(!form2.Command4->isEnabled());
    // Until the search has ended the access key does nothing.
    QSignalSpy clicked(form2.Command4, &QPushButton::clicked);
    QTest::keyClick(&form2, Qt::Key_O, Qt::AltModifier);
    QTest::qWait(300);
    QCOMPARE(clicked.count(), 0);

    // Tab order: own list, add, OK, new cams; the hidden server list is never reached.
    const auto nextStop = [&form2](QWidget* from) {
        QWidget* next = from->nextInFocusChain();
        while (next->parentWidget() != &form2 || !(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        return next;
    };
    QCOMPARE(nextStop(form2.List1), form2.Command2);
    QCOMPARE(nextStop(form2.Command2), form2.Command4);
    QCOMPARE(nextStop(form2.Command4), form2.NewC);
    QCOMPARE(nextStop(form2.NewC), form2.List1);
}

void TestWindows::listsShowEveryByte()
{
    Run run;
    Form2& form2 = run.program->form2();
    form2.stop();
    for (const char* key : {"b", "A", "c"}) {
        form2.List1->addItem(key);
        form2.NewC->addItem(key);
    }
    const auto shown = [](const KeyListBox* box) {
        QStringList rows;
        for (int row = 0; row < box->model()->rowCount(); ++row)
            rows.append(box->model()->index(row, 0).data().toString());
        return rows;
    };
    QCOMPARE(shown(form2.List1), (QStringList{u"A"_qs, u"b"_qs, u"c"_qs}));
    QCOMPARE(shown(form2.NewC), (QStringList{u"b"_qs, u"A"_qs, u"c"_qs}));

    // Not UTF-8: each byte is the character of the viewer's code page.
    const QByteArray odd("\xe9t\xe9\x80\xff", 5);
    form2.NewC->addItem(odd);
    QCOMPARE(shown(form2.NewC).last(), QStringLiteral("\u00e9t\u00e9\u20ac\u00ff"));
    QCOMPARE(form2.NewC->item(3), QByteArrayView(odd));

    // The rows stand one under the other, as a list view's do, and keys and clicks move
    // through them: the first row under the top edge, the next one row lower, the last at
    // the end; a page of rows scrolls the view along.
    for (int i = 0; i < 200; ++i)
        form2.NewC->addItem("cam " + QByteArray::number(i));
    form2.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form2));
    KeyListBox& box = *form2.NewC;
    const QRect first = box.visualRect(box.model()->index(0, 0));
    const QRect second = box.visualRect(box.model()->index(1, 0));
    QCOMPARE(first.top(), 0);
    QCOMPARE(second.top(), first.bottom() + 1);
    QCOMPARE(box.indexAt(second.center()).row(), 1);
    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, second.center());
    QCOMPARE(box.currentIndex().row(), 1);
    QCOMPARE(box.selectionModel()->selectedRows().size(), 1);
    QTest::keyClick(&box, Qt::Key_Down);
    QCOMPARE(box.currentIndex().row(), 2);
    QTest::keyClick(&box, Qt::Key_End);
    QCOMPARE(box.currentIndex().row(), 203);
    QVERIFY(box.viewport()->rect().contains(box.visualRect(box.currentIndex())));
    QCOMPARE(box.indexAt(box.visualRect(box.currentIndex()).center()).row(), 203);
    QTest::keyClick(&box, Qt::Key_PageUp);
    QVERIFY(box.currentIndex().row() < 203 - 5);
    QTest::keyClick(&box, Qt::Key_Home);
    QCOMPARE(box.currentIndex().row(), 0);
    QCOMPARE(box.verticalScrollBar()->value(), 0);
    QCOMPARE(box.selectionModel()->selectedRows().first().row(), 0);
}

// The new-cams box shows the run's list as it grows, holding no copy: rows appear when it is
// told the list grew, and a change of its own takes over the rows shown, no more.
void TestWindows::newCamsBoxFollowsAGrowingList()
{
    Run run;
    Form2& form2 = run.program->form2();
    form2.stop();
    const QByteArray file("k1\r\nd1\r\nk2\r\nd2\r\nk3\r\nd3\r\n");
    const KeyList all = keysOfListFile(file);
    KeyList growing(KeyList::Order::AsAdded);
    growing.addAll(all.withSameBytes(KeyList::Order::AsAdded, all.views().first(1)));
    KeyListBox& box = *form2.NewC;
    QSignalSpy inserted(box.model(), &QAbstractItemModel::rowsInserted);
    box.follow(growing);
    QCOMPARE(itemsOf(&box), QByteArrayList{"k1"});
    QCOMPARE(box.count(), 1);

    // Grown but not yet told: the rows stay as they were.
    growing.addAll(all.withSameBytes(KeyList::Order::AsAdded, all.views().sliced(1, 1)));
    QCOMPARE(box.count(), 1);
    QCOMPARE(box.model()->rowCount(), 1);
    box.followedGrew();
    QCOMPARE(box.count(), 2);
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(inserted.first().at(1).toInt(), 1);
    QCOMPARE(inserted.first().at(2).toInt(), 1);
    QCOMPARE(box.model()->index(1, 0).data().toString(), QStringLiteral("k2"));
    QCOMPARE(box.model()->index(1, 0).data(Qt::ToolTipRole).toString(), QStringLiteral("d2"));
    QVERIFY(!box.model()->index(2, 0).data().isValid());

    // A key added to the box itself goes after the rows shown, not after the list's new keys.
    growing.addAll(all.withSameBytes(KeyList::Order::AsAdded, all.views().sliced(2)));
    box.addItem("mine");
    QCOMPARE(itemsOf(&box), (QByteArrayList{"k1", "k2", "mine"}));
    box.followedGrew();
    QCOMPARE(itemsOf(&box), (QByteArrayList{"k1", "k2", "mine"}));
    QCOMPARE(growing.count(), 3);
}

void TestWindows::listsShowKeysAndDetailsShortened_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("toolTip");
    const QByteArray longKey = QByteArray(999, 'a') + 'b' + QByteArray(4 << 20, 'c');
    const QByteArray longDetail = QByteArray(1'000, 'd') + 'e';
    const auto latin = [](const QByteArray& bytes) {
        return QString::fromLatin1(bytes);
    };
    QTest::newRow("key and detail")
        << QByteArray("cam\r\nhttp://x/1\r\n") << u"cam"_qs << u"http://x/1"_qs;
    QTest::newRow("key of the whole length shown")
        << QByteArray(1'000, 'k') + "\r\nd" << QString(1'000, u'k') << u"d"_qs;
    QTest::newRow("longer key shown up to the length") << longKey + "\r\nd\r\n"
                                                       << latin(longKey.first(1'000)) << u"d"_qs;
    QTest::newRow("longer detail shortened the same way")
        << "k\r\n" + longDetail + "\r\n"
        << u"k"_qs << latin(longDetail.first(1'000));
    QTest::newRow("no detail line") << QByteArray("k\r\n") << u"k"_qs << u"(none)"_qs;
    QTest::newRow("empty detail line") << QByteArray("k\r\n\r\nnext") << u"k"_qs << u"(none)"_qs;
    QTest::newRow("lone cr ends the key, a lone lf stays and shows")
        << QByteArray("k\rd\ne\rx") << u"k"_qs << u"d"_qs + markOf(0x0A, {0x240A}) + u"e"_qs;
    // Markup is text: the view shows it, and the tool tip shows it literally (see below).
    QTest::newRow("markup") << QByteArray("<b>cam</b>\r\n<img src=\":/icon.png\">&amp;\r\n")
                            << u"<b>cam</b>"_qs << u"<img src=\":/icon.png\">&amp;"_qs;
    QTest::newRow("utf-8") << QByteArray("Z\xc3\xbcrich\r\n\xe2\x82\xac 5\r\n") << u"Z\u00fcrich"_qs
                           << u"\u20ac 5"_qs;
    QTest::newRow("windows-1252, its unused bytes as themselves")
        << QByteArray("Z\xfcrich \x80\r\n\x93q\x94 \x81\r\n") << u"Z\u00fcrich \u20ac"_qs
        << u"\u201cq\u201d \u27e8U+0081\u27e9"_qs;
    QTest::newRow("a utf-8 character cut by the length is not a fault")
        << QByteArray(999, 'a') + "\xc3\xbc\xc3\xbc\r\nd" << QString(999, u'a') + QChar(0xfc)
        << u"d"_qs;
    // Look-alike keys must not look alike.
    QTest::newRow("controls") << QByteArray("a\0b\x1b\x7f\r\n\t\r\n", 9)
                              << u"a"_qs + markOf(0x00, {0x2400}) + u"b"_qs +
                                     markOf(0x1B, {0x241B}) + markOf(0x7F, {0x2421})
                              << markOf(0x09, {0x2409});
    QTest::newRow("direction overrides and invisible characters")
        << QByteArray("\xe2\x80\xaegpj.exe\xe2\x80\x8b\r\n\xef\xbb\xbf"
                      "d\xc2\xa0"
                      "e\r\n")
        << u"\u27e8U+202E\u27e9gpj.exe\u27e8U+200B\u27e9"_qs
        << u"\u27e8U+FEFF\u27e9d\u27e8U+00A0\u27e9e"_qs;
    const QString blank = markOf(u' ', {0x2420, 0x2423});
    QTest::newRow("blanks at the end")
        << QByteArray("cam  \r\n d \r\n") << u"cam"_qs + blank + blank << u" d"_qs + blank;
}

// A list box shows a key, and as its tool tip its detail line, up to a length; the whole key
// is still the item.
void TestWindows::listsShowKeysAndDetailsShortened()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, shown);
    QFETCH(QString, toolTip);
    Run run;
    Form2& form2 = run.program->form2();
    form2.stop();
    KeyList keys(KeyList::Order::AsAdded);
    keys.addAll(file, pickKeys(file));
    const QByteArray key = keys.item(0).toByteArray();
    file.fill('x');
    form2.NewC->addItems(keys);
    form2.List1->addItems(keys);
    // The key comes first in both boxes.
    for (const KeyListBox* box : {form2.NewC, form2.List1}) {
        QCOMPARE(box->item(0), QByteArrayView(key));
        QCOMPARE(box->model()->index(0, 0).data().toString(), shown);
        QCOMPARE(toolTipsOf(box).first(), toolTip);
    }
    // Every character shown has a glyph in the list's font or one of its fallbacks.
    const QFontMetrics metrics(form2.NewC->font());
    for (const char32_t c : shown.toUcs4())
        QVERIFY2(metrics.inFontUcs4(c), qPrintable(u"no glyph for U+%1"_qs.arg(c, 4, 16)));
    // Resting the mouse on the key shows the tool tip as that very text, whatever it holds.
    form2.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form2));
    const QRect row = form2.NewC->visualRect(form2.NewC->model()->index(0, 0));
    QHelpEvent hover(QEvent::ToolTip, row.center(),
                     form2.NewC->viewport()->mapToGlobal(row.center()));
    QApplication::sendEvent(form2.NewC->viewport(), &hover);
    const QLabel* tip = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->inherits("QTipLabel") && widget->isVisible())
            tip = qobject_cast<QLabel*>(widget);
    }
    if (toolTip == u"(none)"_qs) {
        QVERIFY(!tip);
        return;
    }
    QVERIFY(tip);
    QTextDocument rendered;
    rendered.setHtml(tip->text());
    QCOMPARE(rendered.toPlainText(), toolTip);
    QToolTip::hideText();
}

void TestWindows::listsTellLookAlikesApart_data()
{
    QTest::addColumn<DisplayText::Marks::CanDraw>("canDraw");
    QTest::newRow("the list's own font") << DisplayText::Marks::CanDraw();
    QTest::newRow("a font that draws every picture") << DisplayText::Marks::CanDraw([](char32_t c) {
        return c < 0x80 || (c >= 0x2400 && c <= 0x2423) || c == 0x27E8 || c == 0x27E9;
    });
    QTest::newRow("a font that draws none")
        << DisplayText::Marks::CanDraw([](char32_t c) { return c < 0x80; });
    QTest::newRow("a font without angle brackets") << DisplayText::Marks::CanDraw(
        [](char32_t c) { return c < 0x80 || c == 0x2039 || c == 0x203A || c == 0x2423; });
}

// Look-alike keys never show alike: each shows a different text, drawn by the font, whichever
// marks it has.
void TestWindows::listsTellLookAlikesApart()
{
    QFETCH(DisplayText::Marks::CanDraw, canDraw);
    QStringList shown;
    if (canDraw) {
        const DisplayText::Marks marks(canDraw);
        for (const QByteArray& key : lookAlikes)
            shown.append(DisplayText::of(key, 1'000, marks));
    } else {
        // As the user sees them: the rows of the new-cams list, compared as pixels too.
        Run run;
        Form2& form2 = run.program->form2();
        form2.stop();
        for (const QByteArray& key : lookAlikes)
            form2.NewC->addItem(key);
        form2.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form2));
        QList<QImage> rows;
        for (int row = 0; row < form2.NewC->model()->rowCount(); ++row) {
            const QModelIndex index = form2.NewC->model()->index(row, 0);
            shown.append(index.data().toString());
            rows.append(form2.NewC->viewport()->grab(form2.NewC->visualRect(index)).toImage());
        }
        for (qsizetype a = 0; a < rows.size(); ++a) {
            for (qsizetype b = a + 1; b < rows.size(); ++b)
                QVERIFY2(rows[a] != rows[b], qPrintable(shown[a] + u" looks like "_qs + shown[b]));
        }
        canDraw = [metrics = QFontMetrics(form2.NewC->font())](char32_t c) {
            return metrics.inFontUcs4(c);
        };
    }
    for (const QString& text : shown) {
        for (const char32_t c : text.toUcs4())
            QVERIFY2(canDraw(c), qPrintable(text + u": no glyph for U+%1"_qs.arg(c, 4, 16)));
    }
    QCOMPARE(QSet<QString>(shown.begin(), shown.end()).size(), lookAlikes.size());
}

namespace {

std::unique_ptr<RemoteAccessBinding> dialUp(std::vector<FakeRemoteAccess::Connection> connections)
{
    return std::make_unique<RemoteAccessBinding>(
        [connections] { return std::make_unique<FakeRemoteAccess>(connections); });
}

} // namespace

void TestWindows::resourceDownloadThroughTheDownloadWindow()
{
    Run run;
    Form1& form1 = run.program->form1();
    form1.stop();
    QImage red(4, 4, QImage::Format_RGB32);
    red.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    QVERIFY(red.save(&buffer, "PNG"));
    LoopbackHttpServer::Answer picture;
    picture.body = png;
    run.server.setAnswer(QStringLiteral("/pics/cam1.png"), picture);
    const QString url = run.server.url(QStringLiteral("/pics/cam1.png")).toString();

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    form1.setDownloadFolder(folder.path());
    QLineEdit name(url);
    QLabel target;
    form1.setNameSource(&name);
    form1.setPictureTarget(&target);

    // No layer at all: the check raises, the download does nothing.
    form1.useRemoteAccess(std::make_unique<RemoteAccessBinding>(
        [] { return std::unique_ptr<RemoteAccessService>(); }));
    QVERIFY_THROWS_EXCEPTION(RemoteAccessUnavailable, form1.DFÜStatus());
    form1.GetRESOURCE(url);
    QCOMPARE(run.server.requestCount(), 0);

    // A line that is not connected: still nothing.
    form1.useRemoteAccess(dialUp({{7, RASCS_Disconnected}}));
    QVERIFY(!form1.DFÜStatus());
    form1.GetRESOURCE(url);
    QCOMPARE(run.server.requestCount(), 0);
    QVERIFY(QDir(folder.path()).isEmpty());

    form1.useRemoteAccess(dialUp({{7, RASCS_Connected}}));
    QVERIFY(form1.DFÜStatus());
    form1.GetRESOURCE(url);
    QCOMPARE(fileBytes(folder.filePath(QStringLiteral("cam1.png"))), png);
    QCOMPARE(target.pixmap().toImage().convertToFormat(QImage::Format_RGB32), red);
    QCOMPARE(form1.cursor().shape(), Qt::ArrowCursor);
}

// What the platform plugins say as they give up on a display asks for the end; nothing else does.
void TestWindows::lostDisplayAsksForTheEnd_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("ends");
    QTest::newRow("xcb's own check")
        << QStringLiteral("The X11 connection broke (error 1). Did the X11 server die?") << true;
    QTest::newRow("Xlib's I/O error")
        << QStringLiteral("The X11 connection broke: I/O error (code 1)") << true;
    QTest::newRow("Wayland compositor gone")
        << QStringLiteral("The Wayland connection broke. Did the Wayland compositor die?") << true;
    QTest::newRow("Wayland protocol error")
        << QStringLiteral("The Wayland connection experienced a fatal error: Protocol error")
        << true;
    QTest::newRow("another xcb warning")
        << QStringLiteral("QXcbConnection: XCB error: 3 (BadWindow), sequence: 1") << false;
    QTest::newRow("the words inside another warning")
        << QStringLiteral("Retrying: The X11 connection broke (error 1)") << false;
}

void TestWindows::lostDisplayAsksForTheEnd()
{
    QFETCH(QString, message);
    QFETCH(bool, ends);
    const KeptSignalActions kept;
    EndSignals watcher;
    QSignalSpy lost(&watcher, &EndSignals::displayLost);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(message));
    qWarning("%s", qPrintable(message));
    QCOMPARE(lost.count(), ends ? 1 : 0);
}

void TestWindows::leadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("value");
    QTest::newRow("plain") << QStringLiteral("13") << qint64{13};
    QTest::newRow("trailing text") << QStringLiteral("7 frames") << qint64{7};
    QTest::newRow("none") << QStringLiteral("Text1") << qint64{0};
    QTest::newRow("empty") << QString() << qint64{0};
    QTest::newRow("blank and sign") << QStringLiteral(" -4") << qint64{-4};
    QTest::newRow("beyond 16 bits") << QStringLiteral("1000000") << qint64{1'000'000};
}

void TestWindows::leadingNumber()
{
    QFETCH(QString, text);
    QFETCH(qint64, value);
    QCOMPARE(::leadingNumber(text), value);
    QCOMPARE(::leadingNumber(numberText(value)), value);
}

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
