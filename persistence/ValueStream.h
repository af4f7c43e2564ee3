#pragma once

#include "runtime/Exception.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

class QIODevice;

// Failures of the component stream: reading, writing, converting and applying values.
class EFilerError : public Exception {
public:
    using Exception::Exception;
};

// Tags of the values of the component stream.
enum class TValueType : uint8_t {
    vaNull = 0,
    vaList = 1,
    vaInt8 = 2,
    vaInt16 = 3,
    vaInt32 = 4,
    vaExtended = 5,
    vaString = 6,
    vaIdent = 7,
    vaFalse = 8,
    vaTrue = 9,
    vaBinary = 10,
    vaSet = 11,
    vaLString = 12,
    vaNil = 13,
    vaCollection = 14,
    vaSingle = 15,
    vaCurrency = 16,
    vaDate = 17,
    vaWString = 18,
    vaInt64 = 19,
    vaUTF8String = 20
};
constexpr uint8_t kLastValueType = 20;

// Bounds on what a stream may ask of its reader: nesting of blocks, collections and lists, and the
// size of one text or binary value. Every length is also checked against the bytes actually left.
constexpr int kMaxNestingDepth = 32;
constexpr uint32_t kMaxValueBytes = 16 * 1024 * 1024;
constexpr int kFilerBufferSize = 1024;

QString ReadErrorText();     // "Stream read error"
QString WriteErrorText();    // "Stream write error"
QString InvalidFormatText(); // "Invalid stream format"
QString InvalidValueText();  // "Invalid property value"

// 80-bit extended precision numbers (little-endian, 10 bytes) to and from double. Values beyond the
// range of double become infinities; extra precision is rounded away.
void DoubleToExtended(double value, uint8_t out[10]);
double ExtendedToDouble(const uint8_t in[10]);

// The 8-bit code page of stored text is Latin-1.
// Encodes wide text as the smallest text value (tag 18, 20, 6 or 12) that keeps every character:
// wide (18) when its UTF-8 form takes at least two bytes per unit or it holds a lone surrogate, UTF-8
// (20) when it is not plain ASCII, else 8-bit (6 up to 255 characters, 12 beyond).
QByteArray EncodeTextValue(const QString& text);

// Counts nesting; throws when a stream nests deeper than kMaxNestingDepth.
class TNestingGuard {
public:
    explicit TNestingGuard(int& depth);
    ~TNestingGuard() { --m_depth; }
    TNestingGuard(const TNestingGuard&) = delete;
    TNestingGuard& operator=(const TNestingGuard&) = delete;

private:
    int& m_depth;
};

// Buffered little-endian reading of the component stream from a device, through a fixed buffer. It
// never reads past the data: a read beyond the end fails with "Stream read error", and a length field
// larger than the bytes left fails the same way before anything is allocated. The device must be
// random-access (a failed record is skipped by going back to the start of its value). On destruction
// the device is positioned just after the last byte consumed.
class TBinaryInput {
public:
    TBinaryInput(QIODevice* stream, int bufSize = kFilerBufferSize);
    virtual ~TBinaryInput();
    TBinaryInput(const TBinaryInput&) = delete;
    TBinaryInput& operator=(const TBinaryInput&) = delete;

    void Read(void* buffer, qint64 count);
    QByteArray ReadBytes(qint64 count);
    uint8_t ReadByte();
    uint8_t PeekByte();
    bool AtEnd();
    // Bytes left after the current position.
    qint64 Left() const;
    qint64 Position() const;
    void Seek(qint64 position);

    TValueType ReadValue();
    TValueType NextValue() { return TValueType(PeekByte()); }
    bool EndOfList() { return PeekByte() == 0; }
    void ReadListEnd();
    QByteArray ReadShortStr();
    uint32_t ReadU32();
    // Data of the integer tags 2, 3, 4 and 19.
    int64_t ReadIntegerData(TValueType type);
    double ReadExtendedData();
    // Data of a text tag (6, 12, 18, 20) as wide text; 8-bit text is Latin-1.
    QString ReadTextData(TValueType type);
    QByteArray ReadLengthPrefixed(); // 4-byte length, bytes
    // Skips one value of any tag, nested ones included.
    void SkipValue();
    // Skips a record (name and value).
    void SkipProperty();
    // Skips the records up to and including the end marker.
    void SkipRecords();

protected:
    int m_depth = 0;

private:
    bool Fill();
    QIODevice* m_stream;
    std::vector<char> m_buffer;
    qint64 m_bufPos = 0;
    qint64 m_bufEnd = 0;
    qint64 m_bufStart = 0; // device position of m_buffer[0]
};

// Buffered writing of the component stream to a device through a fixed buffer. A device that refuses
// bytes fails the write with "Stream write error".
class TBinaryOutput {
public:
    TBinaryOutput(QIODevice* stream, int bufSize = kFilerBufferSize);
    virtual ~TBinaryOutput();
    TBinaryOutput(const TBinaryOutput&) = delete;
    TBinaryOutput& operator=(const TBinaryOutput&) = delete;

    void Write(const void* data, qint64 count);
    void Write(const QByteArray& data) { Write(data.constData(), data.size()); }
    void WriteByte(uint8_t b) { Write(&b, 1); }
    void FlushBuffer();

    void WriteValue(TValueType type) { WriteByte(uint8_t(type)); }
    void WriteListBegin() { WriteValue(TValueType::vaList); }
    void WriteListEnd() { WriteValue(TValueType::vaNull); }
    // Length byte and at most 255 characters.
    void WriteShortStr(const QByteArray& text);
    void WriteU32(uint32_t value);
    // Tag 2, 3 or 4, the smallest that holds the value.
    void WriteInteger(int32_t value);
    // Tag 19 outside the 32-bit range, else the integer form.
    void WriteInt64(int64_t value);
    void WriteExtended(double value);
    void WriteSingle(float value);
    void WriteCurrency(int64_t scaled);
    void WriteDate(double value);
    void WriteBoolean(bool value) { WriteValue(value ? TValueType::vaTrue : TValueType::vaFalse); }
    // "False", "True", "Null" and "nil" (any case) get their own tags; other texts are tag 7.
    void WriteIdent(const QString& ident);
    void WriteString(const QString& text) { Write(EncodeTextValue(text)); }
    void WriteBinary(const QByteArray& bytes);

private:
    QIODevice* m_stream;
    std::vector<char> m_buffer;
    qint64 m_bufPos = 0;
};
