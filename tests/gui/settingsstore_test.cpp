#include <gtest/gtest.h>

#include <QSettings>

#include <climits>
#include <filesystem>
#include <memory>

#include "gui/settingsstore.h"
#include "settingsenv.h"
#include "support/memorysettingsstore.h"
#include "support/tempdir.h"

using namespace Talvek;
using AppTests::SettingsTest;

namespace {

std::string repeat(const std::string& piece, size_t times) {
    std::string s;
    for (size_t i = 0; i < times; ++i) s += piece;
    return s;
}

// The 255-byte limit is on the stored form: Windows-1251 bytes when the text
// can be encoded, else its UTF-8 bytes.
void expectTextLimit(SettingsStore& store) {
    const struct {
        std::string piece;
        size_t fits;
    } cases[] = {{"a", 255}, {"ж", 255}, {"日", 85}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.piece);
        const std::string longest = repeat(c.piece, c.fits);
        const std::string tooLong = longest + c.piece;
        ASSERT_TRUE(store.writeText("keyDefBase", longest));
        std::string out = "old";
        EXPECT_TRUE(store.readText("keyDefBase", out));
        EXPECT_EQ(out, longest);
        ASSERT_TRUE(store.writeText("keyDefBase", tooLong));
        out = "old";
        EXPECT_FALSE(store.readText("keyDefBase", out));
        EXPECT_EQ(out, "");
    }
}

void expectMissingAndKinds(SettingsStore& store) {
    std::string out = "old";
    EXPECT_FALSE(store.readText("defaddr", out));
    EXPECT_EQ(out, "");
    EXPECT_EQ(store.readNumber("signSize"), 0u);

    for (uint32_t v : {0u, 1u, 1024u, 0x80000000u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(store.writeNumber("cryptSize", v));
        EXPECT_EQ(store.readNumber("cryptSize"), v);
    }
    // The kind is not checked: a number reads as its digits, a text of digits
    // as its number, and any other text as no number at all.
    EXPECT_TRUE(store.readText("cryptSize", out));
    EXPECT_EQ(out, "4294967295");
    ASSERT_TRUE(store.writeText("defport", "3128"));
    EXPECT_EQ(store.readNumber("defport"), 3128u);
    for (const char* text : {"", "12ab", " 7", "-1", "4294967296", "0x10"}) {
        ASSERT_TRUE(store.writeText("defport", text));
        EXPECT_EQ(store.readNumber("defport"), 0u) << text;
    }
    // An empty text is a value that is present.
    ASSERT_TRUE(store.writeText("defserver", ""));
    out = "old";
    EXPECT_TRUE(store.readText("defserver", out));
    EXPECT_EQ(out, "");
}

}  // namespace

TEST_F(SettingsTest, QtStoreKeepsTheTextLimitOnBothSides) {
    QtSettingsStore store;
    expectTextLimit(store);
}

TEST(MemorySettings, KeepsTheTextLimitMissingValuesAndKinds) {
    TestSupport::MemorySettingsStore store;
    expectTextLimit(store);
    expectMissingAndKinds(store);
}

TEST_F(SettingsTest, QtStoreMissingValuesAndKinds) {
    QtSettingsStore store;
    expectMissingAndKinds(store);
}

TEST_F(SettingsTest, ReadingCreatesNothing) {
    QtSettingsStore store;
    std::string out;
    EXPECT_FALSE(store.readText("keyDefBase", out));
    EXPECT_EQ(store.readNumber("java"), 0u);
    EXPECT_TRUE(TestSupport::listDir(configDir.path()).empty());

    ASSERT_TRUE(store.writeText("defaddr", "10.0.0.1"));
    EXPECT_FALSE(store.readText("keyDefBase", out));
    QSettings raw(QString::fromStdString(settingsFile()), QSettings::IniFormat);
    EXPECT_EQ(raw.allKeys(), QStringList{"defaddr"});
}

TEST_F(SettingsTest, ValuesSurviveAcrossStoresAndRuns) {
    {
        QtSettingsStore first;
        ASSERT_TRUE(first.writeText("keyDefServerName", "Сервер, главный"));
        ASSERT_TRUE(first.writeNumber("sing", 1));
    }
    QtSettingsStore second;
    std::string out;
    EXPECT_TRUE(second.readText("keyDefServerName", out));
    EXPECT_EQ(out, "Сервер, главный");
    EXPECT_EQ(second.readNumber("sing"), 1u);
    EXPECT_TRUE(second.writeText("keyDefServerName", "другой"));
    EXPECT_TRUE(QtSettingsStore().readText("keyDefServerName", out));
    EXPECT_EQ(out, "другой");
}

TEST_F(SettingsTest, ValuesWrittenByHandReadSensibly) {
    std::filesystem::create_directories(configDir.file("Brenlow"));
    TestSupport::writeText(settingsFile(),
                           "[General]\n"
                           "defaddr=a, b\n"
                           "defport=8080\n"
                           "cryptSize=big\n"
                           "signSize=-5\n"
                           "java=\n");
    QtSettingsStore store;
    std::string out;
    EXPECT_TRUE(store.readText("defaddr", out));
    EXPECT_EQ(out, "a, b");
    EXPECT_EQ(store.readNumber("defport"), 8080u);
    EXPECT_EQ(store.readNumber("cryptSize"), 0u);
    EXPECT_EQ(store.readNumber("signSize"), 0u);
    EXPECT_EQ(store.readNumber("java"), 0u);
}

TEST_F(SettingsTest, FailedWriteIsReportedAndNotReadBack) {
    // A plain file where the store's folder belongs: no write can succeed,
    // whoever runs the test.
    TestSupport::writeText(configDir.file("Brenlow"), "in the way");
    QtSettingsStore store;
    EXPECT_FALSE(store.writeText("defaddr", "host"));
    EXPECT_FALSE(store.writeNumber("crypt", 1));
    std::string out;
    EXPECT_FALSE(QtSettingsStore().readText("defaddr", out));
    EXPECT_EQ(QtSettingsStore().readNumber("crypt"), 0u);
}

// Runs without SettingsTest, so the store sits where a user's would.
TEST(SettingsLocation, FollowsXdgConfigHome) {
    QtSettingsStore store;
    ASSERT_TRUE(store.writeText("defbase", "admin.key_base"));
    const std::string file = AppTests::configHome() + "/Brenlow/TalvekConfig.conf";
    ASSERT_TRUE(TestSupport::exists(file));
    EXPECT_NE(TestSupport::readText(file).find("defbase=admin.key_base"), std::string::npos);
}

TEST(ParseDecimal, ReadsLikeTheStoredPortText) {
    const struct {
        const char* text;
        int value;
    } cases[] = {{"8080", 8080},
                 {"  \t42", 42},
                 {"+7", 7},
                 {"-15", -15},
                 {"3128abc", 3128},
                 {"12 34", 12},
                 {"", 0},
                 {"abc", 0},
                 {" - 5", 0},
                 {"-", 0},
                 {"99999999999", INT_MAX},
                 {"-99999999999", INT_MIN}};
    for (const auto& c : cases) EXPECT_EQ(parseDecimal(c.text), c.value) << '"' << c.text << '"';
}
