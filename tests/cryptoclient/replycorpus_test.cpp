#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cryptoclient/cryptoserverclient.h"
#include "sealing/talvekcodec.h"
#include "support/messageexercise.h"
#include "support/replyexercise.h"
#include "support/tempdir.h"

using namespace Talvek;
using TestSupport::ReplyRequest;

namespace {

const char* const kTarget = "fuzz_reply";

std::filesystem::path corpusDir() {
    if (const char* source = std::getenv("TALVEK_TEST_SOURCE_DIR")) {
        return std::filesystem::path(source) / "tests/fuzz/corpus" / kTarget;
    }
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz/corpus" / kTarget;
}

// A reply as the server sends it: word, status and, for status 0, the data.
std::vector<uint8_t> reply(ReplyRequest request, uint32_t status,
                           const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out{static_cast<uint8_t>(request)};
    for (uint32_t word : {1u, status}) {
        const auto bytes = wordBytes(word);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    if (status != 0) return out;
    const auto length = wordBytes(static_cast<uint32_t>(data.size()));
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<uint8_t> cut(std::vector<uint8_t> bytes, size_t n) {
    bytes.erase(bytes.end() - static_cast<std::ptrdiff_t>(n), bytes.end());
    return bytes;
}

// Data as the server seals them for the administrator.
std::vector<uint8_t> sealedByServer(const std::vector<uint8_t>& plain) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(codecEncode(TestSupport::messageKeyBasePath(),
                            TestSupport::receiverName(TestSupport::MessageKind::Both),
                            TestSupport::senderName(TestSupport::MessageKind::Both),
                            CodecSide::CryptoServer, plain, out));
    return out;
}

}  // namespace

// The reply fuzzer starts from one reply per request (genuine, but answering
// no request the client sent) and the refusals a server sends; each is also
// checked here against what the client makes of
// it. TALVEK_FUZZ_SEED_DIR names a folder to keep them in.
TEST(ReplyCorpus, SeedsGiveTheClientsOutcomes) {
    TestSupport::TempDir temp;
    const char* wanted = std::getenv("TALVEK_FUZZ_SEED_DIR");
    const std::string out = wanted ? std::string(wanted) + "/" + kTarget : temp.path();
    std::filesystem::create_directories(out);

    const std::vector<uint8_t> list = joinInterfaceList({"orvane", "\xF2\xE5\xF1\xF2"});
    const std::vector<uint8_t> base = {'K', 'N', 'E', 'T', '0', 0, 0, 0, 0, 1, 0, 0, 0};
    const std::string stored = "C:\\Keys\\orvane.key_base";
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        bool ok;
        std::string message;
    } seeds[] = {
        {"exchange-empty", reply(ReplyRequest::Exchange, 0, {}), true, ""},
        {"exchange-refused", reply(ReplyRequest::Exchange, 100, {}), false,
         "Сервер сообщил об ошибке:\nСообщение сервера:\n\nУ вас нет прав для "
         "администрирования!"},
        // Genuine sealed replies, but for no request the client sent: a reply
        // counts only for the request whose nonce it echoes.
        {"list", reply(ReplyRequest::List, 0, sealedByServer(list)), false,
         "Ошибка декодирования списка интерфейсов сервера!"},
        {"list-unsealed", reply(ReplyRequest::List, 0, list), false,
         "Ошибка декодирования списка интерфейсов сервера!"},
        {"fetch", reply(ReplyRequest::Fetch, 0, sealedByServer(base)), false,
         "Ошибка декодирования полученного файла!"},
        {"fetch-empty", reply(ReplyRequest::Fetch, 0, {}), false,
         "Неверный размер файла для получения!"},
        // An acknowledgement in plain text, as the earlier protocol sent it.
        {"upload", reply(ReplyRequest::Upload, 0, {stored.begin(), stored.end()}), false,
         "Ошибка декодирования ответа сервера!"},
        // The announced length stays, the data end early.
        {"upload-cut", cut(reply(ReplyRequest::Upload, 0, {stored.begin(), stored.end()}), 5),
         false, ""},
    };
    for (const auto& seed : seeds) {
        SCOPED_TRACE(seed.name);
        const std::vector<uint8_t>& bytes = seed.bytes;
        TestSupport::writeBytes(out + "/" + seed.name, bytes);
        const auto outcome = TestSupport::exerciseServerReply(bytes.data(), bytes.size());
        EXPECT_EQ(outcome.ok, seed.ok) << outcome.message;
        if (!seed.message.empty()) {
            EXPECT_EQ(outcome.message, seed.message);
        }
    }
}

// Inputs the reply fuzzer kept are answered again by every build under the
// sanitizers: each ends with an outcome, worded when it failed.
TEST(ReplyCorpus, ReplayedRepliesEndCleanly) {
    const auto dir = corpusDir();
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        const std::vector<uint8_t> input = TestSupport::readBytes(entry.path().string());
        const auto outcome = TestSupport::exerciseServerReply(input.data(), input.size());
        if (!outcome.ok) {
            EXPECT_FALSE(outcome.message.empty());
        }
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}
