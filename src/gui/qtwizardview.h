#pragma once
// WizardView over QWizard. Maps the QWizard machinery onto the page events a
// WizardEvents controller answers, in the order it relies on:
//   Next:   nextPressed -> (advance) left(old) -> created(new, first time) -> shown(new)
//   Back:   left(old) -> shown(previous)
//   Finish: finishPressed -> (close) left(last)
//   Cancel: nothing is asked, the wizard closes.
// QWizard's own initializePage/cleanupPage and show events fire at other
// moments, so only currentIdChanged and validateCurrentPage are used.
//
// Controls are registered on their page under their numeric id, which also
// becomes their objectName (e.g. "1006"); ids are unique within a page only,
// so find a control as page->findChild<QWidget*>("1006"). Pages are numbered
// from 0 in the order they are added.

#include <QAbstractButton>
#include <QLabel>
#include <QPixmap>
#include <QRadioButton>
#include <QVBoxLayout>
#include <QWizard>
#include <QWizardPage>
#include <functional>
#include <map>
#include <vector>

#include "gui/backgroundwork.h"
#include "gui/messagebox.h"
#include "gui/wizardview.h"

namespace Talvek {

// One page: its controls by id, and whether Next (or Finish) is enabled.
class WizardPageWidget : public QWizardPage {
    Q_OBJECT
public:
    explicit WizardPageWidget(QWidget* parent = nullptr);

    // Registers a control; its objectName becomes the id in decimal.
    void addControl(int id, QWidget* control);
    QWidget* control(int id) const;

    // The control is announced by the text of the label, whatever the label
    // is later set to show: a button that draws only "..." then says which
    // file it chooses.
    void nameAfterLabel(int controlId, int labelId);
    // Sets a label's, edit's or button's text, and the names that follow it.
    void setControlText(int id, const QString& text);
    // Checks or clears a radio button or check box without reporting it:
    // a state the controller sets is not a choice of the user.
    void setCheckedQuietly(int id, bool checked);

    bool isComplete() const override { return nextEnabled_; }
    void setNextEnabled(bool enabled);

    // The width the page asks for where there is room: its column then
    // reads well. Where there is not (a small screen at a large scale) the
    // page takes what its layout needs and no more.
    void setPreferredWidth(int width) { preferredWidth_ = width; }
    QSize sizeHint() const override;

signals:
    // A registered push button was pressed, or a radio button was chosen or
    // a check box changed, by any means: mouse, keyboard, an assistive
    // tool's action or code; never by setCheckedQuietly.
    void controlClicked(int id);

private:
    void checkedChanged(int id, QAbstractButton* button, bool checked);

    std::map<int, QWidget*> controls_;
    std::multimap<int, int> namedAfter_;  // label id -> control ids
    bool quiet_ = false;
    bool nextEnabled_ = true;
    int preferredWidth_ = 0;
};

// A radio button whose text wraps over several lines at the width it gets.
class WrappingRadioButton : public QRadioButton {
    Q_OBJECT
public:
    explicit WrappingRadioButton(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    int indicatorSpace() const;
    QRect textRect(int width) const;
};

// The frame of every page of the program's wizards: the wizard's picture in a
// sunken frame on the left, the controls' column on the right (returned).
QVBoxLayout* pictureColumns(WizardPageWidget* page, const char* name, const QPixmap& picture,
                            int preferredWidth);
// A page's bold heading at the top of its column.
QLabel* pageHeading(const QString& text, QWidget* parent);

class QtWizardView : public QWizard, public WizardView {
    Q_OBJECT
public:
    QtWizardView(FileDialogRunner& files, QWidget* parent = nullptr);
    ~QtWizardView() override;

    // The controller that receives the events; set before the wizard is shown.
    void setEvents(WizardEvents* events) { events_ = events; }
    // Adds the next page; caption is the window title while it is current.
    int addWizardPage(WizardPageWidget* page, const QString& caption);
    WizardPageWidget* wizardPage(int index) const;
    // The page number of the current page, -1 before the wizard is shown.
    int currentPageIndex() const { return shown_; }

    // WizardView
    void setText(int page, int id, const std::string& text) override;
    std::string text(int page, int id) override;
    void setVisible(int page, int id, bool visible) override;
    void setEnabled(int page, int id, bool enabled) override;
    void setChecked(int page, int id, bool checked) override;
    bool isChecked(int page, int id) override;
    void listAdd(int page, int id, const std::string& entry) override;
    void listRemove(int page, int id, int index) override;
    int listCount(int page, int id) override;
    void listSelect(int page, int id, int index) override;
    int listSelection(int page, int id) override;
    std::string listEntryText(int page, int id, int index) override;
    void setButtons(unsigned buttons) override;
    bool runInBackground(const std::function<void()>& work,
                         const std::function<void()>& cancel = {}) override;
    // True while work of runInBackground runs.
    bool busy() const { return work_.busy(); }

    // DialogView
    bool showMessageBox(const MessageBoxRequest& request) override;
    FileDialogRunner& fileDialogs() override;
    void beginBusy() override;
    void endBusy() override;

    using DialogView::messageBox;
    using QWizard::setEnabled;
    using QWizard::setVisible;

    // The first showing starts the wizard and sizes it to its pages.
    void setVisible(bool visible) override;

public slots:
    void accept() override;
    // While work runs in the background, Cancel only asks it to stop (when
    // it can) and the wizard closes once it has.
    void reject() override;

protected:
    bool validateCurrentPage() override;

private:
    void currentChanged(int id);
    void controlClicked(int page, int id);
    void applyBackButton();
    void ensureFocus();
    QWidget* find(int page, int id) const;

    FileDialogRunner& files_;
    WizardEvents* events_ = nullptr;
    std::vector<WizardPageWidget*> pages_;
    std::vector<QString> captions_;
    std::vector<bool> created_;
    int shown_ = -1;
    bool finishing_ = false;
    bool backEnabled_ = false;
    WaitCursorDepth waitCursor_;
    bool sized_ = false;
    // Closed from the event loop once stopped work has ended; work that
    // ended in success all the same has closed the wizard already and keeps
    // its result.
    BusyWork work_{[this] {
        if (isVisible()) QWizard::reject();
    }};
};

}  // namespace Talvek
