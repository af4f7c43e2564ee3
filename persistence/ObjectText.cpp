#include "persistence/ObjectText.h"

#include "persistence/ValueStream.h"
#include "runtime/HexDigit.h"

#include <QBuffer>
#include <QIODevice>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr int kMaxTextPiece = 64; // characters of a text before it is split with " +"
constexpr int kBinaryBytesPerLine = 32;
constexpr qint64 kMaxTextStreamBytes = 64 * 1024 * 1024;

bool IsIdentStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdentChar(char c) {
    return IsIdentStart(c) || (c >= '0' && c <= '9');
}

// Names and identifiers of the text form: a letter or underscore, then letters, digits, underscores
// and dots (dotted record names and reference names).
bool IsValidIdent(const QByteArray& text) {
    if (text.isEmpty() || !IsIdentStart(text[0]))
        return false;
    for (char c : text)
        if (!IsIdentChar(c) && c != '.')
            return false;
    return true;
}

QByteArray CheckedIdent(const QByteArray& text) {
    if (!IsValidIdent(text))
        throw EFilerError(InvalidValueText());
    return text;
}

// Spellings of the values that have no digits; the reader takes them back (a number never starts so).
constexpr const char* kNonFinite[] = {"+Inf", "-Inf", "+NaN", "-NaN"};

QByteArray FloatText(double value) {
    if (std::isnan(value))
        return std::signbit(value) ? "-NaN" : "+NaN";
    if (std::isinf(value))
        return value < 0 ? "-Inf" : "+Inf";
    if (value == 0 && std::signbit(value))
        return "-0.0"; // number() drops the sign of a negative zero
    QByteArray text = QByteArray::number(value, 'g', 17);
    if (!text.contains('.') && !text.contains('e'))
        text += ".0";
    return text;
}

QByteArray CurrencyText(int64_t scaled) {
    const bool negative = scaled < 0;
    const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(scaled) : uint64_t(scaled);
    QByteArray frac = QByteArray::number(qulonglong(magnitude % 10000)).rightJustified(4, '0');
    return (negative ? "-" : "") + QByteArray::number(qulonglong(magnitude / 10000)) + "." + frac + "c";
}

// ---- binary to text

class TBinaryToText {
public:
    TBinaryToText(QIODevice& in, QIODevice& out) : m_in(&in), m_out(&out) {}

    void Run() {
        char signature[4];
        m_in.Read(signature, 4);
        if (std::memcmp(signature, "TPF0", 4) != 0)
            throw EFilerError(InvalidFormatText());
        ConvertObject(0);
        m_out.FlushBuffer();
    }

private:
    void Put(const QByteArray& text) { m_out.Write(text); }
    void NewLine() { Put("\r\n"); }
    void Indent(int level) { Put(QByteArray(2 * level, ' ')); }

    void ConvertObject(int level) {
        TNestingGuard guard(m_depth);
        int flags = 0;
        int64_t position = 0;
        if ((m_in.PeekByte() & 0xF0) == 0xF0) {
            flags = m_in.ReadByte() & 0x0F;
            if (flags & 2)
                position = m_in.ReadIntegerData(m_in.ReadValue());
        }
        const QByteArray className = CheckedIdent(m_in.ReadShortStr());
        const QByteArray name = m_in.ReadShortStr();
        Indent(level);
        Put(flags & 1 ? "inherited " : (flags & 4 ? "inline " : "object "));
        if (!name.isEmpty())
            Put(CheckedIdent(name) + ": ");
        Put(className);
        if (flags & 2)
            Put(" [" + QByteArray::number(qlonglong(position)) + "]");
        NewLine();
        while (!m_in.EndOfList())
            ConvertProperty(level + 1);
        m_in.ReadByte();
        while (!m_in.EndOfList())
            ConvertObject(level + 1);
        m_in.ReadByte();
        Indent(level);
        Put("end");
        NewLine();
    }

    void ConvertProperty(int level) {
        const QByteArray name = CheckedIdent(m_in.ReadShortStr());
        Indent(level);
        Put(name + " = ");
        ConvertValue(level);
        NewLine();
    }

