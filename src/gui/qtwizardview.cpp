#include "gui/qtwizardview.h"

#include <QHBoxLayout>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QTimer>
#include <exception>

#include "gui/backgroundwork.h"

namespace Talvek {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

// --- WizardPageWidget ------------------------------------------------------

WizardPageWidget::WizardPageWidget(QWidget* parent) : QWizardPage(parent) {}

QSize WizardPageWidget::sizeHint() const {
    return QWizardPage::sizeHint().expandedTo(QSize(preferredWidth_, 0));
}

void WizardPageWidget::addControl(int id, QWidget* control) {
    control->setObjectName(QString::number(id));
    controls_[id] = control;
    auto* button = qobject_cast<QAbstractButton*>(control);
    if (!button) return;
    // An option or a box is followed by its state, not by clicks: an
    // assistive tool's "toggle" changes the state without any click, and a
    // click on the option already chosen changes nothing.
    if (button->isCheckable()) {
        connect(button, &QAbstractButton::toggled, this,
                [this, id, button](bool checked) { checkedChanged(id, button, checked); });
    } else {
        connect(button, &QAbstractButton::clicked, this, [this, id] { emit controlClicked(id); });
    }
}

void WizardPageWidget::checkedChanged(int id, QAbstractButton* button, bool checked) {
    if (quiet_) return;
    // Choosing one option clears the one chosen before; only the choice counts.
    if (!checked && qobject_cast<QRadioButton*>(button)) return;
    emit controlClicked(id);
}

QWidget* WizardPageWidget::control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void WizardPageWidget::nameAfterLabel(int controlId, int labelId) {
    namedAfter_.emplace(labelId, controlId);
    if (auto* label = qobject_cast<QLabel*>(control(labelId))) {
        if (QWidget* named = control(controlId)) named->setAccessibleName(label->text());
    }
}

void WizardPageWidget::setControlText(int id, const QString& text) {
    QWidget* target = control(id);
    if (auto* label = qobject_cast<QLabel*>(target)) {
        label->setText(text);
        const auto [from, to] = namedAfter_.equal_range(id);
        for (auto it = from; it != to; ++it) {
            if (QWidget* named = control(it->second)) named->setAccessibleName(text);
        }
    } else if (auto* edit = qobject_cast<QLineEdit*>(target)) {
        edit->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(target)) {
        button->setText(text);
        button->updateGeometry();
    }
}

void WizardPageWidget::setCheckedQuietly(int id, bool checked) {
    auto* button = qobject_cast<QAbstractButton*>(control(id));
    if (!button) return;
    // The options of a group share the page, so one flag covers the option
    // that the group clears as well.
    const bool wasQuiet = quiet_;
    quiet_ = true;
    button->setChecked(checked);
    quiet_ = wasQuiet;
}

void WizardPageWidget::setNextEnabled(bool enabled) {
    if (nextEnabled_ == enabled) return;
    nextEnabled_ = enabled;
    emit completeChanged();
}

// --- page frame ------------------------------------------------------------

QVBoxLayout* pictureColumns(WizardPageWidget* page, const char* name, const QPixmap& picture,
                            int preferredWidth) {
    page->setObjectName(QString::fromLatin1(name));
    auto* root = new QHBoxLayout(page);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(12);

    auto* frame = new QLabel(page);
    frame->setObjectName(QStringLiteral("picture"));
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    frame->setLineWidth(1);
    frame->setPixmap(picture);
    frame->setAlignment(Qt::AlignCenter);
    frame->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // Decoration: without a name a screen reader passes it by.
    root->addWidget(frame, 0, Qt::AlignTop);
    page->setPreferredWidth(preferredWidth);

    auto* column = new QVBoxLayout;
    column->setSpacing(6);
    root->addLayout(column, 1);
    return column;
}

QLabel* pageHeading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QStringLiteral("heading"));
    label->setWordWrap(true);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

// --- WrappingRadioButton ---------------------------------------------------

