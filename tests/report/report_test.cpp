#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <unistd.h>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/encoding.h"
#include "report/report.h"
#include "support/filesizelimit.h"
#include "support/recordbytes.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::readText;
using TestSupport::TempDir;
using TestSupport::writeText;

namespace {

const std::string kYes = "\xC4\xE0";
const std::string kNo = "\xCD\xE5\xF2";
const std::string kNA = "\xCD/\xC4";
const LocalDateTime kMarch1{2006, 3, 1, 9, 5, 7};

// A key record with chosen numbers, read from the bytes of its file form.
std::unique_ptr<RsaKeyRecord> recordWith(const std::string& owner, const std::string& n,
                                         const std::string& e, const std::string& d = {}) {
    TestSupport::RecordBytes bytes;
    bytes.magic("KRSK0").u32(d.empty() ? 1 : 2).text(owner).text(n).text(e);
    if (!d.empty()) {
        bytes.text(d);
        for (const char* x : {"\x0B", "\x0D", "\x03", "\x05", "\x07"}) bytes.text(x);
    }
    auto key = std::make_unique<RsaKeyRecord>();
    EXPECT_TRUE(TestSupport::readFromBytes(bytes.bytes(),
                                           [&](FileReader& file) { return key->readKey(file); }));
    return key;
}

const std::string kN1("\xC3\xA1\x07", 3);
const std::string kD1("\x12\x34", 2);
const std::string kN2("\xAB\xCD\xEF", 3);
const std::string kE("\x01\x00\x01", 3);

// Every flag and key of both uses, with small fixed numbers.
SecureChannel fixedChannel() {
    SecureChannel c;
    c.localName = "client";
    c.remoteName = "server";
    c.useCrypt = c.useSign = 1;
    c.hasCryptPrivate = c.hasCryptPublic = c.hasSignPrivate = c.hasSignPublic = 1;
    c.cryptPrivateKey = recordWith("client", kN1, kE, kD1);
    c.cryptPublicKey = recordWith("server", kN2, kE);
    c.signPrivateKey = recordWith("client", kN2, kE, kD1);
    c.signPublicKey = recordWith("server", kN1, std::string("\x03", 1));
    return c;
}

// The source tree: from the test environment, else from this file's path.
std::string sourceDir() {
    if (const char* dir = std::getenv("TALVEK_TEST_SOURCE_DIR")) return dir;
    const std::string self = __FILE__;
    return self.substr(0, self.rfind("/tests/"));
}

std::string fill(const std::string& templ, const TokenTable& tokens) {
    TempDir dir;
    writeText(dir.file("t"), templ);
    EXPECT_TRUE(fillTemplate(dir.file("t"), dir.file("o"), tokens));
    return readText(dir.file("o"));
}

std::string exportWith(const SecureChannel& channel, const std::string& templ) {
    TempDir dir;
    writeText(dir.file("template.htmt"), templ);
    EXPECT_TRUE(
        exportChannelHtml(channel, dir.file("out.html"), dir.file("template.htmt"), kMarch1));
    return readText(dir.file("out.html"));
}

}  // namespace

TEST(FillTemplate, ReplacesMarkersAndLeavesTheRest) {
    EXPECT_EQ(fill("", {{"LOCAL", "x"}}), "");
    EXPECT_EQ(fill("#LOCAL#-#REMOTE#", {{"LOCAL", "client"}, {"REMOTE", "server"}}),
              "client-server");
    EXPECT_EQ(fill("#local# #FOO# # ## #LOCAL", {{"LOCAL", "x"}, {"FOO", "y"}}),
              "#local# y # ## #LOCAL");
    EXPECT_EQ(fill("##DATE##", {{"DATE", "01.03.2006"}}), "#01.03.2006#");
    std::string many, expected;
    for (int i = 0; i < 5000; ++i) {
        many += "#TIME#|";
        expected += "12:00:00|";
    }
    EXPECT_EQ(fill(many, {{"TIME", "12:00:00"}}), expected);
}

