// The terminal bound to a real port on a pseudo-terminal: what it answers and sends to the far end, and
// what it shows of what the far end sends.
#include "TermFixture.h"

#include "serial/ComPort.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

struct TPortFixture {
    TPtyPair pty;
    TComPort port;
    TTermFixture f;

    explicit TPortFixture(TTermEmulation emulation, bool open = true) : f(emulation) {
        port.SetPort(QString::fromStdString(pty.SlavePath()));
        f.term.SetComPort(&port);
        if (open)
            f.term.SetConnected(true);
    }

    // Sends from the far end and waits until the terminal has handled every byte of it, then one
    // marker byte more, so that any answer to `bytes` has been written by then.
    void FarEndSends(const QByteArray& bytes) {
        const QByteArray before = f.chars;
        pty.Write(bytes + "\x01");
        ASSERT_TRUE(WaitUntil([&] { return f.chars.endsWith('\x01') && f.chars.size() > before.size(); }));
        f.chars.chop(1);
    }
};

} // namespace

TEST(TerminalOnPort, AnswersQueries) {
    struct Row {
        const char* name;
        TTermEmulation emulation;
        QByteArray setup; // shown locally first
        QByteArray query;
        QByteArray answer;
    };
    // clang-format off
    const Row rows[] = {
        {"cursor position",  teVT100orANSI, "\033[3;7H", "\033[6n",     "\033[3;7R"},
        {"cursor at corner", teVT100orANSI, "\033[99;99H", "\033[6n",   "\033[24;80R"},
        {"device status",    teVT100orANSI, "",          "\033[5n",     "\033[0n"},
        {"identify",         teVT100orANSI, "",          "\033[c",      "\033[?1;2c"},
        {"identify zero",    teVT100orANSI, "",          "\033[0c",     "\033[?1;2c"},
        {"split query",      teVT100orANSI, "",          "\033[6n\033[6n", "\033[1;1R\033[1;1R"},
        {"vt52 identify",    teVT52,        "",          "\033Z",       "\033/Z"},
        {"vt52 no status",   teVT52,        "",          "\033[6n",     ""},
        {"no emulation",     teNone,        "",          "\033[6n",     ""},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TPortFixture p(row.emulation);
        ASSERT_TRUE(p.port.Connected());
        p.f.Feed(row.setup);
        p.f.chars.clear();
        p.FarEndSends(row.query);
        EXPECT_EQ(p.pty.ReadNow(), row.answer);
        if (row.emulation == teVT100orANSI) {
            EXPECT_TRUE(p.f.chars.isEmpty()) << TraceBytes(p.f.chars).toStdString();
        }
    }
}

// Without a port, or with one that is closed, nothing is sent, so nothing is echoed or answered either.
TEST(TerminalOnPort, NoPortOrAClosedPortSendsNothing) {
    for (const bool bound : {false, true}) {
        SCOPED_TRACE(bound ? "closed port" : "no port");
        TPortFixture p(teVT100orANSI, false);
        if (!bound)
            p.f.term.SetComPort(nullptr);
        ASSERT_FALSE(p.f.term.Connected());
        p.f.term.SetLocalEcho(true);
        p.f.term.SetSendLF(true);
        p.f.Feed("\033[c\033[5n\033[6n");
        p.f.term.SendChar('x');
        p.f.term.SendChar('\r');
        p.f.term.TransmitCode(ecCursorDown);
        EXPECT_EQ(p.pty.ReadNow(), "");
        EXPECT_EQ(p.f.RowTexts()[0], "");
        EXPECT_EQ(p.f.term.CaretPos(), (TTermPos{1, 1}));
        EXPECT_TRUE(p.f.chars.isEmpty());
        if (bound) { // the same port once open does send
            p.f.term.SetConnected(true);
            ASSERT_TRUE(p.port.Connected());
            p.f.term.SendChar('x');
            EXPECT_EQ(p.pty.ReadNow(), "x");
        }
    }
}

