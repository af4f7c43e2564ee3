#include "runtime/RegistryStore.h"

#include <cstring>

using namespace regstore;

namespace {

constexpr char kMagic[8] = {'C', 'V', 'R', 'E', 'G', '\x01', '\r', '\n'};

// Little-endian reader over a byte array that never reads past its end.
class TByteReader {
public:
    explicit TByteReader(const QByteArray& bytes) : m_bytes(bytes) {}
    qsizetype Left() const { return m_bytes.size() - m_pos; }
    bool U8(uint8_t& v) {
        if (Left() < 1)
            return false;
        v = uint8_t(m_bytes[m_pos++]);
        return true;
    }
    bool U32(uint32_t& v) {
        if (Left() < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(uint8_t(m_bytes[m_pos + i])) << (8 * i);
        m_pos += 4;
        return true;
    }
    bool Bytes(uint32_t bound, QByteArray& out) {
        uint32_t n;
        if (!U32(n) || n > bound || qsizetype(n) > Left())
            return false;
        out = m_bytes.mid(m_pos, n);
        m_pos += n;
        return true;
    }
    bool Text(uint32_t bound, QString& out) {
        QByteArray raw;
        if (!Bytes(bound, raw))
            return false;
        out = TRegistryData::DecodeText(raw);
        return true;
    }

private:
    const QByteArray& m_bytes;
    qsizetype m_pos = 0;
};

void PutU32(QByteArray& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

void PutBytes(QByteArray& out, const QByteArray& bytes) {
    PutU32(out, uint32_t(bytes.size()));
    out.append(bytes);
}

} // namespace

bool TRegistryData::IsBinaryForm(const QByteArray& bytes) {
    return bytes.size() >= qsizetype(sizeof kMagic) &&
           std::memcmp(bytes.constData(), kMagic, sizeof kMagic) == 0;
}

QByteArray TRegistryData::SerializeBinary() const {
    QByteArray out(kMagic, sizeof kMagic);
    const std::vector<const TKey*> keys = KeysInOrder();
    PutU32(out, uint32_t(keys.size()));
    for (const TKey* key : keys) {
        PutU32(out, key->Root);
        PutBytes(out, key->Path().toUtf8());
        PutU32(out, uint32_t(key->Values.size() - size_t(key->RemovedCount)));
        for (const TValue& v : key->Values) {
            if (v.Removed)
                continue;
            PutBytes(out, EncodeText(v.Name));
            out.append(char(v.Type));
            PutBytes(out, v.Data);
        }
    }
    return out;
}

bool TRegistryData::ParseBinary(const QByteArray& bytes) {
    if (!IsBinaryForm(bytes))
        return false;
    const QByteArray body = bytes.mid(sizeof kMagic);
    TByteReader in(body);
    // Smallest encodings: a key takes 12 bytes (root, empty path, no values), a value 9.
    constexpr qsizetype kMinKeyBytes = 12;
    constexpr qsizetype kMinValueBytes = 9;
    uint32_t keyCount;
    bool ok = in.U32(keyCount) && qsizetype(keyCount) <= in.Left() / kMinKeyBytes;
    for (uint32_t k = 0; ok && k < keyCount; ++k) {
        uint32_t root, valueCount;
        QString path;
        ok = in.U32(root) && IsRootKey(root) && in.Text(kMaxKeyPathBytes, path) &&
             PathAllowed(NormalizePath(path)) && in.U32(valueCount) &&
             qsizetype(valueCount) <= in.Left() / kMinValueBytes;
        if (!ok)
            break;
        TKey& key = CreateKey(root, path);
        for (uint32_t i = 0; ok && i < valueCount; ++i) {
            TValue v;
            uint8_t type;
            ok = in.Text(kMaxNameBytes, v.Name) && in.U8(type) && type <= uint8_t(TRegDataType::rdBinary) &&
                 in.Bytes(kMaxDataBytes, v.Data);
            if (!ok)
                break;
            v.Type = TRegDataType(type);
            if (v.Type == TRegDataType::rdInteger && v.Data.size() != 4) {
                ok = false;
                break;
            }
            SetValue(key, std::move(v));
        }
    }
    if (ok && in.Left() != 0)
        ok = false;
    return ok;
}