    void ConvertText(const QString& text, int level) {
        if (text.isEmpty()) {
            Put("''");
            return;
        }
        bool quoted = false;
        int piece = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (piece >= kMaxTextPiece) {
                if (quoted)
                    Put("'");
                quoted = false;
                Put(" +");
                NewLine();
                Indent(level + 1);
                piece = 0;
            }
            const char16_t c = text[i].unicode();
            if (c >= 32 && c < 127) {
                if (!quoted)
                    Put("'");
                quoted = true;
                Put(c == '\'' ? QByteArray("''") : QByteArray(1, char(c)));
                piece += c == '\'' ? 2 : 1;
            } else {
                if (quoted)
                    Put("'");
                quoted = false;
                const QByteArray code = "#" + QByteArray::number(uint(c));
                Put(code);
                piece += int(code.size());
            }
        }
        if (quoted)
            Put("'");
    }

    void ConvertValue(int level) {
        TNestingGuard guard(m_depth);
        const TValueType type = m_in.ReadValue();
        switch (type) {
        case TValueType::vaNull:
            Put("Null");
            break;
        case TValueType::vaFalse:
            Put("False");
            break;
        case TValueType::vaTrue:
            Put("True");
            break;
        case TValueType::vaNil:
            Put("nil");
            break;
        case TValueType::vaList:
            Put("(");
            while (!m_in.EndOfList()) {
                NewLine();
                Indent(level + 1);
                ConvertValue(level + 1);
            }
            m_in.ReadByte();
            Put(")");
            break;
        case TValueType::vaInt8:
        case TValueType::vaInt16:
        case TValueType::vaInt32:
        case TValueType::vaInt64:
            Put(QByteArray::number(qlonglong(m_in.ReadIntegerData(type))));
            break;
        case TValueType::vaExtended:
            Put(FloatText(m_in.ReadExtendedData()));
            break;
        case TValueType::vaSingle: {
            const uint32_t bits = m_in.ReadU32();
            float f;
            std::memcpy(&f, &bits, 4);
            Put(FloatText(double(f)) + "s");
            break;
        }
        case TValueType::vaCurrency:
            Put(CurrencyText(m_in.ReadIntegerData(TValueType::vaInt64)));
            break;
        case TValueType::vaDate: {
            const int64_t bits = m_in.ReadIntegerData(TValueType::vaInt64);
            double d;
            std::memcpy(&d, &bits, 8);
            Put(FloatText(d) + "d");
            break;
        }
        case TValueType::vaString:
        case TValueType::vaLString:
        case TValueType::vaWString:
        case TValueType::vaUTF8String:
            ConvertText(m_in.ReadTextData(type), level);
            break;
        case TValueType::vaIdent:
            Put(CheckedIdent(m_in.ReadShortStr()));
            break;
        case TValueType::vaBinary: {
            const QByteArray bytes = m_in.ReadLengthPrefixed();
            Put("{");
            for (qsizetype i = 0; i < bytes.size(); i += kBinaryBytesPerLine) {
                NewLine();
                Indent(level + 1);
                Put(bytes.mid(i, kBinaryBytesPerLine).toHex().toUpper());
            }
            Put("}");
            break;
        }
        case TValueType::vaSet: {
            Put("[");
            bool first = true;
            for (;;) {
                const QByteArray name = m_in.ReadShortStr();
                if (name.isEmpty())
                    break;
                if (!first)
                    Put(", ");
                first = false;
                Put(CheckedIdent(name));
            }
            Put("]");
            break;
        }
        case TValueType::vaCollection:
            Put("<");
            while (!m_in.EndOfList()) {
                NewLine();
                Indent(level + 1);
                Put("item");
                const TValueType t = m_in.NextValue();
                if (t == TValueType::vaInt8 || t == TValueType::vaInt16 || t == TValueType::vaInt32)
                    Put(" [" + QByteArray::number(qlonglong(m_in.ReadIntegerData(m_in.ReadValue()))) + "]");
                if (m_in.ReadValue() != TValueType::vaList)
                    throw EFilerError(InvalidValueText());
                NewLine();
                {
                    TNestingGuard itemGuard(m_depth);
                    while (!m_in.EndOfList())
                        ConvertProperty(level + 2);
                    m_in.ReadByte();
                }
                Indent(level + 1);
                Put("end");
            }
            m_in.ReadByte();
            Put(">");
            break;
        default:
            throw EFilerError(InvalidValueText());
        }
    }

    TBinaryInput m_in;
    TBinaryOutput m_out;
    int m_depth = 0;
};

