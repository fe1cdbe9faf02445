// The real maintenance window, offscreen: its tree, buttons and how it ends.

#include "maintenance/qtutilsdlg.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QEventLoop>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QMenu>
#include <QPainter>
#include <QTimer>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <functional>

#include "gui/settingsstore.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/accessibletree.h"
#include "support/memorysettingsstore.h"
#include "support/modalscript.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

namespace {

using namespace Talvek;
using TestSupport::completeChannel;
using TestSupport::ModalScript;
using TestSupport::ownKeysChannel;

QStringList childTexts(QTreeWidgetItem* item) {
    QStringList out;
    for (int i = 0; i < item->childCount(); ++i) out << item->child(i)->text(0);
    return out;
}

// The buttons keep the object names of the controls' old ids.
QPushButton* button(QWidget& dialog, UtilsCommand command) {
    const char* name = command == UtilsCommand::Delete   ? "1015"
                       : command == UtilsCommand::Export ? "1016"
                       : command == UtilsCommand::Java   ? "1018"
                                                         : "1";
    return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
}

class UtilsDlgQtTest : public ::testing::Test {
protected:
    void SetUp() override {
        basePath = dir.file("server.key_base");
        KeyBase base;
        ASSERT_TRUE(base.addChannel(completeChannel("server", "anna", true, true, 512, 0)));
        ASSERT_TRUE(base.addChannel(ownKeysChannel("server", "boris", false, true, 512, 1)));
        ASSERT_TRUE(base.saveBase(basePath));
    }

