// The maintenance logic finds channels by name and acts on several at once,
// against a scripted view, on real key files.

#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>

#include "keystore/cp1251.h"
#include "keystore/keybase.h"
#include "maintenance/utilsdlg.h"
#include "support/largebase.h"
#include "support/lockwait.h"
#include "support/memorysettingsstore.h"
#include "support/scriptedutilsview.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

namespace {

using namespace Talvek;
using TestSupport::completeChannel;
using TestSupport::ScriptedUtilsView;

std::string cp1251(const std::string& utf8) {
    std::string out;
    if (!utf8ToCp1251(utf8, out)) throw std::logic_error("not encodable: " + utf8);
    return out;
}

// A base of four channels, two local names, Cyrillic and Latin.
class UtilsDlgFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        KeyBase base;
        for (const auto& [local, remote] :
             {std::pair{"Сервер", "Ёжик"}, std::pair{"Сервер", "Anna"},
              std::pair{"Сервер", "ЁЛКА"}, std::pair{"admin", "root"}}) {
            ASSERT_TRUE(base.addChannel(completeChannel(cp1251(local), cp1251(remote), false, true)));
        }
        ASSERT_TRUE(base.saveBase(path));
        ASSERT_TRUE(dlg.open());
    }
    TreeItem channelItem(const std::string& shown) const {
        for (TreeItem child : view.item(dlg.rootItem()).children) {
            if (view.item(child).text == shown) return child;
        }
        ADD_FAILURE() << "no channel item " << shown;
        return NoTreeItem;
    }
    int channelsOnDisk() const {
        KeyBase base;
        return base.loadBase(path) ? base.channelCount() : -1;
    }

    TestSupport::TempDir dir;
    std::string path = dir.file("server.key_base");
    ScriptedUtilsView view;
    TestSupport::MemorySettingsStore settings;
    UtilsDlg dlg{path, view, settings};
};

}  // namespace

TEST_F(UtilsDlgFilterTest, FilterShowsTheChannelsWhoseNamesHoldTheTextIgnoringCase) {
    const std::vector<std::string> all = {"admin : root", "Сервер : Anna", "Сервер : ЁЛКА",
                                          "Сервер : Ёжик"};
    EXPECT_EQ(view.shownChildTexts(dlg.rootItem()), all);
    struct Case {
        const char* typed;
        std::vector<std::string> shown;
        const char* line;
    };
    for (const Case& c :
         {Case{"ё", {"Сервер : ЁЛКА", "Сервер : Ёжик"}, "Показано 2 из 4 секретных каналов."},
          Case{"ЁЖ", {"Сервер : Ёжик"}, "Показано 1 из 4 секретных каналов."},
          Case{"сЕрВеР", {"Сервер : Anna", "Сервер : ЁЛКА", "Сервер : Ёжик"},
               "Показано 3 из 4 секретных каналов."},
          Case{"e", {}, "Показано 0 из 4 секретных каналов."},  // Latin e is no Cyrillic е
          Case{"ROO", {"admin : root"}, "Показано 1 из 4 секретных каналов."},
          Case{"zzz", {}, "Показано 0 из 4 секретных каналов."},
          Case{"", all, "4 секретных каналов."}}) {
        SCOPED_TRACE(c.typed);
        dlg.onFilterChanged(c.typed);
        EXPECT_EQ(view.shownChildTexts(dlg.rootItem()), c.shown);
        EXPECT_EQ(view.kindText, std::string("База полных и приватных ключей.\n") + c.line);
        EXPECT_EQ(dlg.shownCount(), c.shown.size());
    }
}

