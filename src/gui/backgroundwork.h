#pragma once
// The one way a window runs work away from its thread. Every dialog's long
// steps (key generation, an exchange with the crypto server, a key file that
// another program holds) go through runAndWait, so a window never freezes
// and never runs a thread of its own.

#include <QString>
#include <functional>

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
// a local loop and shows the wait cursor. The key-file fault that work
// recorded is handed over to the calling thread, as if work had run there.
// While work waits for a file another program holds for longer than
// kLockNoteDelayMs, a small note over owner (non-modal, no input taken) says
// so, until the wait ends.
void runAndWait(QWidget* owner, const std::function<void()>& work);

// The note's object name, for tests and assistive tools that look for it.
inline const QString lockNoteName() {
    return QStringLiteral("lockWaitNote");
}

}  // namespace Talvek
