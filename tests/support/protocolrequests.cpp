#include "support/protocolrequests.h"

#include <stdexcept>

#include "cryptoclient/protocol.h"

namespace TestSupport {

using namespace Talvek;

std::vector<uint8_t> requestHead(uint8_t code, const std::string& adminName, uint32_t length,
                                 uint32_t version) {
    std::vector<uint8_t> head(kRequestHeadSize, 0);
    head[0] = code;
    const auto word = wordBytes(version);
    std::copy(word.begin(), word.end(), head.begin() + 1);
    std::copy(adminName.begin(), adminName.begin() + std::min(adminName.size(), kNameFieldSize - 1),
              head.begin() + 5);
    const auto n = wordBytes(length);
    std::copy(n.begin(), n.end(), head.begin() + 5 + kNameFieldSize);
    return head;
}

std::vector<uint8_t> requestBytes(uint8_t code, const std::string& adminName,
                                  const std::vector<uint8_t>& payload, uint32_t version) {
    auto out = requestHead(code, adminName, static_cast<uint32_t>(payload.size()), version);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

RequestSealer::RequestSealer(const std::string& keyBase, const std::string& localName,
                             const std::string& remoteName, CodecSide side)
    : side_(side) {
    if (keys_.loadBase(keyBase)) channel_ = keys_.findChannel(localName, remoteName);
}

std::vector<uint8_t> RequestSealer::block(const EnvelopeStamp& stamp,
                                          const std::vector<uint8_t>& data,
                                          std::optional<int64_t> now) const {
    std::string sealed;
    if (!channel_ || !sealEnvelope(*channel_, side_, stamp, data.data(), data.size(), sealed, now))
        throw std::runtime_error("cannot seal");
    return {sealed.begin(), sealed.end()};
}

std::vector<uint8_t> RequestSealer::uploadPayload(const EnvelopeStamp& stamp,
                                                  const std::vector<uint8_t>& base,
                                                  std::optional<int64_t> now) const {
    std::vector<uint8_t> length(8);
    for (size_t i = 0; i < 8; ++i)
        length[i] = static_cast<uint8_t>(uint64_t{base.size()} >> (56 - 8 * i));
    const auto head = block(stamp, length, now);
    const auto body = block(stamp, base, now);
    const auto headLength = wordBytes(static_cast<uint32_t>(head.size()));
    std::vector<uint8_t> out(headLength.begin(), headLength.end());
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

OpenedBlock openFirstBlock(const RequestSealer& serverSide, const std::vector<uint8_t>& request) {
    OpenedBlock out;
    if (request.size() <= kRequestHeadSize || !serverSide.ready()) return out;
    std::vector<uint8_t> block(request.begin() + kRequestHeadSize, request.end());
    if (request[0] == ServerCode::UploadKeyBase) {
        const uint32_t head = block.size() >= 4 ? wordFrom(block.data()) : 0;
        if (head == 0 || head > block.size() - 4) return out;
        block = std::vector<uint8_t>(block.begin() + 4, block.begin() + 4 + head);
    }
    out.opened = openEnvelope(serverSide.channel(), CodecSide::CryptoServer,
                              reinterpret_cast<const char*>(block.data()), block.size(), out.data,
                              &out.stamp);
    return out;
}

OpenedBlock openReplyBlock(const RequestSealer& adminSide, const std::vector<uint8_t>& sealed) {
    OpenedBlock out;
    if (!adminSide.ready()) return out;
    out.opened = openEnvelope(adminSide.channel(), CodecSide::Administrator,
                              reinterpret_cast<const char*>(sealed.data()), sealed.size(), out.data,
                              &out.stamp);
    return out;
}

std::vector<uint8_t> sealedReply(const RequestSealer& serverSide, const EnvelopeStamp& stamp,
                                 const std::vector<uint8_t>& data) {
    const auto sealed = serverSide.block(stamp, data);
    std::vector<uint8_t> out;
    for (uint32_t word : {0u, 0u, static_cast<uint32_t>(sealed.size())}) {
        const auto bytes = wordBytes(word);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    out.insert(out.end(), sealed.begin(), sealed.end());
    return out;
}

EnvelopeStamp freshStamp(uint8_t code, const std::string& interfaceName) {
    auto stamp = EnvelopeStamp::fresh(code, interfaceName);
    if (!stamp) throw std::runtime_error("no random bytes");
    return *stamp;
}

}  // namespace TestSupport
