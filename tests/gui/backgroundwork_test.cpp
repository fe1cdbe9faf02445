// The one helper every window's background work goes through: the window
// keeps its events, what the work threw or recorded comes back to the
// window's thread, and a wait for another program's lock is shown.

#include "gui/backgroundwork.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "fileio/filereader.h"
#include "fileio/filelock.h"
#include "support/lockwait.h"
#include "support/tempdir.h"

using namespace Talvek;

namespace {

QWidget* visibleNote() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == lockNoteName() && w->isVisible()) return w;
    }
    return nullptr;
}

}  // namespace

TEST(BackgroundWork, RunsAwayFromTheWindowAndHandsBackWhatHappened) {
    QWidget window;
    const std::thread::id windowThread = std::this_thread::get_id();
    std::thread::id workThread;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    // A step's cause comes back in its result, whatever thread it ran on.
    FileResult read;
    runAndWait(&window, [&] {
        workThread = std::this_thread::get_id();
        FileReader file;
        read = file.openExisting("/nonexistent/x.key_base");
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
    });
    EXPECT_NE(workThread, windowThread);
    EXPECT_GE(ticks, 3);  // the window's events went on meanwhile
    EXPECT_FALSE(read);
    EXPECT_EQ(read.failure().error, ENOENT);
    EXPECT_EQ(read.failure().path, "/nonexistent/x.key_base");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    EXPECT_THROW(runAndWait(&window, [] { throw std::runtime_error("failed"); }),
                 std::runtime_error);
}

// Busy cursor at once, the note only after a second of waiting, and gone
// when the wait ends.
TEST(BackgroundWork, AWaitForAHeldFileIsShownAfterASecond) {
    TestSupport::TempDir dir;
    const std::string base = dir.file("held.key_base");
    TestSupport::writeText(base, "base");
    TestSupport::HeldElsewhere other(base, LOCK_EX);
    ASSERT_TRUE(other.held());
    TestSupport::ScopedLockWait wait(std::chrono::milliseconds(1800));

    QWidget window;
    window.resize(300, 200);
    window.show();
    QElapsedTimer clock;
    qint64 firstNoteMs = -1;
    bool cursorAtOnce = false;
    bool noteStillThereAfterEnd = false;
    QString noteName;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (clock.elapsed() < 200) {
            const QCursor* cursor = QGuiApplication::overrideCursor();
            cursorAtOnce = cursor && cursor->shape() == Qt::WaitCursor;
        }
        if (QWidget* note = visibleNote(); note && firstNoteMs < 0) {
            firstNoteMs = clock.elapsed();
            noteName = note->accessibleName();
        }
    });
    clock.start();
    watch.start(20);
    FileLock::Result result = FileLock::Result::Locked;
    FileFailure cause;
    runAndWait(&window, [&] {
        FileLock lock;
        result = lock.acquire(base, FileLock::Kind::Exclusive, true);
        cause = lock.failure();
    });
    const qint64 endedMs = clock.elapsed();
    noteStillThereAfterEnd = visibleNote() != nullptr;

    EXPECT_EQ(result, FileLock::Result::Busy);
    EXPECT_EQ(cause.fault, FileFault::Locked);
    EXPECT_EQ(cause.path, base);
    EXPECT_TRUE(cursorAtOnce);
    EXPECT_GE(firstNoteMs, kLockNoteDelayMs);
    EXPECT_LT(firstNoteMs, endedMs);
    EXPECT_EQ(noteName, "Ожидание файла, занятого другой программой...");
    EXPECT_FALSE(noteStillThereAfterEnd);
    EXPECT_EQ(lockWaitsInProgress(), 0);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    // Work that waits for nobody shows no note, however long it takes.
    firstNoteMs = -1;
    clock.restart();
    runAndWait(&window, [] { std::this_thread::sleep_for(std::chrono::milliseconds(1300)); });
    EXPECT_EQ(firstNoteMs, -1);
}