WrappingRadioButton::WrappingRadioButton(const QString& text, QWidget* parent)
    : QRadioButton(text, parent) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

int WrappingRadioButton::indicatorSpace() const {
    return style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, this) +
           style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, this);
}

QRect WrappingRadioButton::textRect(int width) const {
    const int left = indicatorSpace();
    const QRect available(left, 1, qMax(1, width - left - 2), 10000);
    QRect bounds = fontMetrics().boundingRect(available, Qt::AlignLeft | Qt::TextWordWrap, text());
    bounds.moveTopLeft(available.topLeft());
    return bounds;
}

int WrappingRadioButton::heightForWidth(int width) const {
    const int indicator = style()->pixelMetric(QStyle::PM_ExclusiveIndicatorHeight, nullptr, this);
    return qMax(indicator, textRect(width).height() + 2);
}

QSize WrappingRadioButton::sizeHint() const {
    const int width = indicatorSpace() + qMin(fontMetrics().horizontalAdvance(text()), 380) + 4;
    return {width, heightForWidth(width)};
}

QSize WrappingRadioButton::minimumSizeHint() const {
    // Wide enough that a few lines hold the text: a narrow minimum would make
    // the wizard reserve the height of a tall, thin column.
    const int width = indicatorSpace() + qMin(fontMetrics().horizontalAdvance(text()),
                                              fontMetrics().averageCharWidth() * 45);
    return {width, heightForWidth(width)};
}

void WrappingRadioButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    option.state &= ~QStyle::State_HasFocus;  // the focus frame goes round the text below
    painter.drawControl(QStyle::CE_RadioButton, option);

    const QRect area = textRect(width());
    painter.drawItemText(area, Qt::AlignLeft | Qt::TextWordWrap, palette(), isEnabled(), text(),
                         QPalette::WindowText);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = area.adjusted(-1, 0, 1, 0);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

bool WrappingRadioButton::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

// --- QtWizardView ----------------------------------------------------------

QtWizardView::QtWizardView(FileDialogRunner& files, QWidget* parent)
    : QWizard(parent), files_(files) {
    setWizardStyle(QWizard::ClassicStyle);
    // Pages keep their state when the user goes Back; shown/left come from
    // currentIdChanged, not from initializePage/cleanupPage.
    setOption(QWizard::IndependentPages, true);
    setOption(QWizard::NoBackButtonOnStartPage, false);
    setOption(QWizard::HaveHelpButton, false);
    setButtonText(QWizard::BackButton, QStringLiteral("< Назад"));
    setButtonText(QWizard::NextButton, QStringLiteral("Далее >"));
    setButtonText(QWizard::FinishButton, QStringLiteral("Готово"));
    setButtonText(QWizard::CancelButton, QStringLiteral("Отмена"));
    connect(this, &QWizard::currentIdChanged, this, &QtWizardView::currentChanged);
}

QtWizardView::~QtWizardView() = default;

int QtWizardView::addWizardPage(WizardPageWidget* page, const QString& caption) {
    const int index = static_cast<int>(pages_.size());
    pages_.push_back(page);
    captions_.push_back(caption);
    created_.push_back(false);
    setPage(index, page);
    connect(page, &WizardPageWidget::controlClicked, this,
            [this, index](int id) { controlClicked(index, id); });
    return index;
}

WizardPageWidget* QtWizardView::wizardPage(int index) const {
    return index >= 0 && index < static_cast<int>(pages_.size()) ? pages_[index] : nullptr;
}

void QtWizardView::currentChanged(int id) {
    // -1 comes when a cancelled wizard resets itself: the controller is not asked.
    if (id < 0 || id >= static_cast<int>(pages_.size())) return;
    const int previous = shown_;
    shown_ = id;
    if (!events_) return;
    if (previous >= 0 && previous != id) events_->pageLeft(previous);
    if (!created_[id]) {
        created_[id] = true;
        events_->pageCreated(id);
    }
    setWindowTitle(captions_[id]);
    events_->pageShown(id);
    applyBackButton();
    ensureFocus();
}