TEST(FillTemplate, ValueHoldingItsOwnMarkerTerminates) {
    EXPECT_EQ(fill("#LOCAL#-#LOCAL#", {{"LOCAL", "#LOCAL#!"}}), "#LOCAL#!-#LOCAL#!");
    // A value that forms the marker with the text behind it is left alone too.
    EXPECT_EQ(fill("#LOCAL#AL#", {{"LOCAL", "#LOC"}}), "#LOCAL#");
}

TEST(FillTemplate, ValuesAreSearchedForLaterTokensOnly) {
    // CRYPT comes before SIGN byte-wise: its value's #SIGN# is replaced, while
    // SIGN's value #CRYPT# comes too late to be.
    EXPECT_EQ(fill("#CRYPT#/#SIGN#", {{"CRYPT", "<#SIGN#>"}, {"SIGN", "#CRYPT#"}}),
              "<#CRYPT#>/#CRYPT#");
    // Plain bytes: no escaping, no conversion.
    EXPECT_EQ(fill("#A#", {{"A", std::string("<&\"\xFF\0z", 6)}}), std::string("<&\"\xFF\0z", 6));
}

TEST(FillTemplate, MissingTemplateOrUnwritableOutputFails) {
    TempDir dir;
    EXPECT_FALSE(fillTemplate(dir.file("none"), dir.file("o"), {}));
    EXPECT_FALSE(TestSupport::exists(dir.file("o")));
    writeText(dir.file("t"), "x");
    EXPECT_FALSE(fillTemplate(dir.file("t"), dir.file("no/such/o"), {}));
    EXPECT_FALSE(fillTemplate(dir.file("t"), dir.path(), {}));
}

TEST(FillTemplate, FailedWriteKeepsTheOldReport) {
    TempDir dir;
    writeText(dir.file("t"), std::string(200000, 'a') + "#X#");
    writeText(dir.file("o"), "old report");
    {
        TestSupport::FileSizeLimit full(100000);
        ASSERT_TRUE(full.active());
        EXPECT_FALSE(fillTemplate(dir.file("t"), dir.file("o"), {{"X", "y"}}));
    }
    EXPECT_EQ(readText(dir.file("o")), "old report");
    EXPECT_EQ(TestSupport::listDir(dir.path()), (std::vector<std::string>{"o", "t"}));
}

TEST(FormatKeyPublicPart, SpacedUpperCaseHexModulusThenExponent) {
    auto key = recordWith("k", std::string("\xC3\xA1\x07\x00\x0F", 5), kE);
    EXPECT_EQ(formatKeyPublicPart(*key), "C3 A1 07 00 0F : 01 00 01");
    auto one = recordWith("k", std::string("\x0A", 1), std::string("\x00", 1));
    EXPECT_EQ(formatKeyPublicPart(*one), "0A : 0");
    auto real = TestSupport::cachedPrivateKey(512);
    const std::string text = formatKeyPublicPart(*real);
    EXPECT_EQ(text.size(), 64 * 3 - 1 + 3 + 8u);
    EXPECT_EQ(text.substr(text.size() - 11), " : 01 00 01");
}

TEST(ChannelReport, TokensOfACompleteChannel) {
    const SecureChannel c = fixedChannel();
    const TokenTable t = channelReportTokens(c, kMarch1).value();
    const TokenTable expected{
        {"CRYPT", kYes},
        {"CRYPT_PUB_LOCAL", "C3 A1 07 : 01 00 01"},
        {"CRYPT_PUB_REMOTE", "AB CD EF : 01 00 01"},
        {"DATE", "01.03.2006"},
        {"LOCAL", "client"},
        {"REMOTE", "server"},
        {"SIGN", kYes},
        {"SIGN_PUB_LOCAL", "AB CD EF : 01 00 01"},
        {"SIGN_PUB_REMOTE", "C3 A1 07 : 03"},
        {"TIME", "09:05:07"},
    };
    EXPECT_EQ(t, expected);
    EXPECT_EQ(channelReportTokens(c, {12345, 12, 31, 23, 59, 60}).value().at("DATE"),
              "31.12.12345");
}