    TestSupport::TempDir dir;
    std::string basePath;
    TestSupport::MemorySettingsStore settings;
};

TEST_F(UtilsDlgQtTest, BaseTreeShowsChannelsWithTheRootExpanded) {
    QtUtilsDlg dlg(basePath, settings);
    ASSERT_TRUE(dlg.load());
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Обслуживание ключей"));
    EXPECT_EQ(dlg.findChild<QLabel*>(QStringLiteral("1017"))->text(),
              QStringLiteral("База полных и приватных ключей.\n2 секретных каналов."));
    QTreeWidget* tree = dlg.tree();
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* root = tree->topLevelItem(0);
    EXPECT_EQ(root->text(0), QString::fromStdString(basePath));
    EXPECT_TRUE(root->isExpanded());
    EXPECT_EQ(childTexts(root), (QStringList{"server : anna", "server : boris"}));
    QTreeWidgetItem* anna = root->child(0);
    EXPECT_FALSE(anna->isExpanded());
    // A channel's rows are made as it is opened.
    EXPECT_EQ(anna->childCount(), 0);
    EXPECT_EQ(anna->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    anna->setExpanded(true);
    root->child(1)->setExpanded(true);
    EXPECT_EQ(childTexts(anna),
              (QStringList{"Имя локального ключа: server", "Имя удаленного ключа: anna",
                           "Кодирование", "Подпись"}));
    EXPECT_EQ(childTexts(root->child(1)->child(2)),
              (QStringList{"Размер ключа: 512", "Приватная часть ключа"}));
    // Every item carries an image, the empty one included, so texts line up.
    EXPECT_FALSE(root->icon(0).isNull());
    EXPECT_FALSE(anna->child(2)->child(0)->icon(0).isNull());
    // Complete and incomplete groups look different.
    const QImage complete = anna->child(3)->icon(0).pixmap(16, 15).toImage();
    const QImage incomplete = root->child(1)->child(2)->icon(0).pixmap(16, 15).toImage();
    EXPECT_NE(complete, incomplete);

    for (UtilsCommand id : {UtilsCommand::Delete, UtilsCommand::Export, UtilsCommand::Java})
        EXPECT_FALSE(button(dlg, id)->isEnabled());
    tree->setCurrentItem(anna);
    for (UtilsCommand id : {UtilsCommand::Delete, UtilsCommand::Export, UtilsCommand::Java})
        EXPECT_TRUE(button(dlg, id)->isEnabled());
    EXPECT_EQ(dlg.logic().selectedRemoteName(), "anna");
    tree->setCurrentItem(anna->child(2));
    for (UtilsCommand id : {UtilsCommand::Delete, UtilsCommand::Export, UtilsCommand::Java})
        EXPECT_FALSE(button(dlg, id)->isEnabled());
    EXPECT_TRUE(button(dlg, UtilsCommand::Close)->isDefault());
}

TEST_F(UtilsDlgQtTest, PublicPartFileShowsOneChannelOfPublicKeys) {
    const std::string okp = dir.file("openuser.okp");
    ASSERT_TRUE(writePublicPart(*ownKeysChannel("user", "server", true, true), okp));
    QtUtilsDlg dlg(okp, settings);
    ASSERT_TRUE(dlg.load());
    EXPECT_EQ(dlg.findChild<QLabel*>(QStringLiteral("1017"))->text(),
              QStringLiteral("База импорта/экспорта открытых ключей."));
    QTreeWidgetItem* root = dlg.tree()->topLevelItem(0);
    EXPECT_EQ(childTexts(root), QStringList{"user : server"});
    root->child(0)->setExpanded(true);
    EXPECT_EQ(childTexts(root->child(0)->child(2)),
              (QStringList{"Размер ключа: 512", "Открытая часть ключа"}));
    EXPECT_EQ(childTexts(root->child(0)->child(3)),
              (QStringList{"Размер ключа: 512", "Открытая часть ключа"}));
}

TEST_F(UtilsDlgQtTest, FileThatDoesNotLoadIsReportedAndTheDialogNeverShows) {
    const std::string junk = dir.file("junk.bin");
    TestSupport::writeText(junk, "no key here");
    QtUtilsDlg dlg(junk, settings);
    ModalScript script;
    script.answer(QStringLiteral("OK"));
    EXPECT_EQ(dlg.exec(), 0);
    EXPECT_FALSE(script.timedOut());
    EXPECT_EQ(script.messages(), (std::vector<std::string>{"Ошибка открытия базы ключей!"}));
    EXPECT_EQ(script.titles(), (std::vector<std::string>{"Ошибка"}));
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(UtilsDlgQtTest, ExitEscapeAndCloseBoxEndWithTwo) {
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        QtUtilsDlg dlg(basePath, settings);
        ModalScript script;
        script.onDialog(QStringLiteral("UtilsDlg"), [way](QDialog* d) {
            if (way == 0) {
                button(*d, UtilsCommand::Close)->click();
            } else if (way == 1) {
                QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(d, &escape);
            } else {
                d->close();
            }
        });
        EXPECT_EQ(dlg.exec(), 2);
        EXPECT_FALSE(script.timedOut());
    }
}

TEST_F(UtilsDlgQtTest, DeleteThroughTheWindowRebuildsTheTree) {
    QtUtilsDlg dlg(basePath, settings);
    ModalScript script;
    script
        .onDialog(QStringLiteral("UtilsDlg"),
                  [](QDialog* d) {
                      auto* tree = d->findChild<QTreeWidget*>(QStringLiteral("1014"));
                      tree->setCurrentItem(tree->topLevelItem(0)->child(0));
                      button(*d, UtilsCommand::Delete)->click();
                  })
        .answer(QStringLiteral("Да"))
        .answer(QStringLiteral("OK"))
        .onDialog(QStringLiteral("UtilsDlg"), [](QDialog* d) { d->reject(); });
    EXPECT_EQ(dlg.exec(), 2);
    EXPECT_FALSE(script.timedOut());
    EXPECT_EQ(script.messages(),
              (std::vector<std::string>{
                  "Вы уверены, что хотите удалить секретный канал \"server : anna\"?",
                  "Канал успешно удален!"}));
    EXPECT_EQ(childTexts(dlg.tree()->topLevelItem(0)), QStringList{"server : boris"});
    EXPECT_FALSE(button(dlg, UtilsCommand::Delete)->isEnabled());
}

// Worked only through the accessibility interface: the tree and each button
// say what they are, and each button's "press" does what a click does.
TEST_F(UtilsDlgQtTest, EveryButtonWorksThroughItsAccessibleAction) {
    QtUtilsDlg dlg(basePath, settings);
    ModalScript script;
    const QString press = QAccessibleActionInterface::pressAction();
    std::vector<std::string> unnamed;
    auto pressButton = [press](UtilsCommand id) {
        return [press, id](QDialog* d) {
            ASSERT_TRUE(TestSupport::doAccessibleAction(button(*d, id), press));
        };
    };
    script
        .onDialog(QStringLiteral("UtilsDlg"),
                  [&](QDialog* d) {
                      auto* tree = d->findChild<QTreeWidget*>(QStringLiteral("1014"));
                      tree->setCurrentItem(tree->topLevelItem(0)->child(0));
                      unnamed = TestSupport::unnamedControls(d);
                      pressButton(UtilsCommand::Delete)(d);
                  })
        .answer(QStringLiteral("Нет"))
        .onDialog(QStringLiteral("UtilsDlg"), pressButton(UtilsCommand::Export))
        .chooseFile(QString())
        .onDialog(QStringLiteral("UtilsDlg"), pressButton(UtilsCommand::Java))
        .answer(QStringLiteral("OK"))
        .onDialog(QStringLiteral("UtilsDlg"), pressButton(UtilsCommand::Close));
    EXPECT_EQ(dlg.exec(), 2);
    EXPECT_FALSE(script.timedOut());
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(unnamed, std::vector<std::string>{});
    ASSERT_EQ(script.messages().size(), 2u);
    EXPECT_EQ(script.messages()[0],
              "Вы уверены, что хотите удалить секретный канал \"server : anna\"?");
    EXPECT_EQ(script.messages()[1].rfind("Секретный канал содержит ключи кодирования.", 0), 0u);
    EXPECT_EQ(script.fileDialogs.size(), 1u);
    EXPECT_EQ(childTexts(dlg.tree()->topLevelItem(0)).size(), 2);
}

// Runs once the menu is up: hands it to act, which must close it. A menu
// that never comes up leaves menuSeen false.
void onMenu(std::function<void(QMenu*)> act) {
    QTimer::singleShot(50, [act] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) act(menu);
    });
}