namespace {

// Holds the work until the window's thread has looked at its controls, so
// that the look falls inside the work.
class LookWhileBusy {
public:
    explicit LookWhileBusy(std::function<void()> look) {
        QTimer::singleShot(0, [this, look = std::move(look)] {
            look();
            looked_ = true;
        });
    }
    void waitForTheLook() const {
        for (int i = 0; i < 500 && !looked_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

private:
    std::atomic<bool> looked_{false};
};

}  // namespace

// The controls are off while the work runs and come back exactly as they
// were, the focus with them, however the work ends: a control that was off
// before stays off.
TEST(BackgroundWork, BusyWorkPutsBackWhatWasEnabledAndTheFocus) {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* on = new QPushButton(QStringLiteral("on"));
    auto* off = new QPushButton(QStringLiteral("off"));
    auto* field = new QLineEdit;
    auto* label = new QLabel(QStringLiteral("label"));
    for (QWidget* w : std::initializer_list<QWidget*>{on, off, field, label}) layout->addWidget(w);
    off->setEnabled(false);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    field->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), field);

    const std::vector<QWidget*> controls = inputControls(&window);
    EXPECT_EQ(controls.size(), 3u);  // the label takes no input
    EXPECT_EQ(std::count(controls.begin(), controls.end(), label), 0);

    int afterStops = 0;
    BusyWork busy([&] { ++afterStops; });
    const struct {
        const char* how;
        std::function<void()> work;
        bool throws;
    } endings[] = {
        {"work that ends", [] {}, false},
        {"work that throws", [] { throw std::runtime_error("failed"); }, true},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.how);
        bool anyOn = true, busyMeanwhile = false, labelOn = false;
        LookWhileBusy look([&] {
            anyOn = on->isEnabled() || off->isEnabled() || field->isEnabled();
            labelOn = label->isEnabled();
            busyMeanwhile = busy.busy();
        });
        const auto work = [&] {
            look.waitForTheLook();
            ending.work();
        };
        bool finished = false;
        if (ending.throws) {
            EXPECT_THROW(busy.run(&window, controls, work, {}), std::runtime_error);
        } else {
            finished = busy.run(&window, controls, work, {});
            EXPECT_TRUE(finished);
        }
        EXPECT_FALSE(anyOn);
        EXPECT_TRUE(labelOn);
        EXPECT_TRUE(busyMeanwhile);
        EXPECT_FALSE(busy.busy());
        EXPECT_TRUE(on->isEnabled());
        EXPECT_FALSE(off->isEnabled());
        EXPECT_TRUE(field->isEnabled());
        EXPECT_EQ(QApplication::focusWidget(), field);
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    }
    EXPECT_EQ(afterStops, 0);
}

// A close while work runs asks the work to stop once, however often it
// comes; the window's own close follows from the event loop, after the step
// that ran the work has returned. A close with nothing running is the
// window's to handle.
TEST(BackgroundWork, CloseWhileBusyStopsTheWorkAndClosesAfterIt) {
    QWidget window;
    auto* button = new QPushButton(QStringLiteral("go"), &window);
    int afterStops = 0;
    BusyWork busy([&] { ++afterStops; });
    EXPECT_FALSE(busy.closeRequested());

    std::atomic<int> stops{0};
    bool takenWhileBusy = false;
    LookWhileBusy look([&] {
        takenWhileBusy = busy.closeRequested();
        busy.closeRequested();
    });
    const bool finished = busy.run(
        &window, {button},
        [&] {
            look.waitForTheLook();
            for (int i = 0; i < 500 && stops == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        },
        [&] { ++stops; });
    EXPECT_FALSE(finished);
    EXPECT_TRUE(takenWhileBusy);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(afterStops, 0);
    EXPECT_TRUE(button->isEnabled());
    QTRY_COMPARE(afterStops, 1);

    // The stop asked for last time is not carried into the next work.
    EXPECT_TRUE(busy.run(
        &window, {button}, [] {}, [&] { ++stops; }));
    QTest::qWait(20);
    EXPECT_EQ(afterStops, 1);
    EXPECT_EQ(stops, 1);
}
