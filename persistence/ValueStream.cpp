#include "persistence/ValueStream.h"

#include <QIODevice>

#include <cmath>
#include <cstring>

QString ReadErrorText() {
    return QStringLiteral("Stream read error");
}
QString WriteErrorText() {
    return QStringLiteral("Stream write error");
}
QString InvalidFormatText() {
    return QStringLiteral("Invalid stream format");
}
QString InvalidValueText() {
    return QStringLiteral("Invalid property value");
}

void DoubleToExtended(double value, uint8_t out[10]) {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    const bool negative = bits >> 63;
    const int exp = int((bits >> 52) & 0x7FF);
    const uint64_t frac = bits & ((uint64_t(1) << 52) - 1);
    uint64_t mant = 0;
    int biased = 0;
    if (exp == 0x7FF) {
        biased = 0x7FFF;
        mant = (uint64_t(1) << 63) | (frac << 11);
        if (frac != 0)
            mant |= uint64_t(1) << 62; // quiet NaN
    } else if (exp == 0 && frac == 0) {
        biased = 0;
        mant = 0;
    } else if (exp == 0) {
        int top = 63 - __builtin_clzll(frac); // highest set bit, 0..51
        mant = frac << (63 - top);
        biased = top - 1074 + 16383;
    } else {
        mant = ((uint64_t(1) << 52) | frac) << 11;
        biased = exp - 1023 + 16383;
    }
    for (int i = 0; i < 8; ++i)
        out[i] = uint8_t(mant >> (8 * i));
    const uint16_t top16 = uint16_t(biased) | (negative ? 0x8000 : 0);
    out[8] = uint8_t(top16 & 0xFF);
    out[9] = uint8_t(top16 >> 8);
}

double ExtendedToDouble(const uint8_t in[10]) {
    uint64_t mant = 0;
    for (int i = 0; i < 8; ++i)
        mant |= uint64_t(in[i]) << (8 * i);
    const uint16_t top16 = uint16_t(in[8] | (in[9] << 8));
    const bool negative = top16 & 0x8000;
    const int biased = top16 & 0x7FFF;
    double value;
    if (biased == 0x7FFF)
        value = (mant << 1) == 0 ? HUGE_VAL : std::nan("");
    else if (mant == 0)
        value = 0.0;
    else
        value = std::ldexp(double(mant), (biased == 0 ? 1 : biased) - 16383 - 63);
    return negative ? -value : value;
}

QByteArray EncodeTextValue(const QString& text) {
    QByteArray out;
    const QByteArray utf8 = text.toUtf8();
    auto putLength = [&out](uint32_t n) {
        for (int i = 0; i < 4; ++i)
            out.append(char((n >> (8 * i)) & 0xFF));
    };
    // Text that is not valid UTF-16 (a lone surrogate) has no UTF-8 form: it is kept as wide text.
    if (utf8.size() >= 2 * text.size() || !text.isValidUtf16()) {
        out.append(char(TValueType::vaWString));
        putLength(uint32_t(text.size()));
        for (QChar c : text) {
            out.append(char(c.unicode() & 0xFF));
            out.append(char(c.unicode() >> 8));
        }
        return out;
    }
    const QByteArray latin = text.toLatin1();
    if (latin != utf8) {
        out.append(char(TValueType::vaUTF8String));
        putLength(uint32_t(utf8.size()));
        out.append(utf8);
    } else if (latin.size() <= 255) {
        out.append(char(TValueType::vaString));
        out.append(char(latin.size()));
        out.append(latin);
    } else {
        out.append(char(TValueType::vaLString));
        putLength(uint32_t(latin.size()));
        out.append(latin);
    }
    return out;
}

TNestingGuard::TNestingGuard(int& depth) : m_depth(depth) {
    if (++m_depth > kMaxNestingDepth) {
        --m_depth;
        throw EFilerError(InvalidFormatText());
    }
}

// ---- TBinaryInput

TBinaryInput::TBinaryInput(QIODevice* stream, int bufSize)
    : m_stream(stream), m_buffer(size_t(std::max(bufSize, 16))), m_bufStart(stream ? stream->pos() : 0) {}

TBinaryInput::~TBinaryInput() {
    if (m_stream && !m_stream->isSequential())
        m_stream->seek(m_bufStart + m_bufPos);
}

bool TBinaryInput::Fill() {
    if (!m_stream)
        return false;
    m_bufStart += m_bufEnd;
    m_bufPos = 0;
    m_bufEnd = 0;
    const qint64 n = m_stream->read(m_buffer.data(), qint64(m_buffer.size()));
    if (n <= 0)
        return false;
    m_bufEnd = n;
    return true;
}

void TBinaryInput::Read(void* buffer, qint64 count) {
    if (count < 0 || count > Left())
        throw EFilerError(ReadErrorText());
    char* out = static_cast<char*>(buffer);
    while (count > 0) {
        if (m_bufPos == m_bufEnd && !Fill())
            throw EFilerError(ReadErrorText());
        const qint64 n = std::min(count, m_bufEnd - m_bufPos);
        std::memcpy(out, m_buffer.data() + m_bufPos, size_t(n));
        m_bufPos += n;
        out += n;
        count -= n;
    }
}

