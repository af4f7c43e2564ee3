#pragma once

#include "serial/platform/SerialDevice.h"

#include <string>

// Serial ports on a network device server, named "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (HOST a
// name, an IPv4 address or an IPv6 address in brackets).
//
// Both run on the shared engine (TStreamSerialDevice), so transfers, timeouts, purge, the input queue and
// comm events behave as on a local port.
// - tcp:// is a raw byte stream: the engine reads and writes the socket itself; line settings are
//   accepted and kept without effect, there are no modem signals.
// - rfc2217:// speaks the Telnet COM-PORT option. A relay thread owns the connection: it undoes the
//   Telnet framing (IAC doubling, negotiation, the server's answers and notifications) and hands the plain
//   data to the engine through a socket pair. Line settings are sent through the option and checked
//   against the server's answers: a refused or changed value, or no answer within kAnswerMs, refuses the
//   settings (EINVAL / ETIMEDOUT) and the previous ones are sent again. Answers are counted per command,
//   so a late answer to an exchange that timed out never passes for the answer to the next one; an
//   answer nobody asked for is ignored. DTR, RTS and break requests are
//   sent without waiting (a server whose serial side has no modem lines, such as a pseudo-terminal, does
//   not answer them). Modem and line state come from the server's notifications.
// - Opening connects within the timeout; a refused connection, an unknown host or the timeout fail with
//   the system's error (ECONNREFUSED, ENXIO, ETIMEDOUT); a server that refuses the COM-PORT option fails
//   with EPROTONOSUPPORT. Names are resolved on a helper thread within the same limit.
// - Every wait for the server has a limit (TNetworkLimits) and runs through NetworkWait.h, so the
//   main thread's event loop keeps turning meanwhile: opening, settings exchanges and the drain at close.
// - A purge of the input sends PURGE-DATA and waits for the server's answer (PurgeMs at most); what
//   arrived before it is stale. Output handed to the connection counts as sent on both kinds, as on a
//   tcp:// socket: a purge of the output keeps it.
// - Closing hands every byte reported written to the server first: the relay forwards what it holds,
//   the connection is shut for writing and the server's acknowledgement waited for, within DrainMs;
//   what is still unsent then is dropped and reported through the waiter.
// - Memory is bounded both ways: the queue toward the engine stops reading the server when full (it
//   may grow to kMaxHeld while a settings answer is awaited behind unread data, so settings work with
//   input unread), and a server that floods us with negotiation while not reading our answers, or that
//   takes none of our bytes for StallMs, is dropped as a protocol error (EPROTO).
// - A connection that drops is a device that went away: pending requests fail with EIO, as for a pty
//   whose far end closed.
struct TNetworkAddress {
    bool Rfc2217 = false;
    std::string Host; // without brackets
    uint16_t Port = 0;
    bool operator==(const TNetworkAddress&) const = default;
};

// True when the name has a network scheme ("rfc2217://" or "tcp://", any case).
bool IsNetworkPortName(const std::string& name);
// Splits a network port name; false when it is not one or is malformed.
bool ParseNetworkPortName(const std::string& name, TNetworkAddress* address);

// Whether the server takes a connection within timeoutMs: 0, or the system's error. The connection is
// closed at once; used to learn that a lost server is back before the port is opened again. A
// readable cancelFd (an eventfd, -1: none) ends the probe at once with ECANCELED.
int ProbeNetworkPort(const std::string& name, int timeoutMs, int cancelFd = -1);

// The time limits of the network ports; tests shorten them.
struct TNetworkLimits {
    int ConnectMs = 5000; // name, connection and the option's negotiation
    int AnswerMs = 3000;  // a settings exchange
    int PurgeMs = 1000;   // a purge of the input waits this long at most for the server's answer
    int DrainMs = 3000;   // the close hands on what was written
    int StallMs = 30000;  // rfc2217://: a server that takes none of our bytes this long is dropped
};

class TNetworkSerialDevice {
public:
    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr int kAnswerMs = 3000;
    static constexpr size_t kHighWater = 256 * 1024;    // a queue this full stops reading its source
    static constexpr size_t kMaxHeld = 8 * 1024 * 1024; // toward the engine while an answer is awaited

    static TNetworkLimits Limits();
    static void SetLimits(const TNetworkLimits& limits);

    // Connects and wraps the connection in the engine; nullptr with *error on failure (EINVAL for a
    // malformed name). connectTimeoutMs 0: the limit in force.
    static std::unique_ptr<TSerialDevice> Open(const std::string& name, int* error, int connectTimeoutMs = 0);
};
