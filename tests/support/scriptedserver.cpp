#include "support/scriptedserver.h"

#include <chrono>
#include <memory>

#include "cryptoclient/protocol.h"

namespace TestSupport {

using Talvek::TcpSocket;
using Talvek::kSocketSliceMs;

ScriptedServer::ScriptedServer(uint16_t upstreamPort) : upstreamPort_(upstreamPort) {
    if (listener_.create() == 0 && listener_.bind("127.0.0.1", 0) == 0 &&
        listener_.listen(64) == 0)
        port_ = listener_.localPort();
    thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
}

ScriptedServer::~ScriptedServer() {
    thread_.request_stop();
    thread_.join();
}

void ScriptedServer::misbehave(Misbehaviour mode, std::vector<uint8_t> raw, int32_t dripMs) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
    raw_ = std::move(raw);
    dripMs_ = dripMs;
}

void ScriptedServer::answerWith(Answer answer) {
    std::lock_guard lock(mutex_);
    mode_ = Misbehaviour::Answer;
    answer_ = std::move(answer);
}

std::vector<uint8_t> ScriptedServer::lastRequest() const {
    std::lock_guard lock(mutex_);
    return lastRequest_;
}

int ScriptedServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requestCount_;
}

void ScriptedServer::serve(std::stop_token stop) {
    std::list<std::jthread> lines;
    while (!stop.stop_requested() && port_ != 0) {
        if (listener_.waitReadable(20) != 1) continue;
        std::shared_ptr<TcpSocket> client = listener_.accept();
        if (!client) continue;
        lines.emplace_back([this, client](std::stop_token token) {
            std::atomic<int32_t> flag{0};
            std::stop_callback onStop(token, [&flag] { flag = 1; });
            handle(*client, flag);
            client->close();
        });
    }
    // Each line is asked to stop and joined as it goes.
    lines.clear();
}

void ScriptedServer::handle(TcpSocket& client, const std::atomic<int32_t>& stop) {
    Misbehaviour mode;
    std::vector<uint8_t> raw;
    int32_t dripMs;
    Answer answer;
    {
        std::lock_guard lock(mutex_);
        mode = mode_;
        raw = raw_;
        dripMs = dripMs_;
        answer = answer_;
    }
    if (mode == Misbehaviour::CloseAtOnce) return;
    client.setIdleLimit(30000);

    TcpSocket upstream;
    bool relaying = mode == Misbehaviour::None;
    if (relaying) {
        upstream.setIdleLimit(30000);
        upstream.create();
        relaying = upstream.connect("127.0.0.1", upstreamPort_) == 0;
    }
    // The request, passed on as it arrives.
    std::vector<uint8_t> request(Talvek::kRequestHeadSize);
    if (client.receiveAll(request.data(), static_cast<int32_t>(request.size()), &stop,
                          kSocketSliceMs) != static_cast<int>(request.size()))
        return;
    relaying = relaying && upstream.send(request.data(), static_cast<int32_t>(request.size()),
                                         kSocketSliceMs) >= 0;
    const uint32_t length = Talvek::wordFrom(request.data() + Talvek::kRequestHeadSize - 4);
    std::vector<uint8_t> piece(64 << 10);
    for (uint32_t done = 0; done < length;) {
        if (relaying) {
            // A refusal the real server sends before the payload is passed
            // back at once, and its close ends the line.
            const int back =
                upstream.receive(piece.data(), static_cast<int32_t>(piece.size()), 0);
            if (back < 0) return;
            if (back > 0 && client.send(piece.data(), back, kSocketSliceMs) < 0) return;
        }
        const auto n = static_cast<int32_t>(std::min<size_t>(piece.size(), length - done));
        const int got = client.receive(piece.data(), n, 20);
        if (got < 0 || stop.load() != 0) {
            // Cut short: the real server sees it cut short too.
            return;
        }
        request.insert(request.end(), piece.begin(), piece.begin() + got);
        relaying = relaying && (got == 0 || upstream.send(piece.data(), got, kSocketSliceMs) >= 0);
        done += static_cast<uint32_t>(got);
    }
    {
        std::lock_guard lock(mutex_);
        lastRequest_ = request;
        ++requestCount_;
    }

    if (mode == Misbehaviour::None) {
        // The reply, passed back until the real server closes.
        for (int got; relaying && (got = upstream.receive(piece.data(),
                                                          static_cast<int32_t>(piece.size()),
                                                          kSocketSliceMs)) >= 0;) {
            if (stop.load() != 0) return;
            if (got > 0 && client.send(piece.data(), got, kSocketSliceMs) < 0) return;
        }
        return;
    }
    if (mode == Misbehaviour::Answer) raw = answer(request);
    if (mode == Misbehaviour::Drip) {
        for (uint8_t byte : raw) {
            if (stop.load() != 0 || client.send(&byte, 1, kSocketSliceMs) < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(dripMs));
        }
        return;
    }
    const bool sent =
        raw.empty() || client.send(raw.data(), static_cast<int32_t>(raw.size()), kSocketSliceMs) >= 0;
    if (sent && mode == Misbehaviour::RawThenStall) {
        // Holds the line open, silent, until the client gives up or the
        // double goes.
        uint8_t sink[256];
        while (stop.load() == 0 && client.receive(sink, sizeof sink, kSocketSliceMs) >= 0) {
        }
    }
}

}  // namespace TestSupport
