#include "gui/backgroundwork.h"

#include <QtConcurrent/QtConcurrentRun>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFrame>
#include <QFutureWatcher>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <exception>
#include <memory>
#include <utility>

#include <openssl/crypto.h>

#include "fileio/filelock.h"
#include "gui/messagebox.h"

namespace Talvek {

namespace {

// A tool window without buttons: it takes neither focus nor input, and goes
// with the step that waits.
class LockWaitNote : public QFrame {
public:
    explicit LockWaitNote(QWidget* owner)
        : QFrame(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus) {
        setObjectName(lockNoteName());
        setAttribute(Qt::WA_ShowWithoutActivating);
        setFrameStyle(QFrame::Panel | QFrame::Raised);
        const QString text = QString::fromUtf8(BackgroundTexts::LockWait);
        setAccessibleName(text);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(16, 10, 16, 10);
        auto* label = new QLabel(text, this);
        label->setAccessibleName(text);
        layout->addWidget(label);
    }

    void showOver(QWidget* owner) {
        adjustSize();
        if (owner) {
            const QPoint centre = owner->mapToGlobal(owner->rect().center());
            move(centre - rect().center());
        }
        show();
    }
};

}  // namespace

void runAndWait(QWidget* owner, const std::function<void()>& work) {
    // The busy guard every view uses, on until the work has ended.
    WaitCursorDepth cursor;
    cursor.begin();
    std::exception_ptr failure;
    QFutureWatcher<void> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(QtConcurrent::run([&work, &failure] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // The pool keeps its threads; OpenSSL's state for this one (its
        // random generators) goes with the work instead of lingering.
        OPENSSL_thread_stop();
    }));

    // The note follows the waits, polled: the waiting thread must not touch
    // a widget.
    const QPointer<QWidget> parent = owner;
    std::unique_ptr<LockWaitNote> note;
    QElapsedTimer waitingFor;
    QTimer poll;
    poll.setInterval(100);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (lockWaitsInProgress() == 0) {
            waitingFor.invalidate();
            if (note) note->hide();
            return;
        }
        if (!waitingFor.isValid()) waitingFor.start();
        if (waitingFor.elapsed() < kLockNoteDelayMs) return;
        if (!note) note = std::make_unique<LockWaitNote>(parent.data());
        if (!note->isVisible()) note->showOver(parent.data());
    });
    poll.start();
    if (!watcher.isFinished()) loop.exec();
    watcher.waitForFinished();
    poll.stop();
    note.reset();

    if (failure) std::rethrow_exception(failure);
}

BusyWork::BusyWork(std::function<void()> afterStop) : afterStop_(std::move(afterStop)) {}

bool BusyWork::run(QWidget* owner, const std::vector<QWidget*>& controls,
                   const std::function<void()>& work, const std::function<void()>& stop) {
    struct Switched {
        QPointer<QWidget> widget;
        bool enabled;
    };
    std::vector<Switched> switched;
    switched.reserve(controls.size());
    // Taken before anything is switched off: a disabled focus widget hands
    // the focus on.
    const QPointer<QWidget> focus = owner ? owner->focusWidget() : nullptr;
    for (QWidget* w : controls) {
        if (!w) continue;
        switched.push_back({w, w->isEnabled()});
        w->setEnabled(false);
    }

    busy_ = true;
    stop_ = stop;
    stopRequested_ = false;
    std::exception_ptr failure;
    try {
        runAndWait(owner, work);
    } catch (...) {
        failure = std::current_exception();
    }
    busy_ = false;
    stop_ = nullptr;

    // In reverse, so that a control listed twice ends as it was first found.
    for (auto it = switched.rbegin(); it != switched.rend(); ++it) {
        if (it->widget) it->widget->setEnabled(it->enabled);
    }
    if (focus && focus->isEnabled()) focus->setFocus(Qt::OtherFocusReason);
    const bool stopped = std::exchange(stopRequested_, false);
    if (stopped && afterStop_) {
        if (owner)
            QTimer::singleShot(0, owner, afterStop_);
        else
            QTimer::singleShot(0, afterStop_);
    }
    if (failure) std::rethrow_exception(failure);
    return !stopped;
}

bool BusyWork::closeRequested() {
    if (!busy_) return false;
    if (stop_ && !stopRequested_) {
        stopRequested_ = true;
        stop_();
    }
    return true;
}

std::vector<QWidget*> inputControls(QWidget* within) {
    std::vector<QWidget*> controls;
    if (!within) return controls;
    for (QWidget* w : within->findChildren<QWidget*>()) {
        if (w->focusPolicy() != Qt::NoFocus) controls.push_back(w);
    }
    return controls;
}

}  // namespace Talvek
