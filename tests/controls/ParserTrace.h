#pragma once

#include "controls/EscapeCodes.h"

#include <QMetaEnum>
#include <QStringList>

#include <ostream>

// A readable trace of parser events for table tests: a plain byte as 'c', a code as its name with the
// parameters in brackets, "ecCursorHome[10|20]"; ecUnknown adds its collected bytes in braces. Bytes
// outside printable ASCII are written \xhh.
inline QString TraceBytes(const QByteArray& bytes) {
    QString out;
    for (char ch : bytes) {
        const auto b = uint8_t(ch);
        if (b >= 0x20 && b < 0x7F)
            out += QChar(b);
        else
            out += QStringLiteral("\\x%1").arg(b, 2, 16, QChar('0'));
    }
    return out;
}

inline QString TraceCode(TEscapeCode code, const QByteArrayList& params, const QByteArray& data) {
    QStringList texts;
    for (const QByteArray& p : params)
        texts << TraceBytes(p);
    QString out = QString::fromLatin1(QMetaEnum::fromType<TEscapeCode>().valueToKey(code)) + "[" +
                  texts.join('|') + "]";
    if (code == ecUnknown)
        out += "{" + TraceBytes(data) + "}";
    return out;
}

inline QString TracePlain(char ch) {
    return "'" + TraceBytes(QByteArray(1, ch)) + "'";
}

// Feeds the bytes and acts as the terminal does after each code: reads it, then clears ParamList.
inline QStringList TraceParser(TEscapeCodes& parser, const QByteArray& bytes) {
    QStringList events;
    for (char ch : bytes) {
        switch (parser.FeedChar(ch)) {
        case frPlainChar:
            events << TracePlain(parser.LastChar());
            break;
        case frCodeReady:
            events << TraceCode(parser.Code(), parser.ParamList(), parser.Data());
            parser.ParamList().clear();
            break;
        case frPending:
            break;
        }
    }
    return events;
}

// Readable failure messages for QString values in gtest.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
