#pragma once
// Drives the modal dialogs of a real-widget test: a timer looks at the active
// modal widget and lets the next scripted step act on it (answer a message
// box, fill a file dialog, press a button). Boxes no step is waiting for may
// be answered by a standing rule. A watchdog fails the test and closes every
// modal widget when a step or a modal widget still waits after a time limit,
// so a stuck dialog fails the test instead of hanging the run.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

// What a message box showed, read while it was open.
struct SeenBox {
    QString title;
    QString text;  // as its label shows it
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    Qt::TextFormat format = Qt::AutoText;
    int textHeight = 0;
    int lineHeight = 0;
    bool waitCursor = false;  // the wait cursor was on while the box was up
    QString informative;      // under the text: the file and the cause
    Qt::TextFormat informativeFormat = Qt::AutoText;
    QString defaultButton;  // the one Enter presses
};

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

    // Acts on whatever modal widget comes up next, of any kind.
    ModalScript& onNext(std::function<void(QWidget*)> action) {
        return then([action](QWidget* modal) {
            action(modal);
            return true;
        });
    }

    // Records the message box and presses the button with this text; a box
    // without it fails the test and gets its first button.
    ModalScript& answer(const QString& buttonText) {
        return then([this, buttonText](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return false;
            press(*box, buttonText);
            return true;
        });
    }

    // Records the message box and presses this key on it.
    ModalScript& pressKey(Qt::Key key) {
        return then([this, key](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return false;
            record(*box);
            QTest::keyClick(box, key);
            return true;
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

    // Once the steps are played, every further message box is recorded and
    // answered with this button (its first button when empty).
    ModalScript& answerTheRest(const QString& buttonText = QString()) {
        rest_ = buttonText;
        return *this;
    }

    bool finished() const { return steps_.empty(); }
    bool timedOut() const { return timedOut_; }

    std::vector<std::string> messages() const {
        std::vector<std::string> texts;
        for (const SeenBox& box : seen) texts.push_back(box.text.toStdString());
        return texts;
    }
    std::vector<std::string> titles() const {
        std::vector<std::string> texts;
        for (const SeenBox& box : seen) texts.push_back(box.title.toStdString());
        return texts;
    }

    std::vector<SeenBox> seen;
    std::vector<std::string> fileDialogs;  // the filters each file dialog offered

private:
    void record(QMessageBox& box) {
        SeenBox s;
        s.title = box.windowTitle();
        s.text = box.text();
        s.icon = box.icon();
        s.format = box.textFormat();
        if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
            s.text = label->text();
            s.format = label->textFormat();
            s.textHeight = label->height();
            s.lineHeight = label->fontMetrics().lineSpacing();
        }
        for (QAbstractButton* b : box.buttons()) s.buttons << b->text();
        s.informative = box.informativeText();
        if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
            s.informativeFormat = label->textFormat();
        if (QPushButton* d = box.defaultButton()) s.defaultButton = d->text();
        s.waitCursor = QGuiApplication::overrideCursor() != nullptr;
        seen.push_back(std::move(s));
    }

    void press(QMessageBox& box, const QString& buttonText) {
        record(box);
        const QList<QAbstractButton*> buttons = box.buttons();
        if (buttons.isEmpty()) {
            ADD_FAILURE() << "a message box without buttons";
            box.close();
            return;
        }
        QAbstractButton* target = buttonText.isEmpty() ? buttons.first() : nullptr;
        for (QAbstractButton* b : buttons)
            if (!target && b->text() == buttonText) target = b;
        if (!target) {
            ADD_FAILURE() << "no button " << buttonText.toStdString();
            target = buttons.first();
        }
        target->click();
    }

    void tick() {
        if (pending_) return;
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        if (steps_.empty() && !(rest_ && qobject_cast<QMessageBox*>(modal))) return;
        // The step runs from the event loop, not inside this timer's slot: a
        // timer does not fire again while its own slot runs, and the step may
        // open a nested modal loop that the following steps must reach.
        pending_ = true;
        QTimer::singleShot(0, qApp, [this, alive = alive_, target = QPointer<QWidget>(modal)] {
            if (!*alive) return;
            pending_ = false;
            QWidget* modal = target.data();
            if (!modal || !modal->isVisible()) return;
            if (steps_.empty()) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                if (rest_ && box) press(*box, *rest_);
                return;
            }
            Step step = steps_.front();
            steps_.pop_front();
            if (!step(modal)) steps_.push_front(std::move(step));
        });
    }

    void giveUp() {
        if (steps_.empty() && !QApplication::activeModalWidget()) {
            // Nothing is stuck: keep watching for a box that comes later.
            watchdog_.start();
            return;
        }
        timedOut_ = true;
        steps_.clear();
        rest_.reset();
        ADD_FAILURE() << "the modal script ran past its time limit";
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
    std::optional<QString> rest_;
    bool timedOut_ = false;
    bool pending_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace TestSupport