QPoint centreOf(QTreeWidget* tree, QTreeWidgetItem* item) {
    return tree->visualItemRect(item).center();
}

TEST_F(UtilsDlgQtTest, ChannelMenuAndDeleteKeyAskWhatTheButtonAsks) {
    QtUtilsDlg dlg(basePath, settings);
    QStringList menuTexts;
    bool rootHadMenu = false;
    ModalScript script;
    script
        .onDialog(QStringLiteral("UtilsDlg"),
                  [&](QDialog*) {
                      QTreeWidget* tree = dlg.tree();
                      QTreeWidgetItem* root = tree->topLevelItem(0);
                      // Not a channel: no menu.
                      onMenu([&](QMenu* menu) {
                          rootHadMenu = true;
                          menu->close();
                      });
                      dlg.showChannelMenu(centreOf(tree, root));
                      QEventLoop settle;
                      QTimer::singleShot(150, &settle, &QEventLoop::quit);
                      settle.exec();
                      onMenu([&](QMenu* menu) {
                          for (QAction* a : menu->actions()) menuTexts << a->text();
                          menu->actions().at(0)->trigger();
                          menu->close();
                      });
                      dlg.showChannelMenu(centreOf(tree, root->child(0)));
                  })
        .answer(QStringLiteral("Нет"))
        .onDialog(QStringLiteral("UtilsDlg"),
                  [&](QDialog*) {
                      QTreeWidget* tree = dlg.tree();
                      tree->setCurrentItem(tree->topLevelItem(0)->child(1));
                      QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
                      QApplication::sendEvent(tree, &press);
                  })
        .answer(QStringLiteral("Да"))
        .answer(QStringLiteral("OK"))
        .onDialog(QStringLiteral("UtilsDlg"), [](QDialog* d) { d->reject(); });
    EXPECT_EQ(dlg.exec(), 2);
    EXPECT_FALSE(script.timedOut());
    EXPECT_FALSE(rootHadMenu);
    EXPECT_EQ(menuTexts, (QStringList{"Удалить", "Экспорт...", "\"Java\" ключ..."}));
    EXPECT_EQ(script.messages(),
              (std::vector<std::string>{
                  "Вы уверены, что хотите удалить секретный канал \"server : anna\"?",
                  "Этот кананл содержит только приватные ключи.\nВы уверены, что хотите удалить "
                  "секретный\nканал \"server : boris\"?",
                  "Канал успешно удален!"}));
    EXPECT_EQ(childTexts(dlg.tree()->topLevelItem(0)), QStringList{"server : anna"});
}