TEST_F(UtilsDlgFilterTest, SeveralSelectedAreDeletedAfterOneQuestionInOneStep) {
    dlg.onItemExpanding(view.at({0, 0}));
    dlg.onSelectionChanged({channelItem("Сервер : Anna"), channelItem("admin : root"),
                            view.at({0, 0, 0})});  // a name row counts for nothing
    EXPECT_TRUE(view.enabled(UtilsCommand::Delete));
    EXPECT_FALSE(view.enabled(UtilsCommand::Export));
    EXPECT_FALSE(view.enabled(UtilsCommand::Java));
    EXPECT_EQ(dlg.selectedChannels().size(), 2u);

    // "Нет" changes nothing.
    view.answers.push_back(false);
    dlg.onCommand(UtilsCommand::Delete);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, "Удалить выбранные секретные каналы (2)?");
    EXPECT_EQ(channelsOnDisk(), 4);

    // A base held by another program: nothing is deleted, the failure is said.
    {
        const TestSupport::ScopedLockWait shortWait(std::chrono::milliseconds(50));
        const TestSupport::HeldElsewhere held(path, LOCK_EX);
        ASSERT_TRUE(held.held());
        view.answers.push_back(true);
        dlg.onCommand(UtilsCommand::Delete);
        // The reload after it fails as well while the base is held.
        EXPECT_EQ(view.errors(), (std::vector<std::string>{"Ошибка удаления канала!",
                                                           "Ошибка открытия базы ключей!"}));
    }
    EXPECT_EQ(channelsOnDisk(), 4);
    ASSERT_TRUE(dlg.loadKeyFile());

    dlg.onSelectionChanged({channelItem("Сервер : Anna"), channelItem("admin : root")});
    view.answers.push_back(true);
    dlg.onCommand(UtilsCommand::Delete);
    EXPECT_EQ(view.messages.back().text, "Секретные каналы успешно удалены!");
    EXPECT_EQ(channelsOnDisk(), 2);
    EXPECT_EQ(view.shownChildTexts(dlg.rootItem()),
              (std::vector<std::string>{"Сервер : ЁЛКА", "Сервер : Ёжик"}));
    EXPECT_FALSE(view.anyActionEnabled());
}

TEST_F(UtilsDlgFilterTest, ChannelsTheFilterHidesAreNotActedOnAndItSurvivesAReload) {
    dlg.onSelectionChanged({channelItem("Сервер : Anna"), channelItem("Сервер : Ёжик")});
    dlg.onFilterChanged("ёж");
    // Only the channel still shown is selected: one channel, every action.
    ASSERT_EQ(dlg.selectedChannels().size(), 1u);
    EXPECT_EQ(dlg.selectedChannels()[0].second, cp1251("Ёжик"));
    EXPECT_TRUE(view.enabled(UtilsCommand::Export));
    view.answers.push_back(true);
    dlg.onCommand(UtilsCommand::Delete);
    EXPECT_EQ(view.messages[0].text,
              "Вы уверены, что хотите удалить секретный канал \"Сервер : Ёжик\"?");
    EXPECT_EQ(channelsOnDisk(), 3);
    // Reloaded with the filter still set.
    EXPECT_EQ(view.kindText, "База полных и приватных ключей.\nПоказано 0 из 3 секретных каналов.");
    EXPECT_TRUE(view.shownChildTexts(dlg.rootItem()).empty());
    dlg.onFilterChanged("");
    EXPECT_EQ(view.shownChildTexts(dlg.rootItem()).size(), 3u);
}

namespace {

// A large base as the benchmark makes it: every channel listed once in the
// base's order, the search crossing both alphabets, and only the channels
// whose visibility changes told to the view.
TEST(UtilsDlgLargeBase, ListsAndFiltersThousandsOfChannels) {
    constexpr size_t kChannels = 3000;
    TestSupport::TempDir dir;
    const std::string path = dir.file("server.key_base");
    TestSupport::writeLargeServerBase(path, kChannels);
    ScriptedUtilsView view;
    TestSupport::MemorySettingsStore settings;
    UtilsDlg dlg(path, view, settings);
    ASSERT_TRUE(dlg.open());
    const auto& channels = view.item(dlg.rootItem()).children;
    ASSERT_EQ(channels.size(), kChannels);
    EXPECT_EQ(view.item(channels.front()).text, "server : user000000");
    EXPECT_EQ(view.item(channels.back()).text, "server : Пользователь002999");
    EXPECT_EQ(view.items.size(), kChannels + 1);  // no rows below a channel yet

    struct Case {
        const char* typed;
        size_t shown;
    };
    for (const Case c : {Case{"ПОЛЬЗ", kChannels / 3}, Case{"пользователь0029", 34},
                         Case{"user00299", 6}, Case{"", kChannels}}) {
        SCOPED_TRACE(c.typed);
        dlg.onFilterChanged(c.typed);
        EXPECT_EQ(dlg.shownCount(), c.shown);
        EXPECT_EQ(view.shownChildTexts(dlg.rootItem()).size(), c.shown);
    }
}

}  // namespace
