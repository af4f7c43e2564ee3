// fuzz-libs: serial
// Feeds arbitrary bytes, as a COM-PORT server would send them, to the Telnet decoder and the option
// negotiation in chunks chosen by the input. Whatever the bytes: no crash, the same data and commands
// in any chunking, no data byte that the server did not send, answers that stay small, and data that
// survives our own framing and its decoding unchanged.
#include "serial/platform/TelnetComPort.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

struct TCollector : Telnet::TTelnetHandler {
    Telnet::TTelnetNegotiator Negotiator;
    Telnet::TTelnetDecoder* Decoder = nullptr;
    bool FollowBinary = false;
    std::vector<uint8_t> Events;  // every command, flattened
    std::vector<uint8_t> Replies; // what the client answers
    void OnNegotiation(uint8_t cmd, uint8_t option) override {
        Events.insert(Events.end(), {cmd, option});
        const size_t before = Replies.size();
        Negotiator.Answer(cmd, option, Replies);
        Check(Replies.size() - before <= 3); // one answer at most per request
        if (FollowBinary)
            Decoder->SetBinary(Negotiator.RemoteBinary());
    }
    void OnComPort(const Telnet::TComPortAnswer& answer) override {
        Check(answer.Value.size() < Telnet::kMaxSubnegotiation);
        Check(answer.Code <= 255 - Telnet::kServerOffset);
        Events.push_back(0xF0);
        Events.push_back(answer.Code);
        Events.insert(Events.end(), answer.Value.begin(), answer.Value.end());
    }
};

// Decodes the stream in chunks whose lengths come from the seed.
std::vector<uint8_t> Decode(std::span<const uint8_t> stream, bool wholeStream, uint32_t seed,
                            bool followBinary, TCollector& collector) {
    Telnet::TTelnetDecoder decoder;
    collector.Decoder = &decoder;
    collector.FollowBinary = followBinary;
    if (followBinary)
        decoder.SetBinary(false);
    std::vector<uint8_t> data;
    size_t at = 0;
    while (at < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        const size_t length = wholeStream ? stream.size() : 1 + (seed >> 16) % 97;
        const size_t take = std::min(length, stream.size() - at);
        decoder.Feed(stream.subspan(at, take), data, collector);
        at += take;
    }
    return data;
}

// True when data is a subsequence of the stream: every data byte was sent by the server.
bool Subsequence(const std::vector<uint8_t>& data, std::span<const uint8_t> stream) {
    size_t i = 0;
    for (uint8_t b : stream)
        if (i < data.size() && data[i] == b)
            ++i;
    return i == data.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 2)
        return 0;
    const uint32_t seed = uint32_t(bytes[0]) << 8 | bytes[1];
    const bool followBinary = seed & 1;
    const std::span<const uint8_t> stream(bytes + 2, size - 2);

    TCollector whole, chunked;
    const std::vector<uint8_t> a = Decode(stream, true, 0, followBinary, whole);
    const std::vector<uint8_t> b = Decode(stream, false, seed, followBinary, chunked);
    Check(a == b);
    Check(whole.Events == chunked.Events);
    Check(whole.Replies == chunked.Replies);
    Check(a.size() <= stream.size());
    Check(Subsequence(a, stream));
    Check(whole.Replies.size() <= stream.size()); // three bytes at most for three bytes asked

    // Our own framing of that data decodes to the same bytes, in binary mode and outside it.
    for (const bool crNul : {false, true}) {
        std::vector<uint8_t> wire;
        Telnet::EscapeData(a, wire, crNul);
        TCollector again;
        Telnet::TTelnetDecoder decoder;
        decoder.SetBinary(!crNul);
        std::vector<uint8_t> back;
        decoder.Feed(wire, back, again);
        Check(back == a);
        Check(again.Events.empty());
    }
    return 0;
}
