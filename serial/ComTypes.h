#pragma once

#include <QFlags>
#include <QObject>

#include <cstdint>

// The vocabulary of port settings. Enumerations that hold a setting count from 0 in the order given;
// enumerations whose values are members of a set carry the member's bit (bit n for the n-th value), so
// that a set is a QFlags and its integer value is the set's stored bit pattern.
namespace CPort {
Q_NAMESPACE

enum TBaudRate {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
Q_ENUM_NS(TBaudRate)

enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
Q_ENUM_NS(TStopBits)

enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
Q_ENUM_NS(TDataBits)

enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
Q_ENUM_NS(TParityBits)

enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
Q_ENUM_NS(TDTRFlowControl)

enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
Q_ENUM_NS(TRTSFlowControl)

enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
Q_ENUM_NS(TFlowControl)

enum TSyncMethod { smThreadSync, smWindowSync, smNone };
Q_ENUM_NS(TSyncMethod)

enum TComEvent : uint16_t {
    evRxChar = 0x0001,
    evTxEmpty = 0x0002,
    evRxFlag = 0x0004,
    evRing = 0x0008,
    evBreak = 0x0010,
    evCTS = 0x0020,
    evDSR = 0x0040,
    evError = 0x0080,
    evRLSD = 0x0100,
    evRx80Full = 0x0200
};
Q_DECLARE_FLAGS(TComEvents, TComEvent)
Q_FLAG_NS(TComEvents)
constexpr int kAllComEvents = 0x3FF;

enum TComError : uint8_t {
    ceFrame = 0x01,
    ceRxParity = 0x02,
    ceOverrun = 0x04,
    ceBreak = 0x08,
    ceIO = 0x10,
    ceMode = 0x20,
    ceRxOver = 0x40,
    ceTxFull = 0x80
};
Q_DECLARE_FLAGS(TComErrors, TComError)
Q_FLAG_NS(TComErrors)

enum TModemSignal : uint8_t { msCTS = 0x01, msDSR = 0x02, msRing = 0x04, msRLSD = 0x08 };
Q_DECLARE_FLAGS(TModemSignals, TModemSignal)
Q_FLAG_NS(TModemSignals)

enum TSettingGroup : uint8_t {
    sgBasic = 0x01,
    sgFlowControl = 0x02,
    sgBuffer = 0x04,
    sgTimeouts = 0x08,
    sgParity = 0x10,
    sgOthers = 0x20
};
Q_DECLARE_FLAGS(TSettingGroups, TSettingGroup)
Q_FLAG_NS(TSettingGroups)

enum TAsyncKind { akWrite, akRead };
Q_ENUM_NS(TAsyncKind)

} // namespace CPort

Q_DECLARE_OPERATORS_FOR_FLAGS(CPort::TComEvents)
Q_DECLARE_OPERATORS_FOR_FLAGS(CPort::TComErrors)
Q_DECLARE_OPERATORS_FOR_FLAGS(CPort::TModemSignals)
Q_DECLARE_OPERATORS_FOR_FLAGS(CPort::TSettingGroups)

// The port's names are used unqualified throughout, as in the rest of the system.
using CPort::TAsyncKind;
using CPort::TBaudRate;
using CPort::TComError;
using CPort::TComErrors;
using CPort::TComEvent;
using CPort::TComEvents;
using CPort::TDataBits;
using CPort::TDTRFlowControl;
using CPort::TFlowControl;
using CPort::TModemSignal;
using CPort::TModemSignals;
using CPort::TParityBits;
using CPort::TRTSFlowControl;
using CPort::TSettingGroup;
using CPort::TSettingGroups;
using CPort::TStopBits;
using CPort::TSyncMethod;
using enum CPort::TAsyncKind;
using enum CPort::TBaudRate;
using enum CPort::TComError;
using enum CPort::TComEvent;
using enum CPort::TDataBits;
using enum CPort::TDTRFlowControl;
using enum CPort::TFlowControl;
using enum CPort::TModemSignal;
using enum CPort::TParityBits;
using enum CPort::TRTSFlowControl;
using enum CPort::TSettingGroup;
using enum CPort::TStopBits;
using enum CPort::TSyncMethod;
