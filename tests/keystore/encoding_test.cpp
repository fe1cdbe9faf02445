#include <gtest/gtest.h>

#include "keystore/cp1251.h"
#include "keystore/encoding.h"
#include "support/recordbytes.h"

using namespace Talvek;
using TestSupport::bytesWrittenBy;
using TestSupport::readFromBytes;
using TestSupport::RecordBytes;

TEST(Encoding, IntegersAndTextsAreLittleEndianAndLengthPrefixed) {
    const auto bytes = bytesWrittenBy([](FileWriter& f) {
        return writeMagic(f, "KNET0") && writeU8(f, 7) && writeU32(f, 0x01020304) &&
               writeString(f, "ab") && writeString(f, "");
    });
    EXPECT_EQ(bytes, RecordBytes().magic("KNET0").u8(7).u32(0x01020304).text("ab").u32(0).bytes());
    EXPECT_EQ(bytes[6], 0x04);

    BignumPtr zero(BN_new());
    BN_zero(zero.get());
    bool ok = true;
    EXPECT_TRUE(
        bytesWrittenBy([&](FileWriter& f) { return writeBigNum(f, zero.get()); }, &ok).empty());
    EXPECT_FALSE(ok);
    BignumPtr n(BN_new());
    BN_set_word(n.get(), 0x10203);
    EXPECT_EQ(bytesWrittenBy([&](FileWriter& f) { return writeBigNum(f, n.get()); }),
              (std::vector<uint8_t>{3, 0, 0, 0, 1, 2, 3}));
}

TEST(Encoding, MagicComparesFiveBytesOrFourAndAVersion) {
    const auto bytes = RecordBytes().magic("KCHA0").magic("KCHA7").raw("KC").bytes();
    EXPECT_TRUE(readFromBytes(bytes, [](FileReader& f) {
        int8_t version = 5;
        bool ok = readMagic(f, "KCHA1", &version) && version == 0;
        ok = ok && !readMagic(f, "KCHA1");
        // Two bytes left: they are consumed and the rest reads as zero.
        ok = ok && !readMagic(f, "KCHA1") && f.remaining() == 0;
        return ok && !readMagic(f, "KCHA1", &version);
    }));
    // A fifth byte below '0' gives a negative version, not a match failure.
    EXPECT_TRUE(readFromBytes(RecordBytes().raw("KCHA ").bytes(), [](FileReader& f) {
        int8_t version = 0;
        return readMagic(f, "KCHA1", &version) && version == ' ' - '0';
    }));
}

// The format reads what is missing at the end as zeros: a number cut short
// keeps the bytes it has, one past the end is 0.
TEST(Encoding, NumbersCutShortAtTheEndKeepTheBytesTheyHave) {
    EXPECT_TRUE(readFromBytes(RecordBytes().u8(7).raw("\x34\x12").bytes(), [](FileReader& f) {
        bool ok = readU8OrZero(f) == 7 && readU32OrZero(f) == 0x1234u;
        return ok && f.remaining() == 0 && readU32OrZero(f) == 0 && readU8OrZero(f) == 0;
    }));
}

TEST(Encoding, TextsEndAtAZeroAndZeroLengthLeavesTheTarget) {
    const auto bytes = RecordBytes().u32(0).text(std::string("ab\0cd", 5)).bytes();
    EXPECT_TRUE(readFromBytes(bytes, [](FileReader& f) {
        std::string text = "kept";
        bool ok = !readString(f, text) && text == "kept";
        ok = ok && readString(f, text) && text == "ab";
        return ok && f.remaining() == 0;
    }));
}

// A length that the file cannot hold is refused before anything is
// allocated, and the rest of the file is consumed as a short read would.
TEST(Encoding, HostileLengthsFailWithoutAllocating) {
    for (uint32_t length : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 6u}) {
        SCOPED_TRACE(length);
        const auto bytes = RecordBytes().u32(length).raw("abcde").bytes();
        EXPECT_TRUE(readFromBytes(bytes, [](FileReader& f) {
            std::string text = "kept";
            return !readString(f, text) && text == "kept" && f.remaining() == 0;
        }));
        EXPECT_TRUE(readFromBytes(bytes, [](FileReader& f) {
            BignumPtr slot;
            return !readBigNum(f, slot) && !slot && f.remaining() == 0;
        }));
    }
}

TEST(Encoding, BigNumberOverwritesItsSlotInPlace) {
    const auto bytes = RecordBytes().u32(2).raw(std::vector<uint8_t>{0x01, 0x00}).u32(0).bytes();
    EXPECT_TRUE(readFromBytes(bytes, [](FileReader& f) {
        BignumPtr slot(BN_new());
        BN_set_word(slot.get(), 77);
        const BIGNUM* before = slot.get();
        bool ok = readBigNum(f, slot) && slot.get() == before && BN_is_word(slot.get(), 256);
        return ok && !readBigNum(f, slot) && BN_is_word(slot.get(), 256);
    }));
}

// Names are searched as the user reads them: case folds in every alphabet
// Windows-1251 holds.
TEST(NameFilter, FoldsCaseOfEveryLetterWindows1251Holds) {
    auto cp1251 = [](const char* utf8) {
        std::string out;
        EXPECT_TRUE(utf8ToCp1251(utf8, out)) << utf8;
        return out;
    };
    struct Case {
        const char* typed;
        const char* name;
        bool found;
    };
    for (const Case& c : {Case{"ёЖ", "Ёжик", true}, Case{"ЖИК", "ёжик", true},
                          Case{"ґ", "ҐАНОК", true}, Case{"ЎЇЄІЈЉЊЋЌЏЅЂЃ", "ўїєіјљњћќџѕђѓ", true},
                          Case{"server", "SeRvEr-1", true}, Case{"", "anything", true},
                          Case{"е", "Ёж", false},  // ё is a letter of its own
                          Case{"x", "Ёжик", false}, Case{"€", "€uro", true},
                          Case{"✓", "a✓b", false}}) {
        SCOPED_TRACE(c.typed);
        std::string name;
        if (!utf8ToCp1251(c.name, name)) name = c.name;  // a name no base can hold
        EXPECT_EQ(NameFilter(c.typed).matches(name), c.found);
    }
    EXPECT_EQ(foldCaseCp1251(cp1251("ПРИВЕТ, World Ё")), cp1251("привет, world ё"));
    EXPECT_TRUE(NameFilter("").empty());
    EXPECT_FALSE(NameFilter("✓").empty());
}

// Names from files reach terminals: control characters and the backslash
// are escaped, everything else is decoded as ever.
TEST(Encoding, PrintableNamesEscapeControlCharacters) {
    const struct {
        std::string cp1251, printed;
    } cases[] = {
        {"plain name", "plain name"},
        {"\xC8\xE2\xE0\xED", "Иван"},
        {"esc\x1B[2J", "esc\\x1B[2J"},
        {"osc\x1B]0;owned\x07", "osc\\x1B]0;owned\\x07"},
        {"cr\rforged line\n", "cr\\x0Dforged line\\x0A"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"del\x7F", "del\\x7F"},
        {"back\\x41", "back\\x5Cx41"},
    };
    for (const auto& c : cases) EXPECT_EQ(cp1251ToPrintable(c.cp1251), c.printed) << c.printed;
}