// QWizard gives the focus to the new page before the controller has set its
// controls; when that control has since been disabled (the key names page of
// an import), Qt passes the focus on to the next button in the chain, "< Назад",
// and Enter would go back instead of forward. The focus belongs to the page's
// first usable control, else to Next or Finish.
void QtWizardView::ensureFocus() {
    const auto usable = [this](QWidget* w) {
        return w && w->isEnabled() && w->isVisibleTo(this) && (w->focusPolicy() & Qt::TabFocus);
    };
    WizardPageWidget* page = wizardPage(shown_);
    QWidget* target = focusWidget();
    if (!page || !usable(target) || !page->isAncestorOf(target)) {
        target = nullptr;
        if (page) {
            for (QWidget* w : page->findChildren<QWidget*>()) {
                if (usable(w)) {
                    target = w;
                    break;
                }
            }
        }
    }
    // As in a dialog of option buttons, the focus sits on the chosen option,
    // so that the arrow keys move the choice from there.
    if (auto* radio = qobject_cast<QRadioButton*>(target); radio && !radio->isChecked()) {
        if (QButtonGroup* group = radio->group()) {
            // Not usable(): Qt keeps the Tab stop only on the group's focused button.
            QAbstractButton* checked = group->checkedButton();
            if (checked && checked->isEnabled() && checked->isVisibleTo(this)) target = checked;
        }
    }
    if (!target) {
        for (QWizard::WizardButton which : {QWizard::NextButton, QWizard::FinishButton}) {
            QAbstractButton* b = button(which);
            if (b && b->isEnabled() && b->isVisibleTo(this)) {
                target = b;
                break;
            }
        }
    }
    if (!target) return;
    target->setFocus(Qt::TabFocusReason);
    // Typing replaces what an edit shows, as when it is reached with Tab.
    if (auto* edit = qobject_cast<QLineEdit*>(target)) edit->selectAll();
}

void QtWizardView::controlClicked(int page, int id) {
    if (events_) events_->clicked(page, id);
}

bool QtWizardView::validateCurrentPage() {
    if (!events_ || shown_ < 0) return true;
    if (finishing_) {
        if (!events_->finishPressed(shown_)) return false;
        events_->pageLeft(shown_);
        return true;
    }
    return events_->nextPressed(shown_);
}

void QtWizardView::setVisible(bool visible) {
    QWizard::setVisible(visible);
    if (visible && !sized_) {
        // QWizard sizes its window before it has laid out the first page;
        // once shown, its hint is right: keep at least that where the screen
        // has room for it, and at least what the layout needs anyway.
        sized_ = true;
        QSize hint = sizeHint();
        if (const QScreen* shownOn = screen()) {
            const QSize frame = frameGeometry().size() - size();
            hint = hint.boundedTo(shownOn->availableGeometry().size() - frame);
        }
        hint = hint.expandedTo(minimumSizeHint());
        setMinimumWidth(qMax(minimumWidth(), hint.width()));
        resize(hint);
        int deficit = 0;
        for (WizardPageWidget* page : pages_) {
            deficit = qMax(deficit, page->minimumSizeHint().height() - page->height());
        }
        if (deficit > 0) resize(width(), height() + deficit);
        adjustPosition(parentWidget());
        ensureFocus();  // the first page was shown before its window was
    }
}

void QtWizardView::accept() {
    // Finish: QWizard::done asks validateCurrentPage, which then means Finish.
    finishing_ = true;
    QWizard::accept();
    finishing_ = false;
}

void QtWizardView::applyBackButton() {
    if (QAbstractButton* back = button(QWizard::BackButton)) back->setEnabled(backEnabled_);
}

QWidget* QtWizardView::find(int page, int id) const {
    WizardPageWidget* widget = wizardPage(page);
    return widget ? widget->control(id) : nullptr;
}