TEST(ChannelReport, NotApplicableRulesPerUse) {
    SecureChannel c = fixedChannel();
    c.useCrypt = 0;  // keys present but unused
    c.hasSignPrivate = 0;
    c.signPrivateKey.reset();
    TokenTable t = channelReportTokens(c, kMarch1).value();
    EXPECT_EQ(t["CRYPT"], kNo);
    EXPECT_EQ(t["CRYPT_PUB_LOCAL"], kNA);
    EXPECT_EQ(t["CRYPT_PUB_REMOTE"], kNA);
    // Only the peer's key: shown as the local public part.
    EXPECT_EQ(t["SIGN"], kYes);
    EXPECT_EQ(t["SIGN_PUB_LOCAL"], "C3 A1 07 : 03");
    EXPECT_EQ(t["SIGN_PUB_REMOTE"], kNA);

    c.useCrypt = 1;
    c.hasCryptPublic = 0;  // own pair only
    c.useSign = 0;
    t = channelReportTokens(c, kMarch1).value();
    EXPECT_EQ(t["CRYPT_PUB_LOCAL"], "C3 A1 07 : 01 00 01");
    EXPECT_EQ(t["CRYPT_PUB_REMOTE"], kNA);
    EXPECT_EQ(t["SIGN"], kNo);
    EXPECT_EQ(t["SIGN_PUB_LOCAL"], kNA);
}

TEST(ExportChannelHtml, FillsTheTemplateWithEscapedNames) {
    SecureChannel c = fixedChannel();
    EXPECT_EQ(exportWith(c, "#LOCAL#-#REMOTE# #DATE# #TIME# #CRYPT#"),
              "client-server 01.03.2006 09:05:07 " + kYes);
    c.localName = "<b>&\"#DATE#\"";
    c.remoteName = "#LOCAL#";
    EXPECT_EQ(exportWith(c, "#LOCAL#|#REMOTE#"), "&lt;b&gt;&amp;&quot;#DATE#&quot;|#LOCAL#");
}

// A key record of the given kind whose numbers after n are absent (stored
// with length 0), as a record cut short in its file reads back.
std::unique_ptr<RsaKeyRecord> cutShort(const std::string& owner, uint32_t kind) {
    TestSupport::RecordBytes bytes;
    bytes.magic("KRSK0").u32(kind).text(owner).text(kN1);
    for (int i = 0; i < (kind == 2 ? 7 : 1); ++i) bytes.u32(0);
    auto key = std::make_unique<RsaKeyRecord>();
    EXPECT_TRUE(TestSupport::readFromBytes(bytes.bytes(),
                                           [&](FileReader& file) { return key->readKey(file); }));
    return key;
}

// An incomplete key has no value to report: the export fails and leaves no
// file, whichever of the four keys it is. Keys of an unused use are not shown
// and do not matter.
TEST(ExportChannelHtml, IncompleteShownKeyFailsWithNothingWritten) {
    using Slot = std::unique_ptr<RsaKeyRecord> SecureChannel::*;
    const struct {
        Slot slot;
        uint32_t kind;
        bool crypt;  // the slot belongs to encryption
    } rows[] = {
        {&SecureChannel::cryptPrivateKey, 2, true},
        {&SecureChannel::cryptPublicKey, 1, true},
        {&SecureChannel::signPrivateKey, 2, false},
        {&SecureChannel::signPublicKey, 1, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind * 10 + row.crypt);
        SecureChannel c = fixedChannel();
        c.*row.slot = cutShort("client", row.kind);
        EXPECT_FALSE(channelReportTokens(c, kMarch1));
        TempDir dir;
        writeText(dir.file("template.htmt"), "#LOCAL#");
        EXPECT_FALSE(
            exportChannelHtml(c, dir.file("out.html"), dir.file("template.htmt"), kMarch1));
        EXPECT_EQ(TestSupport::listDir(dir.path()), std::vector<std::string>{"template.htmt"});

        (row.crypt ? c.useCrypt : c.useSign) = 0;
        EXPECT_TRUE(channelReportTokens(c, kMarch1));
    }
}