// ---- text to binary

enum class TToken { tkEof, tkSymbol, tkIdent, tkString, tkInteger, tkFloat };

class TTextToBinary {
public:
    TTextToBinary(const QByteArray& text, QIODevice& out) : m_text(text), m_out(&out) {}

    void Run() {
        Next();
        m_out.Write("TPF0", 4);
        ConvertObject();
        m_out.FlushBuffer();
    }

private:
    [[noreturn]] void Error(const char* what) const {
        throw EFilerError(QStringLiteral("%1 on line %2").arg(QLatin1String(what)).arg(m_line));
    }

    // ---- tokenizer
    char At(qsizetype i) const { return i < m_text.size() ? m_text[i] : '\0'; }

    void Next() {
        while (m_pos < m_text.size() && uint8_t(m_text[m_pos]) <= ' ') {
            if (m_text[m_pos] == '\n')
                ++m_line;
            ++m_pos;
        }
        m_tokenText.clear();
        m_string.clear();
        if (m_pos >= m_text.size()) {
            m_token = TToken::tkEof;
            return;
        }
        const char c = m_text[m_pos];
        if (IsIdentStart(c)) {
            const qsizetype start = m_pos;
            while (m_pos < m_text.size() && (IsIdentChar(m_text[m_pos]) || m_text[m_pos] == '.'))
                ++m_pos;
            m_tokenText = m_text.mid(start, m_pos - start);
            m_token = TToken::tkIdent;
        } else if (c == '\'' || c == '#') {
            ReadString();
        } else if ((c >= '0' && c <= '9') ||
                   ((c == '-' || c == '+') && At(m_pos + 1) >= '0' && At(m_pos + 1) <= '9') || c == '$' ||
                   (c == '-' && At(m_pos + 1) == '$')) {
            ReadNumber();
        } else if (NonFiniteAt(m_pos)) {
            ReadNonFinite();
        } else {
            m_tokenText = QByteArray(1, c);
            m_token = TToken::tkSymbol;
            ++m_pos;
        }
    }

    void ReadString() {
        m_token = TToken::tkString;
        for (;;) {
            const char c = At(m_pos);
            if (c == '\'') {
                ++m_pos;
                for (;;) {
                    if (m_pos >= m_text.size() || m_text[m_pos] == '\r' || m_text[m_pos] == '\n')
                        Error("Unterminated string");
                    if (m_text[m_pos] == '\'') {
                        if (At(m_pos + 1) == '\'') {
                            m_string.append(QLatin1Char('\''));
                            m_pos += 2;
                            continue;
                        }
                        ++m_pos;
                        break;
                    }
                    m_string.append(QChar(char16_t(uint8_t(m_text[m_pos]))));
                    ++m_pos;
                }
            } else if (c == '#') {
                ++m_pos;
                uint32_t code = 0;
                const bool hex = At(m_pos) == '$';
                if (hex)
                    ++m_pos;
                const qsizetype start = m_pos;
                for (;;) {
                    const char d = At(m_pos);
                    const int digit = hex ? HexValue(d) : (d >= '0' && d <= '9' ? d - '0' : -1);
                    if (digit < 0)
                        break;
                    code = code * (hex ? 16 : 10) + uint32_t(digit);
                    if (code > 0xFFFF)
                        Error("Invalid character code");
                    ++m_pos;
                }
                if (m_pos == start)
                    Error("Invalid character code");
                m_string.append(QChar(char16_t(code)));
            } else {
                break;
            }
            if (m_string.size() > qsizetype(kMaxValueBytes))
                Error("Text too long");
        }
    }

    bool NonFiniteAt(qsizetype pos) const {
        for (const char* spelling : kNonFinite)
            if (m_text.mid(pos, 4) == spelling)
                return true;
        return false;
    }

