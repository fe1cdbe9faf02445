#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keystore/base64.h"

using namespace Talvek;

namespace {

std::string encode(const std::string& data) {
    return base64Encode(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

struct Decoded {
    bool ok;
    std::string bytes;
};

Decoded decode(const std::string& text) {
    std::vector<uint8_t> out;
    const bool ok = base64Decode(text, out);
    return {ok, std::string(out.begin(), out.end())};
}

}  // namespace

TEST(Base64Encode, StandardVectors) {
    EXPECT_EQ(encode("abc"), "YWJj");
    EXPECT_EQ(encode(std::string(1, '\0')), "AA==");
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(encode("\xFB\xFF\xBF"), "+/+/");
}

TEST(Base64Encode, CapacityAndTerminator) {
    const uint8_t data[4] = {1, 2, 3, 4};
    char out[16];
    size_t n = 99;
    // Two groups need 8 characters and 2 bytes more.
    EXPECT_FALSE(base64Encode(data, 4, out, 9, &n));
    EXPECT_EQ(n, 99u);
    std::fill(std::begin(out), std::end(out), 'x');
    ASSERT_TRUE(base64Encode(data, 4, out, 10, &n));
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(std::string(out, 9), std::string("AQIDBA==\0", 9));
    EXPECT_FALSE(base64Encode(nullptr, 4, out, 16, &n));
    EXPECT_FALSE(base64Encode(data, 4, nullptr, 16, &n));
    EXPECT_FALSE(base64Encode(data, 4, out, 16, nullptr));
    EXPECT_EQ(base64EncodeCapacity(4), 28u);
}

TEST(Base64Decode, SkippedAndBadCharacters) {
    EXPECT_EQ(decode("YW\r\nJj").bytes, "abc");
    EXPECT_TRUE(decode("YW\r\nJj").ok);
    EXPECT_EQ(decode(" Y W\tJ j \n").bytes, "abc");
    EXPECT_TRUE(decode(" Y W\tJ j \n").ok);
    EXPECT_EQ(decode("YW*Jj").bytes, "abc");
    EXPECT_FALSE(decode("YW*Jj").ok);
    EXPECT_FALSE(decode(std::string("YWJj\0", 5)).ok);
    EXPECT_FALSE(decode("YWJj-_").ok);
}

TEST(Base64Decode, PaddedAndUnpaddedTails) {
    EXPECT_EQ(decode("YWJ").bytes, "");
    EXPECT_TRUE(decode("YWJ").ok);
    EXPECT_EQ(decode("YWJjZA").bytes, "abc");
    EXPECT_EQ(decode("YWJjZ").bytes, "abc");
    EXPECT_EQ(decode("YWI=").bytes, "ab");
    EXPECT_EQ(decode("YQ==").bytes, "a");
    EXPECT_EQ(decode("Y Q = \r\n =").bytes, "a");
    EXPECT_EQ(decode("YQ=").bytes, "");
    EXPECT_EQ(decode("Y===").bytes, "");
    EXPECT_EQ(decode("====").bytes, "");
    // The padded tail ends the data; what follows is not read.
    EXPECT_EQ(decode("YQ==YWJj").bytes, "a");
    EXPECT_EQ(decode("YWJj=YWJj").bytes, "abc");
    EXPECT_EQ(decode("").bytes, "");
    EXPECT_TRUE(decode("").ok);
}

TEST(Base64Decode, CapacityAndArguments) {
    uint8_t out[8];
    size_t n = 99;
    // 5 characters may hold two groups: 6 bytes of room are asked for.
    EXPECT_FALSE(base64Decode("YWJjZ", 5, out, 5, &n));
    EXPECT_EQ(n, 99u);
    EXPECT_TRUE(base64Decode("YWJjZ", 5, out, 6, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_FALSE(base64Decode(nullptr, 0, out, 8, &n));
    EXPECT_FALSE(base64Decode("YQ==", 4, nullptr, 8, &n));
    EXPECT_FALSE(base64Decode("YQ==", 4, out, 8, nullptr));
    EXPECT_EQ(base64DecodeCapacity(5), 26u);
}

TEST(Base64, RoundTripOfEveryLength) {
    std::string data;
    for (int i = 0; i < 300; ++i) {
        const std::string text = encode(data);
        EXPECT_EQ(text.size(), (data.size() + 2) / 3 * 4);
        const Decoded back = decode(text);
        EXPECT_TRUE(back.ok);
        ASSERT_EQ(back.bytes, data) << i;
        data += static_cast<char>(i * 37 + 11);
    }
}

namespace {

// What the exact reader makes of a text fed in pieces of `piece` characters.
Decoded readExact(const std::string& text, size_t piece) {
    std::string bytes;
    Base64ExactReader reader;
    bool ok = true;
    for (size_t at = 0; at < text.size() && ok; at += piece) {
        const size_t n = std::min(piece, text.size() - at);
        std::vector<uint8_t> out(Base64ExactReader::capacityFor(n));
        size_t written = 0;
        ok = reader.feed(text.data() + at, n, out.data(), &written);
        bytes.append(out.begin(), out.begin() + written);
    }
    return {ok && reader.complete(), bytes};
}

std::string withoutBlanks(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') out += c;
    }
    return out;
}

}  // namespace

TEST(Base64ExactReader, TakesInAnyPiecesExactlyWhatTheEncoderWrites) {
    const std::vector<std::pair<std::string, bool>> texts = {
        {"", true},           {"YWJj", true},          {"YQ==", true},      {"YWI=", true},
        {"YW\r\nJj\n", true}, {" Y W J j\t", true},    {"YR==", false},     {"YWJ=", false},
        {"YQ=", false},       {"YQ", false},           {"YQ==YQ==", false}, {"YQ== Y", false},
        {"Y===", false},      {"=YWJ", false},         {"YW*j", false},     {"YWJjYQ==\n", true},
        {"YWJjY", false},     {"YWJjYQ==\r\n ", true},
    };
    for (const auto& [text, exact] : texts) {
        for (size_t piece : {size_t{1}, size_t{3}, size_t{4}, size_t{100}}) {
            const Decoded read = readExact(text, piece);
            EXPECT_EQ(read.ok, exact) << text << " in pieces of " << piece;
            if (exact) {
                EXPECT_EQ(read.bytes, decode(text).bytes) << text;
            }
        }
    }

    // Against the rule itself: taken exactly when encoding the decoded bytes
    // again gives the text back, blanks aside.
    uint32_t state = 12345;
    const std::string letters = "QUJDYWJj09+/=\n ";
    for (int round = 0; round < 5000; ++round) {
        std::string text;
        state = state * 1103515245 + 12345;
        const size_t length = (state >> 16) % 13;
        for (size_t i = 0; i < length; ++i) {
            state = state * 1103515245 + 12345;
            text += letters[(state >> 16) % letters.size()];
        }
        const Decoded read = readExact(text, 1 + round % 5);
        const std::string exactForm = encode(decode(text).bytes);
        EXPECT_EQ(read.ok, decode(text).ok && exactForm == withoutBlanks(text)) << text;
    }
}

// Long texts are decoded a group at a time: every 12-bit half of a group in
// both places comes out as the bit-by-bit rule says, and any byte outside the
// alphabet, in any place of a group, is caught there.
TEST(Base64, EveryValueInEveryPlaceOfALongText) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string data, byRule;
    for (uint32_t half = 0; half < 4096; ++half) {
        const uint32_t group = (half << 12) | (4095 - half);
        for (int shift = 16; shift >= 0; shift -= 8) data += static_cast<char>(group >> shift);
        for (int shift = 18; shift >= 0; shift -= 6) byRule += alphabet[(group >> shift) & 63];
    }
    const std::string text = encode(data);
    EXPECT_EQ(text, byRule);
    EXPECT_EQ(decode(text).bytes, data);
    EXPECT_EQ(readExact(text, 1000).bytes, data);

    for (int c = 0; c < 256; ++c) {
        if (alphabet.find(static_cast<char>(c)) != std::string::npos ||
            std::string("=\r\n \t").find(static_cast<char>(c)) != std::string::npos)
            continue;
        for (size_t place = 0; place < 4; ++place) {
            std::string bad = text.substr(0, 40);
            bad[20 + place] = static_cast<char>(c);
            EXPECT_FALSE(decode(bad).ok) << c << " at " << place;
            EXPECT_FALSE(readExact(bad, 40).ok) << c << " at " << place;
        }
    }
}