TEST(ExportChannelHtml, ShippedTemplateUsesEveryMarker) {
    const std::string templ = readText(sourceDir() + "/resources/template.htmt");
    ASSERT_NE(templ.find("windows-1251"), std::string::npos);
    const SecureChannel c = fixedChannel();
    const TokenTable tokens = channelReportTokens(c, kMarch1).value();
    for (const auto& [name, value] : tokens) {
        EXPECT_NE(templ.find("#" + name + "#"), std::string::npos) << name;
    }
    const std::string html = exportWith(c, templ);
    EXPECT_NE(html.find("AB CD EF : 01 00 01"), std::string::npos);
    EXPECT_NE(html.find("C3 A1 07 : 03"), std::string::npos);
    EXPECT_EQ(html.find("#SIGN"), std::string::npos);
    EXPECT_EQ(html.find("#LOCAL#"), std::string::npos);
}

TEST(ResolveTemplatePath, CurrentDirectoryFirst) {
    TempDir dir;
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const std::string without = resolveTemplatePath();
    writeText(dir.file(kTemplateName), "here");
    const std::string with = resolveTemplatePath();
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(with, kTemplateName);
    // Elsewhere only an installed template that exists, else the name as given.
    if (without != kTemplateName) {
        EXPECT_TRUE(TestSupport::exists(without));
        EXPECT_EQ(without.substr(without.size() - 14), "/template.htmt");
    }
    EXPECT_EQ(resolveTemplatePath("./template.htmt"), "./template.htmt");
    EXPECT_EQ(resolveTemplatePath("/no/such/t.htmt"), "/no/such/t.htmt");
}

TEST(DumpChannelText, ExactBytes) {
    TempDir dir;
    const SecureChannel c = fixedChannel();
    ASSERT_TRUE(dumpChannelText(c, dir.file("dump.txt")));
    EXPECT_EQ(readText(dir.file("dump.txt")),
              "client:server\r\n\r\n"
              "Crypting:\r\n"
              "Private owner: client\r\nC3A107\n1234\n \r\n"
              "Public owner: server\r\nABCDEF\n010001\n \r\n"
              "Signing:\r\n"
              "Private owner: client\r\nABCDEF\n1234\n \r\n"
              "Public owner: server\r\nC3A107\n03\n");
    // It holds private exponents.
    EXPECT_EQ(TestSupport::fileMode(dir.file("dump.txt")), 0600u);
}

TEST(DumpChannelText, UnusedUsesAndMissingNumbers) {
    TempDir dir;
    SecureChannel c = fixedChannel();
    c.useCrypt = 0;
    c.hasSignPublic = 0;
    ASSERT_TRUE(dumpChannelText(c, dir.file("a")));
    EXPECT_EQ(readText(dir.file("a")),
              "client:server\r\n\r\nSigning:\r\nPrivate owner: client\r\nABCDEF\n1234\n \r\n");
    // A private key without its private exponent ends the dump with false.
    c.useCrypt = 1;
    c.cryptPrivateKey = recordWith("client", kN1, kE);
    EXPECT_FALSE(dumpChannelText(c, dir.file("b")));
    EXPECT_EQ(readText(dir.file("b")),
              "client:server\r\n\r\nCrypting:\r\nPrivate owner: client\r\n");
    EXPECT_FALSE(dumpChannelText(c, dir.file("no/such/file")));
}

TEST(FileIdentity, AReportNeverReplacesItsTemplate) {
    TempDir dir;
    const std::string templ = dir.file("template.htmt");
    writeText(templ, "<p>#LOCAL#</p>");
    auto channel = TestSupport::completeChannel("a", "b", false, true);
    EXPECT_FALSE(exportChannelHtml(*channel, dir.path() + "/./template.htmt", templ));
    EXPECT_EQ(readText(templ), "<p>#LOCAL#</p>");
    EXPECT_TRUE(exportChannelHtml(*channel, dir.file("out.html"), templ));
}
