// The monitor's window on Qt's offscreen platform: its layout, the load, the refresh cycle, the
// text box, its message boxes and the end after an unhandled failure.
#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "Support.h"
#include "viewer/qt/frmOstrevan.h"

namespace {

using testing_support::OwnerProcess;
using testing_support::TempFolder;
using viewer::frmOstrevan;

// Every warning Qt gives during a test fails it: a raise on a platform that cannot stack windows,
// a font that cannot be loaded, a widget misused.
std::vector<QString>& qtWarnings() {
    static std::vector<QString> warnings;
    return warnings;
}

void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtDebugMsg || type == QtInfoMsg) return;
    // The offscreen platform says so of every dialog it shows; not the window's doing.
    if (message == "This plugin does not support propagateSizeHints()") return;
    std::cerr << "Qt: " << message.toStdString() << "\n";
    qtWarnings().push_back(message);
}

struct ShownBox {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QString captionMeanwhile;
};

template <typename T>
T* child(QWidget& window, const char* name) {
    return window.findChild<T*>(QLatin1String(name));
}

// Counts the window's timer ticks, so that a test waits for ticks rather than for time.
class TickCounter {
  public:
    explicit TickCounter(QWidget& window)
        : timer_(child<QTimer>(window, "Timer1")), ticks_(timer_, &QTimer::timeout) {}
    int ticks() const { return static_cast<int>(ticks_.count()); }
    bool running() const { return timer_->isActive(); }
    // Waits until `count` more ticks have come, or the timer has stopped.
    bool waitFor(int count) {
        const int until = ticks() + count;
        return QTest::qWaitFor([&] { return ticks() >= until || !running(); }, 5000);
    }

  private:
    QTimer* timer_;
    // Its connection ends with it, unlike a connection to a lambda.
    QSignalSpy ticks_;
};

// Answers each of the application's modal message boxes with OK once the window's timer has
// ticked `ticksOpen` times meanwhile (at once if the timer has stopped), and records what each
// said. A box that opens inside another is seen and answered too.
class BoxAnswerer {
  public:
    BoxAnswerer(QWidget& window, int ticksOpen)
        : window_(window), ticks_(window), ticksOpen_(ticksOpen) {
        QObject::connect(&poll_, &QTimer::timeout, [this] { poll(); });
        poll_.start(5);
    }
    const std::vector<ShownBox>& boxes() const { return boxes_; }

  private:
    struct Waiting {
        QPointer<QMessageBox> box;
        std::size_t index;
        int answerAtTick;
    };

    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr && !box->property("seen").toBool()) {
            box->setProperty("seen", true);
            waiting_.push_back({box, boxes_.size(), ticks_.ticks() + ticksOpen_});
            boxes_.push_back(
                {box->windowTitle(), box->text(), box->icon(), box->standardButtons(), {}});
            std::cerr << "box: " << box->text().toStdString() << "\n";
        }
        std::erase_if(waiting_, [this](const Waiting& waiting) {
            if (waiting.box == nullptr) return true;
            if (ticks_.ticks() < waiting.answerAtTick && ticks_.running()) return false;
            boxes_[waiting.index].captionMeanwhile = window_.windowTitle();
            waiting.box->button(QMessageBox::Ok)->click();
            return true;
        });
    }

    QWidget& window_;
    TickCounter ticks_;
    int ticksOpen_;
    QTimer poll_;
    std::vector<Waiting> waiting_;
    std::vector<ShownBox> boxes_;
};

// The text box's text with its line breaks as the scan writes them.
std::string listingOf(frmOstrevan& window) {
    return child<QPlainTextEdit>(window, "txtPuestos")
        ->toPlainText()
        .replace(QLatin1Char('\n'), QLatin1String("\r\n"))
        .toStdString();
}

// Waits for at most a few seconds, a guard against a hang rather than a measure of speed.
template <typename Condition>
bool eventually(Condition condition) {
    return QTest::qWaitFor(condition, 5000);
}

// Waits until no refresh is under way: what the last tick or click started has been shown.
bool allRefreshesShown(frmOstrevan& window) {
    return eventually([&] { return !window.refreshUnderWay(); });
}