QByteArray TBinaryInput::ReadBytes(qint64 count) {
    if (count < 0 || count > Left() || count > qint64(kMaxValueBytes))
        throw EFilerError(ReadErrorText());
    QByteArray out(count, Qt::Uninitialized);
    Read(out.data(), count);
    return out;
}

uint8_t TBinaryInput::ReadByte() {
    uint8_t b;
    Read(&b, 1);
    return b;
}

uint8_t TBinaryInput::PeekByte() {
    if (m_bufPos == m_bufEnd && !Fill())
        throw EFilerError(ReadErrorText());
    return uint8_t(m_buffer[size_t(m_bufPos)]);
}

bool TBinaryInput::AtEnd() {
    return m_bufPos == m_bufEnd && !Fill();
}

qint64 TBinaryInput::Left() const {
    const qint64 buffered = m_bufEnd - m_bufPos;
    if (!m_stream)
        return buffered;
    if (m_stream->isSequential())
        return buffered + m_stream->bytesAvailable();
    return buffered + std::max<qint64>(0, m_stream->size() - m_stream->pos());
}

qint64 TBinaryInput::Position() const {
    return m_bufStart + m_bufPos;
}

void TBinaryInput::Seek(qint64 position) {
    if (position >= m_bufStart && position <= m_bufStart + m_bufEnd) {
        m_bufPos = position - m_bufStart;
        return;
    }
    if (!m_stream || m_stream->isSequential() || !m_stream->seek(position))
        throw EFilerError(ReadErrorText());
    m_bufStart = position;
    m_bufPos = m_bufEnd = 0;
}

TValueType TBinaryInput::ReadValue() {
    return TValueType(ReadByte());
}

void TBinaryInput::ReadListEnd() {
    if (ReadValue() != TValueType::vaNull)
        throw EFilerError(InvalidValueText());
}

QByteArray TBinaryInput::ReadShortStr() {
    return ReadBytes(ReadByte());
}

