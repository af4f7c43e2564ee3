#include "serial/platform/TelnetComPort.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace Telnet;
using TBytes = std::vector<uint8_t>;

namespace {

// Records what the decoder reports, as text lines, so that the tables read like the protocol.
class TRecorder : public TTelnetHandler {
public:
    std::vector<std::string> Events;
    void OnNegotiation(uint8_t cmd, uint8_t option) override {
        const char* name = cmd == kWill ? "WILL" : cmd == kWont ? "WONT" : cmd == kDo ? "DO" : "DONT";
        Events.push_back(std::string(name) + " " + std::to_string(option));
    }
    void OnComPort(const TComPortAnswer& answer) override {
        std::string line = "COM " + std::to_string(answer.Code) + ":";
        for (uint8_t b : answer.Value)
            line += " " + std::to_string(b);
        Events.push_back(line);
    }
};

struct TDecodeCase {
    const char* Name;
    TBytes In;
    TBytes Data;
    std::vector<std::string> Events;
};

// Feeds the bytes in chunks whose ends are given by cuts; returns data and events.
std::pair<TBytes, std::vector<std::string>> Decode(const TBytes& in, const std::vector<size_t>& cuts) {
    TTelnetDecoder decoder;
    TRecorder recorder;
    TBytes data;
    size_t from = 0;
    for (size_t cut : cuts) {
        decoder.Feed(std::span(in).subspan(from, cut - from), data, recorder);
        from = cut;
    }
    decoder.Feed(std::span(in).subspan(from), data, recorder);
    return {data, recorder.Events};
}

} // namespace

TEST(TelnetComPortTest, DecodesRecordedServerBytesInAnyChunking) {
    // clang-format off
    const std::vector<TDecodeCase> cases = {
        {"plain data", {'h', 'i', 0, 13, 10}, {'h', 'i', 0, 13, 10}, {}},
        {"doubled IAC is one data byte", {1, 255, 255, 2, 255, 255}, {1, 255, 2, 255}, {}},
        // What the server sends when a client connects.
        {"server greeting",
         {255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 254, 1, 255, 253, 0, 255, 251, 0, 255, 253, 44},
         {},
         {"WILL 3", "DO 3", "WILL 1", "DONT 1", "DO 0", "WILL 0", "DO 44"}},
        {"baud answer between data", {'a', 255, 250, 44, 101, 0, 0, 37, 128, 255, 240, 'b'}, {'a', 'b'},
         {"COM 1: 0 0 37 128"}},
        {"modem state notification", {255, 250, 44, 107, 0xB0, 255, 240}, {}, {"COM 7: 176"}},
        {"answers in a row",
         {255, 250, 44, 112, 3, 255, 240, 255, 250, 44, 102, 7, 255, 240, 255, 250, 44, 103, 3, 255, 240,
          255, 250, 44, 104, 2, 255, 240, 255, 250, 44, 105, 3, 255, 240},
         {}, {"COM 12: 3", "COM 2: 7", "COM 3: 3", "COM 4: 2", "COM 5: 3"}},
        {"doubled IAC inside a value", {255, 250, 44, 101, 0, 0, 255, 255, 0, 255, 240}, {},
         {"COM 1: 0 0 255 0"}},
        {"client-side code is not an answer", {255, 250, 44, 1, 0, 0, 37, 128, 255, 240}, {}, {}},
        {"other option's subnegotiation dropped", {255, 250, 24, 1, 255, 240, 'x'}, {'x'}, {}},
        {"NOP and GA ignored", {'a', 255, 241, 'b', 255, 249, 'c'}, {'a', 'b', 'c'}, {}},
        // A command that breaks a subnegotiation off is taken whole: its option byte is no data.
        {"subnegotiation broken off by a command", {255, 250, 44, 101, 1, 255, 251, 'z'}, {}, {"WILL 122"}},
        {"broken off by WILL BINARY", {255, 250, 44, 107, 255, 251, 0, 'q'}, {'q'}, {"WILL 0"}},
        {"broken off by another subnegotiation", {255, 250, 44, 101, 255, 250, 44, 107, 1, 255, 240}, {},
         {"COM 7: 1"}},
    };
    // clang-format on
    std::mt19937 random(2217);
    for (const TDecodeCase& c : cases) {
        SCOPED_TRACE(c.Name);
        // Whole (round 0), a byte at a time (round 1), then in random chunks.
        for (int round = 0; round < 22; ++round) {
            std::vector<size_t> cuts;
            for (size_t i = 1; i < c.In.size(); ++i)
                if (round == 1 || (round > 1 && random() % 3 == 0))
                    cuts.push_back(i);
            EXPECT_EQ(Decode(c.In, cuts), std::make_pair(c.Data, c.Events)) << "round " << round;
        }
    }
}

TEST(TelnetComPortTest, CrNulOutsideBinaryMode) {
    // In from a server that does not send in binary mode: its CR NUL is a CR, also across chunks.
    const TBytes in = {'a', '\r', 0, 'b', '\r', '\n', '\r', 255, 255, 0, '\r'};
    for (size_t cut = 0; cut <= in.size(); ++cut) {
        TTelnetDecoder decoder;
        decoder.SetBinary(false);
        TRecorder recorder;
        TBytes data;
        decoder.Feed(std::span(in).first(cut), data, recorder);
        decoder.Feed(std::span(in).subspan(cut), data, recorder);
        EXPECT_EQ(data, (TBytes{'a', '\r', 'b', '\r', '\n', '\r', 255, 0, '\r'})) << cut;
    }
    // Out toward a server that does not take binary mode: CR NUL.
    TBytes out;
    EscapeData(TBytes{'\r', 'x', 255, '\r', '\n'}, out, true);
    EXPECT_EQ(out, (TBytes{'\r', 0, 'x', 255, 255, '\r', 0, '\n'}));
}