    // +Inf, -Inf, +NaN, -NaN with the suffix of their kind (none, s or d).
    void ReadNonFinite() {
        m_tokenText = m_text.mid(m_pos, 4);
        m_pos += 4;
        m_suffix = 0;
        const char s = char(At(m_pos) | 0x20);
        if ((s == 's' || s == 'd') && !IsIdentChar(At(m_pos + 1))) {
            m_suffix = s;
            ++m_pos;
        }
        if (IsIdentChar(At(m_pos)))
            Error("Invalid number");
        m_token = TToken::tkFloat;
    }

    void ReadNumber() {
        const qsizetype start = m_pos;
        if (At(m_pos) == '-' || At(m_pos) == '+')
            ++m_pos;
        if (At(m_pos) == '$') {
            ++m_pos;
            const qsizetype digits = m_pos;
            while (std::isxdigit(uint8_t(At(m_pos))))
                ++m_pos;
            if (m_pos == digits)
                Error("Invalid number");
            bool ok = false;
            const QByteArray hexDigits = m_text.mid(digits, m_pos - digits);
            const qulonglong magnitude = hexDigits.toULongLong(&ok, 16);
            if (!ok)
                Error("Invalid number");
            // Modulo 2^64, as the digits are bits: -$8000000000000000 is the smallest number.
            m_integer = int64_t(m_text[start] == '-' ? uint64_t(0) - magnitude : uint64_t(magnitude));
            m_token = TToken::tkInteger;
            return;
        }
        bool isFloat = false;
        while (std::isdigit(uint8_t(At(m_pos))))
            ++m_pos;
        if (At(m_pos) == '.' && std::isdigit(uint8_t(At(m_pos + 1)))) {
            isFloat = true;
            ++m_pos;
            while (std::isdigit(uint8_t(At(m_pos))))
                ++m_pos;
        }
        if ((At(m_pos) == 'e' || At(m_pos) == 'E') &&
            (std::isdigit(uint8_t(At(m_pos + 1))) ||
             ((At(m_pos + 1) == '-' || At(m_pos + 1) == '+') && std::isdigit(uint8_t(At(m_pos + 2)))))) {
            isFloat = true;
            m_pos += 2;
            while (std::isdigit(uint8_t(At(m_pos))))
                ++m_pos;
        }
        m_tokenText = m_text.mid(start, m_pos - start);
        m_suffix = 0;
        const char s = char(At(m_pos) | 0x20);
        if (s == 's' || s == 'c' || s == 'd') {
            if (!IsIdentChar(At(m_pos + 1))) {
                m_suffix = s;
                isFloat = true;
                ++m_pos;
            }
        }
        m_token = isFloat ? TToken::tkFloat : TToken::tkInteger;
        if (!isFloat) {
            bool ok = false;
            m_integer = m_tokenText.toLongLong(&ok, 10);
            if (!ok)
                Error("Invalid number");
        }
    }

    bool IsSymbol(char c) const { return m_token == TToken::tkSymbol && m_tokenText[0] == c; }
    bool IsKeyword(const char* word) const {
        return m_token == TToken::tkIdent && m_tokenText.compare(word, Qt::CaseInsensitive) == 0;
    }
    void Expect(char c) {
        if (!IsSymbol(c))
            Error("Syntax error");
        Next();
    }
    QByteArray TakeIdent() {
        if (m_token != TToken::tkIdent || m_tokenText.size() > 255)
            Error("Identifier expected");
        QByteArray ident = m_tokenText;
        Next();
        return ident;
    }
    int64_t TakeInteger() {
        if (m_token != TToken::tkInteger)
            Error("Integer expected");
        const int64_t value = m_integer;
        Next();
        return value;
    }