// Waits until a refresh that began after this call has been shown.
bool aLaterRefreshShown(frmOstrevan& window) {
    if (!allRefreshesShown(window)) return false;
    const int shown = window.refreshesShown();
    return eventually([&] { return window.refreshesShown() > shown; });
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override { qtWarnings().clear(); }
    void TearDown() override {
        EXPECT_TRUE(qtWarnings().empty()) << qtWarnings().front().toStdString();
    }

    // A window over a station file of `records` whole records that another process keeps.
    void openOver(long long records) {
        owner.grow(records);
        window.setRutaFichero(folder.stationFile());
    }
    void waitForFirstRefresh() {
        ASSERT_TRUE(eventually([&] { return window.windowTitle() != "locked"; }));
    }

    TempFolder folder;
    OwnerProcess owner{folder.stationFile()};
    frmOstrevan window;
};

TEST_F(WindowTest, LaidOutAsDrawnBeforeItsLoad) {
    EXPECT_EQ(window.size(), QSize(137, 426));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(window.windowTitle(), "locked");
    EXPECT_TRUE(window.windowIcon().availableSizes().contains(QSize(16, 16)));

    auto* cmdVer = child<QPushButton>(window, "cmdVer");
    EXPECT_EQ(cmdVer->geometry(), QRect(4, 2, 283, 23));
    EXPECT_TRUE(cmdVer->text().isEmpty());
    EXPECT_FALSE(cmdVer->accessibleName().isEmpty());

    auto* txtPuestos = child<QPlainTextEdit>(window, "txtPuestos");
    EXPECT_EQ(txtPuestos->geometry(), QRect(2, 26, 135, 397));
    EXPECT_EQ(txtPuestos->toPlainText(), "txtPuestos");
    EXPECT_EQ(txtPuestos->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_FALSE(txtPuestos->isReadOnly());
    EXPECT_FALSE(txtPuestos->accessibleName().isEmpty());
    const QFont font = txtPuestos->font();
    EXPECT_EQ(font.family(), "MS Serif");
    EXPECT_EQ(font.pointSize(), 6);
    EXPECT_EQ(font.weight(), QFont::Normal);
    EXPECT_FALSE(font.italic() || font.underline() || font.strikeOut());

    auto* timer1 = child<QTimer>(window, "Timer1");
    EXPECT_EQ(timer1->interval(), 0);
    EXPECT_FALSE(timer1->isActive());
}

TEST_F(WindowTest, LoadStartsTheTimerButShowsNothingOfTheFileBeforeTheFirstTick) {
    openOver(7);
    owner.lock("3");
    window.show();
    auto* timer1 = child<QTimer>(window, "Timer1");
    EXPECT_EQ(timer1->interval(), 100);
    EXPECT_TRUE(timer1->isActive());
    EXPECT_EQ(window.windowTitle(), "locked");
    EXPECT_EQ(listingOf(window), "txtPuestos");
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(QApplication::focusWidget(), child<QWidget>(window, "txtPuestos"));
    // Tab leaves the text box for the button, as from any edit box.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), child<QWidget>(window, "cmdVer"));
}

TEST_F(WindowTest, CaptionIsTheCountOfWholeRecordsHoweverManyAreLocked) {
    openOver(7);
    owner.lock("3");
    owner.lock("5");
    window.show();
    waitForFirstRefresh();
    EXPECT_EQ(window.windowTitle(), "7");
    EXPECT_EQ(listingOf(window), "2\t3- **\r\n4\t5- **\t6\r\n7\t8\t");

    owner.lock("@81:486");  // records 2 to 7
    ASSERT_TRUE(eventually([&] { return listingOf(window).find("7- **") != std::string::npos; }));
    EXPECT_EQ(listingOf(window), "2- **\t3- **\r\n4- **\t5- **\t6- **\r\n7- **\t8\t");
    EXPECT_EQ(window.windowTitle(), "7");

    std::int32_t lastFree = 0;
    EXPECT_EQ(window.MLP_PuestosConectadosGrabados(lastFree), 6);
    EXPECT_EQ(lastFree, 7);
}

TEST_F(WindowTest, ClickRefreshesAtOnceAndAsTheNextTickWould) {
    openOver(7);
    owner.lock("6");
    window.show();
    auto* timer1 = child<QTimer>(window, "Timer1");
    timer1->stop();  // so that only the click can have refreshed
    QTest::mouseClick(child<QPushButton>(window, "cmdVer"), Qt::LeftButton, {}, QPoint(60, 10));
    ASSERT_TRUE(allRefreshesShown(window));
    EXPECT_EQ(window.windowTitle(), "7");
    const std::string clicked = listingOf(window);
    EXPECT_EQ(clicked, "2\t3\r\n4\t5\t6- **\r\n7\t8\t");

    child<QPlainTextEdit>(window, "txtPuestos")->clear();
    timer1->start();
    ASSERT_TRUE(eventually([&] { return !listingOf(window).empty(); }));
    EXPECT_EQ(listingOf(window), clicked);
}

TEST_F(WindowTest, TypedTextIsReplacedAndAnUnchangedListingKeepsTheSelection) {
    openOver(4);
    window.show();
    waitForFirstRefresh();
    const std::string listing = listingOf(window);
    auto* txtPuestos = child<QPlainTextEdit>(window, "txtPuestos");

    txtPuestos->selectAll();
    ASSERT_TRUE(TickCounter(window).waitFor(3));
    EXPECT_EQ(txtPuestos->textCursor().selectedText().size(), txtPuestos->toPlainText().size());

    QTest::keyClicks(txtPuestos, "typed");
    EXPECT_EQ(txtPuestos->toPlainText(), "typed");
    ASSERT_TRUE(eventually([&] { return listingOf(window) == listing; }));
}

TEST_F(WindowTest, AChangedListingKeepsTheScrollPosition) {
    openOver(300);
    window.show();
    waitForFirstRefresh();
    QScrollBar* scrollBar = child<QPlainTextEdit>(window, "txtPuestos")->verticalScrollBar();
    ASSERT_GT(scrollBar->maximum(), 0);
    scrollBar->setValue(scrollBar->maximum());
    const int scrolledTo = scrollBar->value();

    owner.lock("150");
    ASSERT_TRUE(eventually([&] { return listingOf(window).find("150- **") != std::string::npos; }));
    EXPECT_EQ(scrollBar->value(), scrolledTo);
}

TEST_F(WindowTest, AChangeFurtherDownKeepsASelectionAboveIt) {
    openOver(300);
    window.show();
    waitForFirstRefresh();
    auto* txtPuestos = child<QPlainTextEdit>(window, "txtPuestos");
    QTextCursor firstLine(txtPuestos->document());
    firstLine.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    txtPuestos->setTextCursor(firstLine);

    owner.lock("200");
    ASSERT_TRUE(eventually([&] { return listingOf(window).find("200- **") != std::string::npos; }));
    EXPECT_EQ(txtPuestos->textCursor().selectedText(), "2\t3");
}

// Whatever the file did and the user typed between two refreshes, the box ends up holding
// exactly the listing of one pass, no more and no less.
TEST_F(WindowTest, AfterEveryRefreshTheBoxHoldsExactlyTheListing) {
    openOver(40);
    window.show();
    child<QTimer>(window, "Timer1")->stop();  // only the clicks below refresh
    auto* cmdVer = child<QPushButton>(window, "cmdVer");
    auto* txtPuestos = child<QPlainTextEdit>(window, "txtPuestos");
    std::mt19937 random(20261209);
    auto pick = [&](int low, int high) { return std::uniform_int_distribution(low, high)(random); };
    long long records = 40;
    for (int step = 0; step < 300; ++step) {
        switch (pick(0, 9)) {
            case 0:
                records = pick(0, 60);
                owner.truncate(records * 81 + pick(0, 1) * pick(1, 80));
                break;
            case 1:
                records += pick(1, 20);
                owner.grow(records);
                break;
            case 2: {
                QTextCursor caret(txtPuestos->document());
                caret.setPosition(pick(0, static_cast<int>(txtPuestos->toPlainText().size())));
                txtPuestos->setTextCursor(caret);
                QTest::keyClicks(txtPuestos, step % 2 == 0 ? "7- **" : "\t1");
                break;
            }
            default: {
                const std::string record = std::to_string(pick(2, static_cast<int>(records) + 1));
                owner.command((pick(0, 1) == 0 ? "lock " : "unlock ") + record);
            }
        }
        QTest::mouseClick(cmdVer, Qt::LeftButton, {}, QPoint(60, 10));
        ASSERT_TRUE(allRefreshesShown(window));
        ASSERT_EQ(listingOf(window), testing_support::scanFolder(folder.path()).listing)
            << "after step " << step;
    }
}

TEST_F(WindowTest, CaptionFollowsAGrowingFileByTheNextTick) {
    openOver(7);
    window.show();
    waitForFirstRefresh();
    for (long long records : {8, 20, 21, 500}) {
        owner.grow(records);
        ASSERT_TRUE(aLaterRefreshShown(window));
        EXPECT_EQ(window.windowTitle(), QString::number(records));
    }
}

TEST_F(WindowTest, EveryLineOfThreeEntriesFitsTheBox) {
    openOver(101);
    owner.lock("@0:0");  // every record, and the widest entries
    window.show();
    waitForFirstRefresh();
    auto* txtPuestos = child<QPlainTextEdit>(window, "txtPuestos");
    const QTextDocument* document = txtPuestos->document();
    ASSERT_EQ(document->blockCount(), 35);  // 2-3, 4-6, ..., 100-102, and the empty last line
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        document->documentLayout()->blockBoundingRect(block);  // lays the block out
        EXPECT_LE(block.layout()->lineCount(), 1) << block.text().toStdString();
    }
}

