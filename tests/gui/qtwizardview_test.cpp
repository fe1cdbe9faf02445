// The wizard view's controls, offscreen: every change of an option or a box
// reaches the controller exactly once, whichever way it was made, and the
// states the controller sets itself never come back to it.

#include "gui/qtwizardview.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QVBoxLayout>

#include <functional>
#include <vector>

#include "support/accessibletree.h"
#include "support/scriptedwizardview.h"

using namespace Talvek;

namespace {

enum : int { OptionA = 1, OptionB = 2, Box = 3, Browse = 4, RowLabel = 5 };

// Records the clicks; a reaction may set states through the view, as the
// controllers do.
class Recorder : public WizardEvents {
public:
    void pageCreated(int) override {}
    void pageShown(int) override {}
    void pageLeft(int) override {}
    bool nextPressed(int) override { return true; }
    bool finishPressed(int) override { return true; }
    void clicked(int page, int id) override {
        EXPECT_EQ(page, 0);
        ids.push_back(id);
        if (react) react(id);
    }
    std::vector<int> ids;
    std::function<void(int)> react;
};

class QtWizardViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto* page = new WizardPageWidget;
        a = new QRadioButton(QStringLiteral("Первый"), page);
        b = new QRadioButton(QStringLiteral("Второй"), page);
        box = new QCheckBox(QStringLiteral("Флажок"), page);
        label = new QLabel(QStringLiteral("Имя файла"), page);
        browse = new QPushButton(QStringLiteral("..."), page);
        auto* group = new QButtonGroup(page);
        group->addButton(a);
        group->addButton(b);
        auto* layout = new QVBoxLayout(page);
        for (QWidget* w : std::initializer_list<QWidget*>{a, b, box, label, browse})
            layout->addWidget(w);
        page->addControl(OptionA, a);
        page->addControl(OptionB, b);
        page->addControl(Box, box);
        page->addControl(RowLabel, label);
        page->addControl(Browse, browse);
        page->nameAfterLabel(Browse, RowLabel);
        view.addWizardPage(page, QStringLiteral("Страница"));
        view.setEvents(&events);
        view.setChecked(0, OptionA, true);
        view.show();
        view.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
        events.ids.clear();
    }
    void TearDown() override { view.setEvents(nullptr); }

    // The ids delivered by one action, cleared for the next.
    std::vector<int> take() {
        QApplication::processEvents();
        std::vector<int> out;
        out.swap(events.ids);
        return out;
    }

    TestSupport::ScriptedFileDialogs files;
    QtWizardView view{files};
    Recorder events;
    QRadioButton* a = nullptr;
    QRadioButton* b = nullptr;
    QCheckBox* box = nullptr;
    QLabel* label = nullptr;
    QPushButton* browse = nullptr;
};

using Ids = std::vector<int>;

// A point on the indicator: a button laid out across the page's width answers
// only to clicks on its indicator and text, not on the empty rest of its row.
QPoint inside(QWidget* w) {
    return QPoint(6, w->height() / 2);
}

TEST_F(QtWizardViewTest, EveryWayOfChangingAStateIsDeliveredOnce) {
    const QString toggle = QAccessibleActionInterface::toggleAction();
    const struct {
        const char* how;
        std::function<void()> act;
        Ids expected;
    } steps[] = {
        {"mouse on the other option",
         [&] { QTest::mouseClick(b, Qt::LeftButton, {}, inside(b)); },
         {OptionB}},
        {"mouse on the chosen option",
         [&] { QTest::mouseClick(b, Qt::LeftButton, {}, inside(b)); },
         {}},
        {"arrow key to the next option",
         [&] {
             b->setFocus();
             QTest::keyClick(b, Qt::Key_Up);
         },
         {OptionA}},
        {"space on the box", [&] { QTest::keyClick(box, Qt::Key_Space); }, {Box}},
        {"mouse on the box",
         [&] { QTest::mouseClick(box, Qt::LeftButton, {}, inside(box)); },
         {Box}},
        {"assistive toggle of an option",
         [&] { ASSERT_TRUE(TestSupport::doAccessibleAction(b, toggle)); },
         {OptionB}},
        {"assistive toggle of the chosen option (stays chosen)",
         [&] { ASSERT_TRUE(TestSupport::doAccessibleAction(b, toggle)); },
         {}},
        {"assistive toggle of the box",
         [&] { ASSERT_TRUE(TestSupport::doAccessibleAction(box, toggle)); },
         {Box}},
        {"code outside the controller", [&] { a->setChecked(true); }, {OptionA}},
        {"code toggling the box", [&] { box->toggle(); }, {Box}},
        {"the controller's own states",
         [&] {
             view.setChecked(0, OptionB, true);
             view.setChecked(0, Box, !box->isChecked());
         },
         {}},
        {"a push button pressed", [&] { QTest::mouseClick(browse, Qt::LeftButton); }, {Browse}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.how);
        const bool boxBefore = box->isChecked();
        step.act();
        EXPECT_EQ(take(), step.expected);
        // A delivered change is seen with its new state already set.
        if (step.expected == Ids{Box}) {
            EXPECT_NE(box->isChecked(), boxBefore);
        }
    }
    EXPECT_TRUE(b->isChecked());

    // The assistive "press" of a push button clicks it a moment later.
    ASSERT_TRUE(TestSupport::doAccessibleAction(browse, QAccessibleActionInterface::pressAction()));
    QTRY_COMPARE_WITH_TIMEOUT(events.ids.size(), size_t(1), 5000);
    EXPECT_EQ(take(), Ids{Browse});
}

TEST_F(QtWizardViewTest, StatesSetInAReactionDoNotEcho) {
    // As the parameters page does: the box switches an option.
    events.react = [&](int id) {
        if (id == Box) view.setChecked(0, box->isChecked() ? OptionB : OptionA, true);
    };
    ASSERT_TRUE(TestSupport::doAccessibleAction(box, QAccessibleActionInterface::toggleAction()));
    EXPECT_EQ(take(), Ids{Box});
    EXPECT_TRUE(b->isChecked());
    QTest::mouseClick(box, Qt::LeftButton, {}, inside(box));
    EXPECT_EQ(take(), Ids{Box});
    EXPECT_TRUE(a->isChecked());
}

TEST_F(QtWizardViewTest, ButtonNamedAfterItsLabelFollowsTheLabelsText) {
    auto nameOf = [](QWidget* w) {
        return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
    };
    EXPECT_EQ(nameOf(browse), QStringLiteral("Имя файла"));
    view.setText(0, RowLabel, "Имя серверной базы ключей");
    EXPECT_EQ(label->text(), QStringLiteral("Имя серверной базы ключей"));
    EXPECT_EQ(nameOf(browse), QStringLiteral("Имя серверной базы ключей"));
    EXPECT_EQ(browse->text(), QStringLiteral("..."));
}

}  // namespace