// A key part's menu copies its fingerprint; the Menu key and Shift+F10 open
// the current item's menu as a right click does.
TEST_F(UtilsDlgQtTest, KeyMenuCopiesTheFingerprintAndOpensFromTheKeyboard) {
    QtUtilsDlg dlg(basePath, settings);
    ASSERT_TRUE(dlg.load());
    dlg.show();
    QTreeWidget* tree = dlg.tree();
    tree->setFocus();
    QTreeWidgetItem* channel = tree->topLevelItem(0)->child(0);
    // Opened from the keyboard: Right on the channel, then on its group.
    tree->setCurrentItem(channel);
    QTest::keyClick(tree, Qt::Key_Right);
    ASSERT_EQ(channel->childCount(), 4);
    tree->setCurrentItem(channel->child(3));
    QTest::keyClick(tree, Qt::Key_Right);
    QApplication::processEvents();
    QTreeWidgetItem* publicPart = channel->child(3)->child(2);
    ASSERT_TRUE(publicPart->toolTip(0).startsWith(QStringLiteral("Отпечаток: SHA256:")));
    const QString fingerprint = publicPart->toolTip(0).mid(QStringLiteral("Отпечаток: ").size());

    struct Case {
        QTreeWidgetItem* item;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        QString menu;
        QStringList texts;
    };
    const Case cases[] = {
        {publicPart, Qt::Key_Menu, Qt::NoModifier, QStringLiteral("KeyMenu"),
         {QStringLiteral("Копировать отпечаток")}},
        {publicPart, Qt::Key_F10, Qt::ShiftModifier, QStringLiteral("KeyMenu"),
         {QStringLiteral("Копировать отпечаток")}},
        {channel, Qt::Key_F10, Qt::ShiftModifier, QStringLiteral("ChannelMenu"),
         {QStringLiteral("Удалить"), QStringLiteral("Экспорт..."),
          QStringLiteral("\"Java\" ключ...")}},
    };
    for (const Case& c : cases) {
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        tree->setCurrentItem(c.item);
        QString shownMenu;
        QStringList texts;
        onMenu([&](QMenu* menu) {
            shownMenu = menu->objectName();
            for (QAction* a : menu->actions()) texts << a->text();
            // Copying is the one action that changes nothing but the clipboard.
            if (shownMenu == QStringLiteral("KeyMenu")) menu->actions().at(0)->trigger();
            menu->close();
        });
        QTest::keyClick(tree, c.key, c.modifiers);
        EXPECT_EQ(shownMenu, c.menu);
        EXPECT_EQ(texts, c.texts);
        EXPECT_EQ(QGuiApplication::clipboard()->text(),
                  c.menu == QStringLiteral("KeyMenu") ? fingerprint : QStringLiteral("before"));
    }
    // Items without a fingerprint or actions have no menu.
    tree->setCurrentItem(channel->child(3)->child(0));
    bool menuShown = false;
    onMenu([&](QMenu* menu) {
        menuShown = true;
        menu->close();
    });
    QTest::keyClick(tree, Qt::Key_Menu);
    QEventLoop settle;
    QTimer::singleShot(150, &settle, &QEventLoop::quit);
    settle.exec();
    EXPECT_FALSE(menuShown);
}