TEST_F(WindowTest, OpenFailureIsReportedDuringTheLoadAndNoTickRefreshesWhileItWaits) {
    window.setRutaFichero(folder.path() / "missing" / "Brevanto.SIT");
    BoxAnswerer answerer(window, 3);
    window.show();
    // The open runs on the worker: its box comes when the worker answers, before any refresh.
    ASSERT_TRUE(eventually([&] { return !answerer.boxes().empty(); }));
    ASSERT_EQ(answerer.boxes().size(), 1u);
    const ShownBox& box = answerer.boxes().front();
    EXPECT_EQ(box.title, "prOstrevan");
    EXPECT_EQ(box.text, "2-No such file or directory");
    EXPECT_EQ(box.icon, QMessageBox::NoIcon);
    EXPECT_EQ(box.buttons, QMessageBox::Ok);
    EXPECT_EQ(box.captionMeanwhile, "locked");
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "missing"));

    // The first refresh fails at the start of its pass, with the file closed.
    ASSERT_TRUE(eventually([&] { return answerer.boxes().size() == 2; }));
    EXPECT_EQ(answerer.boxes().back().text,
              "Run-time failure 9:\n\nBad file descriptor\n\nThe monitor ends here.");
    EXPECT_EQ(answerer.boxes().back().title, "prOstrevan");
    EXPECT_EQ(listingOf(window), "txtPuestos");
    EXPECT_FALSE(child<QTimer>(window, "Timer1")->isActive());  // no refresh after that
}

TEST(WindowDeathTest, UnhandledFailureEndsTheProgramWithAFailureStatus) {
    EXPECT_EXIT(
        {
            TempFolder folder;
            frmOstrevan window;
            window.setRutaFichero(folder.path() / "missing" / "Brevanto.SIT");
            BoxAnswerer answerer(window, 0);
            window.show();
            std::_Exit(QApplication::exec());
        },
        ::testing::ExitedWithCode(viewer::kUnhandledFailureExitStatus),
        "box: 2-No such file or directory.*box: Run-time failure 9:");
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    // The death test's child runs the test binary afresh, with an application of its own.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QApplication application(argc, argv);
    qInstallMessageHandler(collectWarnings);
    return RUN_ALL_TESTS();
}
