// The one helper every window's background work goes through: the window
// keeps its events, what the work threw or recorded comes back to the
// window's thread, and a wait for another program's lock is shown.

#include "gui/backgroundwork.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>

#include <stdexcept>
#include <thread>

#include "fileio/filefault.h"
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
    forgetFileFailure();
    runAndWait(&window, [&] {
        workThread = std::this_thread::get_id();
        noteFileFailure("/tmp/x.key_base", FileFault::NotAKeyFile);
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
    });
    EXPECT_NE(workThread, windowThread);
    EXPECT_GE(ticks, 3);  // the window's events went on meanwhile
    EXPECT_EQ(lastFileFailure().fault, FileFault::NotAKeyFile);
    EXPECT_EQ(lastFileFailure().path, "/tmp/x.key_base");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    // A pool thread's earlier record is not handed to a later task.
    forgetFileFailure();
    runAndWait(&window, [] {});
    EXPECT_EQ(lastFileFailure().fault, FileFault::None);

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
    runAndWait(&window, [&] {
        FileLock lock;
        result = lock.acquire(base, FileLock::Kind::Exclusive, true);
    });
    const qint64 endedMs = clock.elapsed();
    noteStillThereAfterEnd = visibleNote() != nullptr;

    EXPECT_EQ(result, FileLock::Result::Busy);
    EXPECT_EQ(lastFileFailure().fault, FileFault::Locked);
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