TEST(TerminalOnPort, SendingAndLocalEcho) {
    struct Row {
        const char* name;
        bool localEcho;
        bool sendLF;
        QByteArray typed;
        QByteArray sent;
        QByteArray echoed; // OnChar
        TTermPos caret;    // starting from (3, 1)
    };
    // clang-format off
    const Row rows[] = {
        {"SendLF with echo",    true,  true,  "\r",   "\r\n",   "\r\n", {1, 2}},
        {"SendLF without echo", false, true,  "\r",   "\r\n",   "",     {3, 1}},
        {"echo only",           true,  false, "q\r",  "q\r",    "q\r",  {1, 1}},
        {"NUL is sent",         true,  false, QByteArray(1, '\0'), QByteArray(1, '\0'), QByteArray(1, '\0'), {3, 1}},
        {"LF alone",            true,  true,  "\n",   "\n",     "\n",   {3, 2}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TPortFixture p(teVT100orANSI);
        p.f.Feed("ab");
        p.f.chars.clear();
        p.f.term.SetLocalEcho(row.localEcho);
        p.f.term.SetSendLF(row.sendLF);
        for (char ch : row.typed)
            p.f.term.SendChar(ch);
        EXPECT_EQ(p.pty.ReadNow(), row.sent);
        EXPECT_EQ(p.f.chars, row.echoed);
        EXPECT_EQ(p.f.term.CaretPos(), row.caret) << p.f.term.CaretPos().X << "," << p.f.term.CaretPos().Y;
    }
}

TEST(TerminalOnPort, TransmitCode) {
    struct Row {
        const char* name;
        TTermEmulation emulation;
        bool localEcho;
        TEscapeCode code;
        QByteArray sent;
        TTermPos caret; // starting from (5, 5)
    };
    // clang-format off
    const Row rows[] = {
        {"up echoed",          teVT100orANSI, true,  ecCursorUp,      "\033[A",  {5, 4}},
        {"up not echoed",      teVT100orANSI, false, ecCursorUp,      "\033[A",  {5, 5}},
        {"home echoed",        teVT100orANSI, true,  ecCursorHome,    "\033[H",  {1, 1}},
        {"application down",   teVT100orANSI, true,  ecAppCursorDown, "\033OB",  {5, 6}},
        {"vt52 left",          teVT52,        true,  ecCursorLeft,    "\033D",   {4, 5}},
        {"vt52 has no app up", teVT52,        true,  ecAppCursorUp,   "",        {5, 4}},
        {"no parser",          teNone,        true,  ecCursorUp,      "",        {5, 5}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TPortFixture p(row.emulation);
        p.f.term.SetCaretCell(5, 5);
        p.f.term.SetLocalEcho(row.localEcho);
        p.f.term.TransmitCode(row.code);
        EXPECT_EQ(p.pty.ReadNow(), row.sent);
        EXPECT_EQ(p.f.term.CaretPos(), row.caret) << p.f.term.CaretPos().X << "," << p.f.term.CaretPos().Y;
    }
}

TEST(TerminalOnPort, Binding) {
    TPtyPair pty;
    TTermFixture f(teVT100orANSI);
    auto* port1 = new TComPort;
    TComPort port2;
    port1->SetPort(QString::fromStdString(pty.SlavePath()));
    f.term.SetComPort(port1);
    f.term.SetComPort(port1); // no second registration
    f.term.SetComPort(&port2);
    f.term.SetComPort(port1);
    EXPECT_EQ(f.term.ComPort(), port1);
    f.term.SetConnected(true);
    EXPECT_TRUE(port1->Connected());
    EXPECT_TRUE(f.term.Connected());

    // The port goes away while bound: the terminal lets go of it and stays usable.
    delete port1;
    EXPECT_EQ(f.term.ComPort(), nullptr);
    EXPECT_FALSE(f.term.Connected());
    f.term.SetConnected(true);
    f.term.SendChar('x');
    f.Feed("\033[6nok");
    EXPECT_EQ(f.RowTexts()[0], "ok");

    // Unbinding leaves the other port without the link (a second unregister would raise).
    f.term.SetComPort(&port2);
    f.term.SetComPort(nullptr);
    EXPECT_NO_THROW(f.term.SetComPort(&port2));
}