    // ---- structure
    void ConvertObject() {
        TNestingGuard guard(m_depth);
        int flags = 0;
        if (IsKeyword("inherited"))
            flags = 1;
        else if (IsKeyword("inline"))
            flags = 4;
        else if (!IsKeyword("object"))
            Error("'object' expected");
        Next();
        QByteArray name;
        QByteArray className = TakeIdent();
        if (IsSymbol(':')) {
            Next();
            name = className;
            className = TakeIdent();
        }
        bool hasPosition = false;
        int64_t position = 0;
        if (IsSymbol('[')) {
            Next();
            position = TakeInteger();
            Expect(']');
            hasPosition = true;
            flags |= 2;
        }
        // A class name of 240 characters or more starts with a length byte that reads as the flags
        // prefix: such a name gets a prefix (with no flags) of its own.
        if (flags != 0 || className.size() >= 0xF0) {
            m_out.WriteByte(uint8_t(0xF0 | flags));
            if (hasPosition)
                m_out.WriteInt64(position);
        }
        m_out.WriteShortStr(className);
        m_out.WriteShortStr(name);
        while (!IsKeyword("end") && !IsKeyword("object") && !IsKeyword("inherited") && !IsKeyword("inline")) {
            if (m_token == TToken::tkEof)
                Error("'end' expected");
            ConvertProperty();
        }
        m_out.WriteListEnd();
        while (!IsKeyword("end")) {
            if (m_token == TToken::tkEof)
                Error("'end' expected");
            ConvertObject();
        }
        m_out.WriteListEnd();
        Next();
    }

    void ConvertProperty() {
        m_out.WriteShortStr(TakeIdent());
        Expect('=');
        ConvertValue();
    }

    void ConvertValue() {
        TNestingGuard guard(m_depth);
        switch (m_token) {
        case TToken::tkString: {
            QString text = m_string;
            Next();
            while (IsSymbol('+')) {
                Next();
                if (m_token != TToken::tkString)
                    Error("String expected");
                text += m_string;
                if (text.size() > qsizetype(kMaxValueBytes))
                    Error("Text too long");
                Next();
            }
            m_out.WriteString(text);
            return;
        }
        case TToken::tkInteger:
            m_out.WriteInt64(m_integer);
            Next();
            return;
        case TToken::tkFloat:
            ConvertFloat();
            Next();
            return;
        case TToken::tkIdent:
            m_out.WriteIdent(QString::fromLatin1(TakeIdent()));
            return;
        case TToken::tkSymbol:
            break;
        case TToken::tkEof:
            Error("Value expected");
        }
        if (IsSymbol('[')) {
            Next();
            m_out.WriteValue(TValueType::vaSet);
            if (!IsSymbol(']')) {
                for (;;) {
                    m_out.WriteShortStr(TakeIdent());
                    if (IsSymbol(']'))
                        break;
                    Expect(',');
                }
            }
            Next();
            m_out.WriteByte(0);
        } else if (IsSymbol('(')) {
            Next();
            m_out.WriteListBegin();
            while (!IsSymbol(')'))
                ConvertValue();
            Next();
            m_out.WriteListEnd();
        } else if (IsSymbol('{')) {
            ConvertBinary();
        } else if (IsSymbol('<')) {
            Next();
            m_out.WriteValue(TValueType::vaCollection);
            while (!IsSymbol('>')) {
                if (!IsKeyword("item"))
                    Error("'item' expected");
                Next();
                if (IsSymbol('[')) {
                    Next();
                    const int64_t index = TakeInteger();
                    if (index < INT32_MIN || index > INT32_MAX)
                        Error("Invalid number");
                    m_out.WriteInteger(int32_t(index));
                    Expect(']');
                }
                m_out.WriteListBegin();
                TNestingGuard itemGuard(m_depth);
                while (!IsKeyword("end")) {
                    if (m_token == TToken::tkEof)
                        Error("'end' expected");
                    ConvertProperty();
                }
                Next();
                m_out.WriteListEnd();
            }
            Next();
            m_out.WriteListEnd();
        } else {
            Error("Value expected");
        }
    }