void QtWizardView::setText(int page, int id, const std::string& text) {
    if (WizardPageWidget* widget = wizardPage(page)) widget->setControlText(id, qs(text));
}

std::string QtWizardView::text(int page, int id) {
    QWidget* control = find(page, id);
    QString value;
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        value = edit->text();
    } else if (auto* label = qobject_cast<QLabel*>(control)) {
        value = label->text();
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        value = button->text();
    }
    return value.toStdString();
}

void QtWizardView::setVisible(int page, int id, bool visible) {
    if (QWidget* control = find(page, id)) control->setHidden(!visible);
}

void QtWizardView::setEnabled(int page, int id, bool enabled) {
    if (QWidget* control = find(page, id)) control->setEnabled(enabled);
}

void QtWizardView::setChecked(int page, int id, bool checked) {
    if (WizardPageWidget* widget = wizardPage(page)) widget->setCheckedQuietly(id, checked);
}

bool QtWizardView::isChecked(int page, int id) {
    auto* button = qobject_cast<QAbstractButton*>(find(page, id));
    return button && button->isChecked();
}

void QtWizardView::listAdd(int page, int id, const std::string& entry) {
    if (auto* list = qobject_cast<QComboBox*>(find(page, id))) list->addItem(qs(entry));
}

void QtWizardView::listRemove(int page, int id, int index) {
    if (auto* list = qobject_cast<QComboBox*>(find(page, id))) list->removeItem(index);
}

int QtWizardView::listCount(int page, int id) {
    auto* list = qobject_cast<QComboBox*>(find(page, id));
    return list ? list->count() : 0;
}

void QtWizardView::listSelect(int page, int id, int index) {
    if (auto* list = qobject_cast<QComboBox*>(find(page, id))) list->setCurrentIndex(index);
}

int QtWizardView::listSelection(int page, int id) {
    auto* list = qobject_cast<QComboBox*>(find(page, id));
    return list ? list->currentIndex() : -1;
}

std::string QtWizardView::listEntryText(int page, int id, int index) {
    auto* list = qobject_cast<QComboBox*>(find(page, id));
    if (!list || index < 0 || index >= list->count()) return {};
    return list->itemText(index).toStdString();
}

void QtWizardView::setButtons(unsigned buttons) {
    backEnabled_ = (buttons & WizardBack) != 0;
    // QWizard shows Finish in Next's place on the last page and enables
    // either through the page's isComplete().
    if (WizardPageWidget* page = wizardPage(shown_)) {
        page->setNextEnabled((buttons & (WizardNext | WizardFinish)) != 0);
    }
    // completeChanged made QWizard recompute Back; put the page's choice back.
    applyBackButton();
}

bool QtWizardView::showMessageBox(const MessageBoxRequest& request) {
    QWidget* owner = wizardPage(shown_);
    return showMessage(owner ? owner : this, request);
}

FileDialogRunner& QtWizardView::fileDialogs() {
    return files_;
}

void QtWizardView::beginBusy() {
    waitCursor_.begin();
}

void QtWizardView::endBusy() {
    waitCursor_.end();
}

bool QtWizardView::runInBackground(const std::function<void()>& work,
                                   const std::function<void()>& cancel) {
    // The page's controls and the buttons are switched off by hand and put
    // back as they were: nothing moves the wizard while work runs, so
    // QWizard's own state for them is still right afterwards.
    std::vector<QWidget*> controls = inputControls(wizardPage(shown_));
    for (QWizard::WizardButton which :
         {QWizard::BackButton, QWizard::NextButton, QWizard::CommitButton, QWizard::FinishButton}) {
        controls.push_back(button(which));
    }
    if (!cancel) controls.push_back(button(QWizard::CancelButton));
    return work_.run(this, controls, work, cancel);
}

void QtWizardView::reject() {
    if (work_.closeRequested()) return;
    QWizard::reject();
}

}  // namespace Talvek
