#pragma once
// The one way a window runs work away from its thread. Every dialog's long
// steps (key generation, an exchange with the crypto server, a key file that
// another program holds) go through runAndWait, so a window never freezes
// and never runs a thread of its own.

#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

class QWidget;

namespace Talvek {

namespace BackgroundTexts {
// Shown while a step waits for a key file that another program holds.
inline constexpr const char* LockWait = "Ожидание файла, занятого другой программой...";
}  // namespace BackgroundTexts

// How long a step waits for another program's lock before the note says so.
inline constexpr int kLockNoteDelayMs = 1000;

// Runs work on Qt's thread pool and returns once it has ended, rethrowing
// what it threw. Meanwhile the calling (window) thread handles its events in
// a local loop and shows the wait cursor. What work finds out (a step's
// result and its cause) it leaves in what it captured. While work waits for a file another program holds for longer than
// kLockNoteDelayMs, a small note over owner (non-modal, no input taken) says
// so, until the wait ends.
void runAndWait(QWidget* owner, const std::function<void()>& work);

// A window's work in progress: the controls it switches off while the work
// runs and the stop it offers. A window that runs work through it has one
// member of this kind and asks it, on close, whether a stop was what the
// close meant.
class BusyWork {
public:
    // afterStop: how the window closes once work it was asked to stop has
    // ended. It runs from the event loop, after the step that ran the work
    // has returned, because that step still uses the window.
    explicit BusyWork(std::function<void()> afterStop);
    BusyWork(const BusyWork&) = delete;
    BusyWork& operator=(const BusyWork&) = delete;

    // Runs work through runAndWait on owner with each of controls switched
    // off, then puts back exactly the enabled state each had before (a
    // control off before stays off) and the focus where it was. stop (may
    // be empty) is what a close meanwhile calls. False when a stop was asked
    // for; what work threw is rethrown once the controls are back.
    bool run(QWidget* owner, const std::vector<QWidget*>& controls,
             const std::function<void()>& work, const std::function<void()>& stop);
    // True while run runs.
    bool busy() const { return busy_; }
    // A close while work runs: asks the work to stop (once, when it can) and
    // returns true, the close being taken. False when nothing runs.
    bool closeRequested();

private:
    std::function<void()> afterStop_;
    bool busy_ = false;
    std::function<void()> stop_;
    bool stopRequested_ = false;
};

// The controls below within that take input (focus): what a window switches
// off while its work runs. Labels and progress bars keep their colours and
// keep moving.
std::vector<QWidget*> inputControls(QWidget* within);

// The note's object name, for tests and assistive tools that look for it.
inline const QString lockNoteName() {
    return QStringLiteral("lockWaitNote");
}

}  // namespace Talvek