// The menu over the dialog as the user sees it; saved for the user guide
// when TALVEK_SCREENSHOT_DIR is set.
TEST_F(UtilsDlgQtTest, ChannelMenuPicture) {
    QtUtilsDlg dlg(basePath, settings);
    ASSERT_TRUE(dlg.load());
    dlg.show();
    QApplication::processEvents();
    QTreeWidget* tree = dlg.tree();
    QTreeWidgetItem* channel = tree->topLevelItem(0)->child(0);
    channel->setExpanded(true);
    channel->child(2)->setExpanded(true);
    QApplication::processEvents();
    const QPoint at = centreOf(tree, channel);
    QPixmap shot;
    onMenu([&](QMenu* menu) {
        QApplication::processEvents();
        shot = dlg.grab();
        QPainter painter(&shot);
        painter.drawPixmap(dlg.mapFromGlobal(menu->pos()), menu->grab());
        menu->close();
    });
    dlg.showChannelMenu(at);
    ASSERT_FALSE(shot.isNull());
    // The key part items carry their fingerprints as tool tips.
    EXPECT_TRUE(channel->child(2)->child(1)->toolTip(0).startsWith("Отпечаток: SHA256:"));
    const QString dir = qEnvironmentVariable("TALVEK_SCREENSHOT_DIR");
    if (!dir.isEmpty()) {
        EXPECT_TRUE(shot.save(QDir(dir).filePath("maintenance-menu.png")));
    }
}

}  // namespace

namespace {

QLineEdit* searchField(QWidget& dialog) {
    for (QLineEdit* edit : dialog.findChildren<QLineEdit*>()) {
        if (edit->accessibleName() == QStringLiteral("Поиск каналов")) return edit;
    }
    return nullptr;
}

QStringList shownChildTexts(QTreeWidgetItem* item) {
    QStringList out;
    for (int i = 0; i < item->childCount(); ++i) {
        if (!item->child(i)->isHidden()) out << item->child(i)->text(0);
    }
    return out;
}

// The texts of the selected rows, as the selection model has them, in row
// order.
QStringList selectedTexts(QTreeWidget* tree) {
    QStringList out;
    for (const QModelIndex& index : tree->selectionModel()->selectedRows())
        out << index.data().toString();
    out.sort();
    return out;
}

}  // namespace

// The search field narrows the tree as it is typed; Escape clears it first
// and closes the dialog only from an empty field.
TEST_F(UtilsDlgQtTest, SearchFieldFiltersAsTypedAndEscapeClearsIt) {
    QtUtilsDlg dlg(basePath, settings);
    ASSERT_TRUE(dlg.load());
    dlg.show();
    QLineEdit* search = searchField(dlg);
    ASSERT_NE(search, nullptr);
    QLabel* label = nullptr;
    for (QLabel* l : dlg.findChildren<QLabel*>()) {
        if (l->text() == QStringLiteral("Найти:")) label = l;
    }
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->buddy(), search);

    QTreeWidgetItem* root = dlg.tree()->topLevelItem(0);
    search->setFocus();
    QTest::keyClicks(search, QStringLiteral("BOR"));
    EXPECT_EQ(shownChildTexts(root), QStringList{"server : boris"});
    EXPECT_EQ(dlg.findChild<QLabel*>(QStringLiteral("1017"))->text(),
              QStringLiteral("База полных и приватных ключей.\nПоказано 1 из 2 секретных каналов."));

    QTest::keyClick(search, Qt::Key_Escape);
    EXPECT_TRUE(search->text().isEmpty());
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(shownChildTexts(root), (QStringList{"server : anna", "server : boris"}));
    EXPECT_EQ(dlg.findChild<QLabel*>(QStringLiteral("1017"))->text(),
              QStringLiteral("База полных и приватных ключей.\n2 секретных каналов."));
}