uint32_t TBinaryInput::ReadU32() {
    uint8_t b[4];
    Read(b, 4);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

int64_t TBinaryInput::ReadIntegerData(TValueType type) {
    switch (type) {
    case TValueType::vaInt8:
        return int8_t(ReadByte());
    case TValueType::vaInt16: {
        uint8_t b[2];
        Read(b, 2);
        return int16_t(uint16_t(b[0] | (b[1] << 8)));
    }
    case TValueType::vaInt32:
        return int32_t(ReadU32());
    case TValueType::vaInt64: {
        const uint64_t lo = ReadU32();
        const uint64_t hi = ReadU32();
        return int64_t(lo | (hi << 32));
    }
    default:
        throw EFilerError(InvalidValueText());
    }
}

double TBinaryInput::ReadExtendedData() {
    uint8_t b[10];
    Read(b, 10);
    return ExtendedToDouble(b);
}

QByteArray TBinaryInput::ReadLengthPrefixed() {
    return ReadBytes(ReadU32());
}

QString TBinaryInput::ReadTextData(TValueType type) {
    switch (type) {
    case TValueType::vaString:
        return QString::fromLatin1(ReadShortStr());
    case TValueType::vaLString:
        return QString::fromLatin1(ReadLengthPrefixed());
    case TValueType::vaUTF8String:
        return QString::fromUtf8(ReadLengthPrefixed());
    case TValueType::vaWString: {
        const uint32_t units = ReadU32();
        if (qint64(units) * 2 > Left())
            throw EFilerError(ReadErrorText());
        const QByteArray raw = ReadBytes(qint64(units) * 2);
        QString text(qsizetype(units), Qt::Uninitialized);
        for (uint32_t i = 0; i < units; ++i)
            text[i] = QChar(char16_t(uint8_t(raw[2 * i]) | (uint8_t(raw[2 * i + 1]) << 8)));
        return text;
    }
    default:
        throw EFilerError(InvalidValueText());
    }
}

void TBinaryInput::SkipValue() {
    TNestingGuard guard(m_depth);
    auto skip = [this](qint64 n) {
        if (n < 0 || n > Left())
            throw EFilerError(ReadErrorText());
        Seek(Position() + n);
    };
    const TValueType type = ReadValue();
    switch (type) {
    case TValueType::vaNull:
    case TValueType::vaFalse:
    case TValueType::vaTrue:
    case TValueType::vaNil:
        break;
    case TValueType::vaList:
        while (!EndOfList())
            SkipValue();
        ReadByte();
        break;
    case TValueType::vaInt8:
        skip(1);
        break;
    case TValueType::vaInt16:
        skip(2);
        break;
    case TValueType::vaInt32:
    case TValueType::vaSingle:
        skip(4);
        break;
    case TValueType::vaInt64:
    case TValueType::vaCurrency:
    case TValueType::vaDate:
        skip(8);
        break;
    case TValueType::vaExtended:
        skip(10);
        break;
    case TValueType::vaString:
    case TValueType::vaIdent:
        skip(ReadByte());
        break;
    case TValueType::vaBinary:
    case TValueType::vaLString:
    case TValueType::vaUTF8String:
        skip(ReadU32());
        break;
    case TValueType::vaWString:
        skip(qint64(ReadU32()) * 2);
        break;
    case TValueType::vaSet:
        for (;;) {
            const uint8_t n = ReadByte();
            if (n == 0)
                break;
            skip(n);
        }
        break;
    case TValueType::vaCollection:
        while (!EndOfList()) {
            const TValueType t = NextValue();
            if (t == TValueType::vaInt8 || t == TValueType::vaInt16 || t == TValueType::vaInt32)
                SkipValue(); // the optional item index
            if (ReadValue() != TValueType::vaList)
                throw EFilerError(InvalidValueText());
            SkipRecords();
        }
        ReadByte();
        break;
    default:
        throw EFilerError(InvalidValueText());
    }
}

void TBinaryInput::SkipProperty() {
    ReadShortStr();
    SkipValue();
}

void TBinaryInput::SkipRecords() {
    TNestingGuard guard(m_depth);
    while (!EndOfList())
        SkipProperty();
    ReadByte();
}

// ---- TBinaryOutput

TBinaryOutput::TBinaryOutput(QIODevice* stream, int bufSize)
    : m_stream(stream), m_buffer(size_t(std::max(bufSize, 16))) {}

TBinaryOutput::~TBinaryOutput() = default;

void TBinaryOutput::FlushBuffer() {
    if (m_bufPos == 0)
        return;
    const qint64 n = m_stream ? m_stream->write(m_buffer.data(), m_bufPos) : -1;
    const qint64 wanted = m_bufPos;
    m_bufPos = 0;
    if (n != wanted)
        throw EFilerError(WriteErrorText());
}

void TBinaryOutput::Write(const void* data, qint64 count) {
    const char* in = static_cast<const char*>(data);
    while (count > 0) {
        if (m_bufPos == qint64(m_buffer.size()))
            FlushBuffer();
        const qint64 n = std::min(count, qint64(m_buffer.size()) - m_bufPos);
        std::memcpy(m_buffer.data() + m_bufPos, in, size_t(n));
        m_bufPos += n;
        in += n;
        count -= n;
    }
}

void TBinaryOutput::WriteShortStr(const QByteArray& text) {
    const qsizetype n = std::min<qsizetype>(text.size(), 255);
    WriteByte(uint8_t(n));
    Write(text.constData(), n);
}

void TBinaryOutput::WriteU32(uint32_t value) {
    const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    Write(b, 4);
}

void TBinaryOutput::WriteInteger(int32_t value) {
    if (value >= -128 && value <= 127) {
        WriteValue(TValueType::vaInt8);
        WriteByte(uint8_t(int8_t(value)));
    } else if (value >= -32768 && value <= 32767) {
        WriteValue(TValueType::vaInt16);
        const uint16_t u = uint16_t(int16_t(value));
        const uint8_t b[2] = {uint8_t(u), uint8_t(u >> 8)};
        Write(b, 2);
    } else {
        WriteValue(TValueType::vaInt32);
        WriteU32(uint32_t(value));
    }
}

void TBinaryOutput::WriteInt64(int64_t value) {
    if (value >= INT32_MIN && value <= INT32_MAX) {
        WriteInteger(int32_t(value));
        return;
    }
    WriteValue(TValueType::vaInt64);
    WriteU32(uint32_t(uint64_t(value)));
    WriteU32(uint32_t(uint64_t(value) >> 32));
}

void TBinaryOutput::WriteExtended(double value) {
    uint8_t b[10];
    DoubleToExtended(value, b);
    WriteValue(TValueType::vaExtended);
    Write(b, 10);
}

void TBinaryOutput::WriteSingle(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    WriteValue(TValueType::vaSingle);
    WriteU32(bits);
}

void TBinaryOutput::WriteCurrency(int64_t scaled) {
    WriteValue(TValueType::vaCurrency);
    WriteU32(uint32_t(uint64_t(scaled)));
    WriteU32(uint32_t(uint64_t(scaled) >> 32));
}

void TBinaryOutput::WriteDate(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    WriteValue(TValueType::vaDate);
    WriteU32(uint32_t(bits));
    WriteU32(uint32_t(bits >> 32));
}

void TBinaryOutput::WriteIdent(const QString& ident) {
    if (ident.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        WriteValue(TValueType::vaFalse);
    else if (ident.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        WriteValue(TValueType::vaTrue);
    else if (ident.compare(QLatin1String("Null"), Qt::CaseInsensitive) == 0)
        WriteValue(TValueType::vaNull);
    else if (ident.compare(QLatin1String("nil"), Qt::CaseInsensitive) == 0)
        WriteValue(TValueType::vaNil);
    else {
        WriteValue(TValueType::vaIdent);
        WriteShortStr(ident.toLatin1());
    }
}

void TBinaryOutput::WriteBinary(const QByteArray& bytes) {
    WriteValue(TValueType::vaBinary);
    WriteU32(uint32_t(bytes.size()));
    Write(bytes);
}