TEST(TelnetComPortTest, OverlongSubnegotiationIsDroppedAndDecodingGoesOn) {
    TBytes in = {255, 250, 44, 101};
    in.insert(in.end(), 10000, 7);
    in.insert(in.end(), {255, 240, 'o', 'k', 255, 250, 44, 107, 16, 255, 240});
    const auto out = Decode(in, {100, 5000});
    EXPECT_EQ(out.first, (TBytes{'o', 'k'}));
    EXPECT_EQ(out.second, (std::vector<std::string>{"COM 7: 16"}));
}

TEST(TelnetComPortTest, EveryByteValueSurvivesEscapingAndDecoding) {
    TBytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(uint8_t(i));
    TBytes wire;
    EscapeData(all, wire);
    EXPECT_EQ(wire.size(), 257u);
    EXPECT_EQ(wire[255], 255);
    EXPECT_EQ(wire[256], 255);
    EXPECT_EQ(Decode(wire, {256}).first, all); // cut between the two IACs
    TBytes iacs(5, 255), iacWire;
    EscapeData(iacs, iacWire);
    EXPECT_EQ(iacWire, TBytes(10, 255));
}

TEST(TelnetComPortTest, CommandsEncodeAsTheServerExpects) {
    struct TCase {
        const char* Name;
        TBytes Got;
        TBytes Want;
    };
    auto make = [](auto fill) {
        TBytes out;
        fill(out);
        return out;
    };
    // clang-format off
    const std::vector<TCase> cases = {
        {"baud 9600", make([](TBytes& o) { AppendSetBaudRate(9600, o); }), {255, 250, 44, 1, 0, 0, 37, 128, 255, 240}},
        {"baud with an IAC byte", make([](TBytes& o) { AppendSetBaudRate(0x0001FF00, o); }),
         {255, 250, 44, 1, 0, 1, 255, 255, 0, 255, 240}},
        {"data size 7", make([](TBytes& o) { AppendComPortByte(kSetDataSize, 7, o); }), {255, 250, 44, 2, 7, 255, 240}},
        {"parity even", make([](TBytes& o) { AppendComPortByte(kSetParity, kParityEven, o); }), {255, 250, 44, 3, 3, 255, 240}},
        {"stop bits 1.5", make([](TBytes& o) { AppendComPortByte(kSetStopSize, kStopOneHalf, o); }), {255, 250, 44, 4, 3, 255, 240}},
        {"hardware flow", make([](TBytes& o) { AppendComPortByte(kSetControl, kControlFlowHardware, o); }), {255, 250, 44, 5, 3, 255, 240}},
        {"DTR on", make([](TBytes& o) { AppendComPortByte(kSetControl, kControlDtrOn, o); }), {255, 250, 44, 5, 8, 255, 240}},
        {"RTS off", make([](TBytes& o) { AppendComPortByte(kSetControl, kControlRtsOff, o); }), {255, 250, 44, 5, 12, 255, 240}},
        {"purge both", make([](TBytes& o) { AppendComPortByte(kPurgeData, kPurgeBoth, o); }), {255, 250, 44, 12, 3, 255, 240}},
        {"modem mask", make([](TBytes& o) { AppendComPortByte(kSetModemStateMask, 0xFF, o); }), {255, 250, 44, 11, 255, 255, 255, 240}},
    };
    // clang-format on
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Got, c.Want);
    }
    TComPortAnswer answer{kSetBaudRate, {0, 1, 0xC2, 0}};
    EXPECT_EQ(answer.Number(), 115200u);
    EXPECT_EQ((TComPortAnswer{kSetBaudRate, {1, 2}}).Number(), 0u);
}

TEST(TelnetComPortTest, NegotiationAnswersOnlyWhatChangesAndRefusesTheRest) {
    TTelnetNegotiator n;
    TBytes offer;
    n.AppendOffer(offer);
    EXPECT_EQ(offer, (TBytes{255, 251, 44, 255, 251, 0, 255, 253, 0, 255, 253, 3}));
    struct TStep {
        uint8_t Cmd, Option;
        TBytes Answer;
    };
    // The server's greeting as recorded, then repeats and refusals.
    // clang-format off
    const std::vector<TStep> steps = {
        {kWill, 3, {}},              // answers our DO SGA
        {kDo, 3, {255, 251, 3}},     // asks us for SGA: taken
        {kWill, 1, {255, 254, 1}},   // echo: refused
        {kDont, 1, {}},              // we never offered echo
        {kDo, 0, {}},                // answers our WILL BINARY
        {kWill, 0, {}},              // answers our DO BINARY
        {kDo, 44, {}},               // answers our WILL COM-PORT
        {kDo, 44, {}},               // a repeat is not answered
        {kDo, 24, {255, 252, 24}},   // terminal type: refused
        {kWont, 0, {255, 254, 0}},   // server leaves binary mode: acknowledged
        {kWont, 0, {}},              // and not again
    };
    // clang-format on
    for (const TStep& s : steps) {
        SCOPED_TRACE(int(s.Cmd) * 1000 + s.Option);
        TBytes out;
        n.Answer(s.Cmd, s.Option, out);
        EXPECT_EQ(out, s.Answer);
    }
    EXPECT_TRUE(n.ComPortAccepted());
    TTelnetNegotiator refused;
    TBytes out;
    refused.AppendOffer(out);
    out.clear();
    refused.Answer(kDont, kOptComPort, out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(refused.ComPortRefused());
    EXPECT_FALSE(refused.ComPortAccepted());
}