// What the filter hides comes back as it was: in its place, still selected,
// still opened; while hidden it is not acted on. Among five channels the
// search keeps some at neither end, several selected ones come back as
// separate stretches, and rows below a channel keep being opened.
TEST_F(UtilsDlgQtTest, FilteredChannelsComeBackSelectedAndOpened) {
    {
        KeyBase base;
        ASSERT_TRUE(base.loadBase(basePath));
        ASSERT_TRUE(base.addChannel(completeChannel("server", "anton", true, true, 512, 2)));
        ASSERT_TRUE(base.addChannel(completeChannel("server", "borislav", true, true, 512, 3)));
        ASSERT_TRUE(base.addChannel(completeChannel("server", "vera", true, true, 512, 4)));
        ASSERT_TRUE(base.saveBase(basePath));
    }
    const QStringList all{"server : anna", "server : anton", "server : boris",
                          "server : borislav", "server : vera"};
    QtUtilsDlg dlg(basePath, settings);
    ASSERT_TRUE(dlg.load());
    dlg.show();
    QTreeWidget* tree = dlg.tree();
    QTreeWidgetItem* root = tree->topLevelItem(0);
    ASSERT_EQ(childTexts(root), all);
    QTreeWidgetItem* anna = root->child(0);
    QTreeWidgetItem* anton = root->child(1);
    QTreeWidgetItem* boris = root->child(2);
    QTreeWidgetItem* borislav = root->child(3);
    QTreeWidgetItem* vera = root->child(4);
    anna->setExpanded(true);
    boris->setExpanded(true);
    ASSERT_EQ(anna->childCount(), 4);
    QTreeWidgetItem* annaCrypt = anna->child(2);
    annaCrypt->setExpanded(true);
    tree->setCurrentItem(boris);
    ASSERT_EQ(dlg.logic().selectedRemoteName(), "boris");

    QLineEdit* search = searchField(dlg);
    search->setFocus();
    QTest::keyClicks(search, QStringLiteral("ann"));
    EXPECT_EQ(shownChildTexts(root), QStringList{"server : anna"});
    EXPECT_TRUE(dlg.logic().selectedChannels().empty());
    EXPECT_FALSE(button(dlg, UtilsCommand::Delete)->isEnabled());
    EXPECT_TRUE(anna->isExpanded());
    EXPECT_EQ(anna->childCount(), 4);
    EXPECT_TRUE(annaCrypt->isExpanded());

    QTest::keyClick(search, Qt::Key_Escape);
    EXPECT_EQ(shownChildTexts(root), all);
    EXPECT_TRUE(boris->isSelected());
    EXPECT_TRUE(boris->isExpanded());
    EXPECT_TRUE(anna->isExpanded());
    EXPECT_TRUE(annaCrypt->isExpanded());
    EXPECT_EQ(tree->currentItem(), boris);
    EXPECT_EQ(dlg.logic().selectedRemoteName(), "boris");
    EXPECT_TRUE(button(dlg, UtilsCommand::Delete)->isEnabled());

    // Ctrl+click adds anton and vera: two stretches of selected rows.
    anton->setSelected(true);
    vera->setSelected(true);
    ASSERT_EQ(dlg.logic().selectedChannels().size(), 3u);
    QTest::keyClicks(search, QStringLiteral("bor"));
    EXPECT_EQ(shownChildTexts(root), (QStringList{"server : boris", "server : borislav"}));
    EXPECT_EQ(selectedTexts(tree), QStringList{"server : boris"});
    EXPECT_FALSE(borislav->isSelected());
    EXPECT_EQ(tree->currentItem(), boris);
    EXPECT_EQ(dlg.logic().selectedChannels(),
              (std::vector<std::pair<std::string, std::string>>{{"server", "boris"}}));
    // Opened while the search is set, it stays opened after it.
    borislav->setExpanded(true);
    QTest::keyClick(search, Qt::Key_Backspace);
    EXPECT_EQ(search->text(), QStringLiteral("bo"));
    EXPECT_TRUE(borislav->isExpanded());

    QTest::keyClick(search, Qt::Key_Escape);
    EXPECT_EQ(shownChildTexts(root), all);
    EXPECT_EQ(selectedTexts(tree),
              (QStringList{"server : anton", "server : boris", "server : vera"}));
    EXPECT_TRUE(anton->isSelected() && boris->isSelected() && vera->isSelected());
    EXPECT_FALSE(anna->isSelected() || borislav->isSelected());
    EXPECT_EQ(tree->currentItem(), boris);
    EXPECT_EQ(dlg.logic().selectedChannels().size(), 3u);
    for (QTreeWidgetItem* opened : {anna, annaCrypt, boris, borislav})
        EXPECT_TRUE(opened->isExpanded()) << opened->text(0).toStdString();
    EXPECT_FALSE(anton->isExpanded() || vera->isExpanded());
}

