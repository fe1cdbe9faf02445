#pragma once
// Watches a wizard window while it runs work in the background: a timer on
// the window's thread asks for a repaint on every tick and counts, while the
// work runs, how many ticks and paint events the window got, whether the wait
// cursor was on and which wizard buttons took input. A window whose thread is
// blocked gets neither ticks nor paints.

#include <QAbstractButton>
#include <QEvent>
#include <QGuiApplication>
#include <QTimer>

#include <chrono>
#include <functional>
#include <set>

#include "gui/qtwizardview.h"

namespace TestSupport {

class BusyWatch : public QObject {
public:
    explicit BusyWatch(Talvek::QtWizardView& wizard, int intervalMs = 15) : wizard_(wizard) {
        wizard_.installEventFilter(this);
        timer_.setInterval(intervalMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
        timer_.start();
    }
    ~BusyWatch() override { wizard_.removeEventFilter(this); }

    // Runs once, on the first tick that finds the work running.
    std::function<void()> onBusy;

    int busyTicks = 0;
    int busyPaints = 0;
    bool cursorAlwaysWaiting = true;
    // The wizard buttons seen enabled on any busy tick.
    std::set<QWizard::WizardButton> enabledButtons;
    std::chrono::steady_clock::time_point firstBusy, lastBusy;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &wizard_ && event->type() == QEvent::Paint && wizard_.busy()) ++busyPaints;
        return false;
    }

private:
    void tick() {
        if (!wizard_.busy()) return;
        const auto now = std::chrono::steady_clock::now();
        if (busyTicks++ == 0) firstBusy = now;
        lastBusy = now;
        const QCursor* cursor = QGuiApplication::overrideCursor();
        if (!cursor || cursor->shape() != Qt::WaitCursor) cursorAlwaysWaiting = false;
        for (QWizard::WizardButton which : {QWizard::BackButton, QWizard::NextButton,
                                            QWizard::FinishButton, QWizard::CancelButton}) {
            QAbstractButton* b = wizard_.button(which);
            if (b && b->isVisible() && b->isEnabled()) enabledButtons.insert(which);
        }
        wizard_.update();
        if (onBusy) {
            auto action = std::move(onBusy);
            onBusy = nullptr;
            action();
        }
    }

    Talvek::QtWizardView& wizard_;
    QTimer timer_;
};

}  // namespace TestSupport