    void ConvertFloat() {
        bool ok = false;
        if (m_suffix == 'c') {
            // Exact decimal with up to four fraction digits.
            QByteArray digits = m_tokenText;
            const bool negative = digits.startsWith('-');
            if (negative || digits.startsWith('+'))
                digits.remove(0, 1);
            if (digits.contains('e') || digits.contains('E'))
                Error("Invalid number");
            const qsizetype dot = digits.indexOf('.');
            QByteArray whole = dot < 0 ? digits : digits.left(dot);
            QByteArray frac = dot < 0 ? QByteArray() : digits.mid(dot + 1);
            if (frac.size() > 4 || whole.isEmpty() || whole.size() > 15)
                Error("Invalid number");
            const __int128 scaled =
                __int128(whole.toLongLong(&ok)) * 10000 + frac.leftJustified(4, '0').toLongLong();
            const __int128 signedValue = negative ? -scaled : scaled;
            if (!ok || signedValue > INT64_MAX || signedValue < INT64_MIN)
                Error("Invalid number");
            m_out.WriteCurrency(int64_t(signedValue));
            return;
        }
        double value;
        if (m_tokenText.size() == 4 && (m_tokenText.endsWith("Inf") || m_tokenText.endsWith("NaN"))) {
            value = m_tokenText.endsWith("Inf") ? HUGE_VAL : std::nan("");
            if (m_tokenText.startsWith('-'))
                value = -value;
        } else {
            value = m_tokenText.toDouble(&ok);
            if (!ok || !std::isfinite(value))
                Error("Invalid number");
        }
        if (m_suffix == 's') {
            // A finite number beyond the single range has no single form (and converting it is undefined).
            if (std::isfinite(value) && std::fabs(value) > double(std::numeric_limits<float>::max()))
                Error("Invalid number");
            m_out.WriteSingle(float(value));
        } else if (m_suffix == 'd') {
            m_out.WriteDate(value);
        } else {
            m_out.WriteExtended(value);
        }
    }

    void ConvertBinary() {
        // The tokenizer does not know hex digits: read the raw text up to '}'.
        QByteArray hex;
        for (;;) {
            if (m_pos >= m_text.size())
                Error("'}' expected");
            const char c = m_text[m_pos++];
            if (c == '}')
                break;
            if (c == '\n')
                ++m_line;
            if (uint8_t(c) <= ' ')
                continue;
            if (!std::isxdigit(uint8_t(c)))
                Error("Invalid binary value");
            hex.append(c);
        }
        if (hex.size() % 2 != 0)
            Error("Invalid binary value");
        m_out.WriteBinary(QByteArray::fromHex(hex));
        Next();
    }

    const QByteArray& m_text;
    qsizetype m_pos = 0;
    int m_line = 1;
    TToken m_token = TToken::tkEof;
    QByteArray m_tokenText;
    QString m_string;
    int64_t m_integer = 0;
    char m_suffix = 0;
    TBinaryOutput m_out;
    int m_depth = 0;
};

} // namespace

TStreamOriginalFormat TestStreamFormat(const QByteArray& head) {
    if (head.startsWith("TPF0") || (!head.isEmpty() && uint8_t(head[0]) == 0xFF))
        return TStreamOriginalFormat::sofBinary;
    if (head.isEmpty())
        return TStreamOriginalFormat::sofUnknown;
    switch (head[0]) {
    case '\t':
    case '\v':
    case '\r':
    case ' ':
    case 'o':
    case 'O':
    case 'i':
    case 'I':
        return TStreamOriginalFormat::sofText;
    default:
        return TStreamOriginalFormat::sofUnknown;
    }
}

TStreamOriginalFormat TestStreamFormat(QIODevice& stream) {
    return TestStreamFormat(stream.peek(4));
}

void ObjectBinaryToText(QIODevice& input, QIODevice& output) {
    TBinaryToText(input, output).Run();
}

void ObjectTextToBinary(QIODevice& input, QIODevice& output) {
    if (input.bytesAvailable() > kMaxTextStreamBytes)
        throw EFilerError(InvalidFormatText());
    // read(n) would reserve n bytes up front: read what is there.
    const QByteArray text = input.read(input.bytesAvailable());
    TTextToBinary(text, output).Run();
}

QByteArray ObjectBinaryToText(const QByteArray& binary) {
    QByteArray in = binary, out;
    QBuffer inBuf(&in), outBuf(&out);
    inBuf.open(QIODevice::ReadOnly);
    outBuf.open(QIODevice::WriteOnly);
    ObjectBinaryToText(inBuf, outBuf);
    return out;
}

QByteArray ObjectTextToBinary(const QByteArray& text) {
    QByteArray in = text, out;
    QBuffer inBuf(&in), outBuf(&out);
    inBuf.open(QIODevice::ReadOnly);
    outBuf.open(QIODevice::WriteOnly);
    ObjectTextToBinary(inBuf, outBuf);
    return out;
}