// The column is as wide as its widest text, so a long path scrolls sideways
// instead of being cut short; the sizes the tree has measured do not outlive
// a change of font.
TEST_F(UtilsDlgQtTest, ColumnHoldsTheWidestTextAfterAFontChange) {
    QtUtilsDlg dlg(basePath, settings);
    ASSERT_TRUE(dlg.load());
    dlg.show();
    QApplication::processEvents();
    QTreeWidget* tree = dlg.tree();
    auto pathWidth = [tree] {
        return QFontMetrics(tree->font()).horizontalAdvance(tree->topLevelItem(0)->text(0));
    };
    EXPECT_GE(tree->header()->sectionSize(0), pathWidth());

    QFont large = tree->font();
    large.setPointSizeF(large.pointSizeF() * 4);
    tree->setFont(large);
    QApplication::processEvents();
    EXPECT_GT(pathWidth(), tree->viewport()->width());
    EXPECT_GE(tree->header()->sectionSize(0), pathWidth());
}

// Shift+click selects both channels: Delete stays, Export and Java go.
TEST_F(UtilsDlgQtTest, SeveralSelectedChannelsLeaveOnlyDelete) {
    QtUtilsDlg dlg(basePath, settings);
    ASSERT_TRUE(dlg.load());
    dlg.show();
    QApplication::processEvents();
    QTreeWidget* tree = dlg.tree();
    QTreeWidgetItem* root = tree->topLevelItem(0);
    auto click = [&](QTreeWidgetItem* item, Qt::KeyboardModifiers modifiers) {
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, modifiers,
                          tree->visualItemRect(item).center());
    };
    click(root->child(0), Qt::NoModifier);
    EXPECT_TRUE(button(dlg, UtilsCommand::Export)->isEnabled());
    click(root->child(1), Qt::ShiftModifier);
    EXPECT_EQ(dlg.logic().selectedChannels().size(), 2u);
    EXPECT_TRUE(button(dlg, UtilsCommand::Delete)->isEnabled());
    EXPECT_FALSE(button(dlg, UtilsCommand::Export)->isEnabled());
    EXPECT_FALSE(button(dlg, UtilsCommand::Java)->isEnabled());
    click(root->child(1), Qt::ControlModifier);
    EXPECT_EQ(dlg.logic().selectedChannels().size(), 1u);
    EXPECT_TRUE(button(dlg, UtilsCommand::Java)->isEnabled());

    const QString shots = qEnvironmentVariable("TALVEK_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        click(root->child(1), Qt::ControlModifier);
        QTest::keyClicks(searchField(dlg), QStringLiteral("s"));
        QApplication::processEvents();
        EXPECT_TRUE(dlg.grab().save(QDir(shots).filePath("maintenance-search.png")));
    }
}
