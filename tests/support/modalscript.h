#pragma once
// Drives the modal dialogs of a real-widget test: a timer looks at the active
// modal widget and lets the next scripted step act on it (answer a message
// box, fill a file dialog, press a button). A watchdog closes every modal
// widget after a time limit, so a stuck dialog fails the test instead of
// hanging the run.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace TestSupport {

class ModalScript {
public:
    // Returns true when it acted on the modal widget; false to wait for the next tick.
    using Step = std::function<bool(QWidget* modal)>;

    explicit ModalScript(int limitMs = 20000) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
        watchdog_.setSingleShot(true);
        watchdog_.setInterval(limitMs);
        QObject::connect(&watchdog_, &QTimer::timeout, [this] { giveUp(); });
        timer_.start();
        watchdog_.start();
    }

    ~ModalScript() { *alive_ = false; }
    ModalScript(const ModalScript&) = delete;
    ModalScript& operator=(const ModalScript&) = delete;

    ModalScript& then(Step step) {
        steps_.push_back(std::move(step));
        return *this;
    }

    // Records the message box's text and presses the button with this text.
    ModalScript& answer(const QString& buttonText) {
        return then([this, buttonText](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return false;
            messages.push_back(box->text().toStdString());
            titles.push_back(box->windowTitle().toStdString());
            for (QAbstractButton* b : box->buttons()) {
                if (b->text() == buttonText) {
                    b->click();
                    return true;
                }
            }
            return false;
        });
    }

    // Types the path into the file dialog and accepts it; an empty path cancels.
    ModalScript& chooseFile(const QString& path) {
        return then([this, path](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) return false;
            fileDialogs.push_back(dialog->nameFilters().join(QStringLiteral("|")).toStdString());
            if (path.isEmpty()) {
                dialog->reject();
                return true;
            }
            dialog->selectFile(path);
            if (auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                edit->setText(path);
            QMetaObject::invokeMethod(dialog, "accept");
            return true;
        });
    }

    // Acts on a dialog of this object name (any QDialog when empty).
    ModalScript& onDialog(const QString& objectName, std::function<void(QDialog*)> action) {
        return then([objectName, action](QWidget* modal) {
            auto* dialog = qobject_cast<QDialog*>(modal);
            if (!dialog || qobject_cast<QMessageBox*>(modal) || qobject_cast<QFileDialog*>(modal))
                return false;
            if (!objectName.isEmpty() && dialog->objectName() != objectName) return false;
            action(dialog);
            return true;
        });
    }

    bool finished() const { return steps_.empty(); }
    bool timedOut() const { return timedOut_; }

    std::vector<std::string> messages;
    std::vector<std::string> titles;
    std::vector<std::string> fileDialogs;

private:
    void tick() {
        if (steps_.empty()) return;
        if (pending_) return;
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        // The step runs from the event loop, not inside this timer's slot: a
        // timer does not fire again while its own slot runs, and the step may
        // open a nested modal loop that the following steps must reach.
        pending_ = true;
        QTimer::singleShot(0, qApp, [this, alive = alive_, target = QPointer<QWidget>(modal)] {
            if (!*alive) return;
            pending_ = false;
            QWidget* modal = target.data();
            if (steps_.empty() || !modal || !modal->isVisible()) return;
            Step step = steps_.front();
            steps_.pop_front();
            if (!step(modal)) steps_.push_front(std::move(step));
        });
    }

    void giveUp() {
        timedOut_ = true;
        steps_.clear();
        for (int i = 0; i < 10; ++i) {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) break;
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->done(-1);
            else
                modal->close();
        }
    }

    QTimer timer_;
    QTimer watchdog_;
    std::deque<Step> steps_;
    bool timedOut_ = false;
    bool pending_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace TestSupport
