#include "runtime/RegistryStore.h"

#include "runtime/HexDigit.h"

#include <algorithm>
#include <cstring>

using namespace regstore;

namespace {

const char kHexDigits[] = "0123456789abcdef";

// Bytes in double quotes: backslash, quote, CR, LF and tab escaped, other control bytes and bytes that
// are not UTF-8 as \xHH, the rest literal. Written through a pointer into room for the worst case: values
// may be megabytes.
void AppendQuoted(QByteArray& out, const QByteArray& bytes) {
    const qsizetype start = out.size();
    const qsizetype n = bytes.size();
    out.resize(start + 4 * n + 2);
    char* o = out.data() + start;
    const char* p = bytes.constData();
    *o++ = '"';
    for (qsizetype i = 0; i < n;) {
        const uint8_t c = uint8_t(p[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            *o++ = char(c);
            ++i;
            continue;
        }
        const char escape = c == '\\'   ? '\\'
                            : c == '"'  ? '"'
                            : c == '\n' ? 'n'
                            : c == '\r' ? 'r'
                            : c == '\t' ? 't'
                                        : 0;
        if (escape) {
            *o++ = '\\';
            *o++ = escape;
            ++i;
            continue;
        }
        const int length = c < 0x80 ? 0 : Utf8SequenceLength(bytes, i);
        if (length > 0) {
            std::memcpy(o, p + i, size_t(length));
            o += length;
            i += length;
            continue;
        }
        *o++ = '\\';
        *o++ = 'x';
        *o++ = kHexDigits[c >> 4];
        *o++ = kHexDigits[c & 15];
        ++i;
    }
    *o++ = '"';
    out.truncate(o - out.constData());
}

void AppendHexList(QByteArray& out, const QByteArray& bytes) {
    if (bytes.isEmpty())
        return;
    const qsizetype start = out.size();
    out.resize(start + 3 * bytes.size() - 1);
    char* o = out.data() + start;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (i)
            *o++ = ',';
        *o++ = kHexDigits[uint8_t(bytes[i]) >> 4];
        *o++ = kHexDigits[uint8_t(bytes[i]) & 15];
    }
}

void AppendValueLine(QByteArray& out, const TRegistryData::TValue& v) {
    if (v.Name.isEmpty())
        out += '@';
    else
        AppendQuoted(out, TRegistryData::EncodeText(v.Name));
    out += '=';
    switch (v.Type) {
    case TRegDataType::rdString:
        AppendQuoted(out, v.Data);
        break;
    case TRegDataType::rdExpandString:
        out += "expand:";
        AppendQuoted(out, v.Data);
        break;
    case TRegDataType::rdInteger: {
        uint32_t u = 0;
        for (int i = 0; i < 4 && i < v.Data.size(); ++i)
            u |= uint32_t(uint8_t(v.Data[i])) << (8 * i);
        out += "dword:" + QByteArray::number(u, 16).rightJustified(8, '0');
        break;
    }
    case TRegDataType::rdBinary:
        out += "hex:";
        AppendHexList(out, v.Data);
        break;
    case TRegDataType::rdUnknown:
        out += "hex(0):";
        AppendHexList(out, v.Data);
        break;
    }
    out += v.Comment.toUtf8();
    out += '\n';
}

// Reads a quoted text at pos (on the opening quote) into out; pos ends after the closing quote.
bool ReadQuoted(const QByteArray& line, qsizetype& pos, QByteArray& out) {
    if (pos >= line.size() || line[pos] != '"')
        return false;
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '\\') {
            // Copy the run up to the next quote or backslash at once.
            qsizetype end = pos + 1;
            while (end < line.size() && line[end] != '"' && line[end] != '\\')
                ++end;
            out.append(line.constData() + pos, end - pos);
            pos = end - 1;
            continue;
        }
        if (++pos >= line.size())
            return false;
        switch (line[pos]) {
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'x': {
            const int hi = pos + 1 < line.size() ? HexValue(line[pos + 1]) : -1;
            const int lo = pos + 2 < line.size() ? HexValue(line[pos + 2]) : -1;
            if (hi < 0 || lo < 0)
                return false;
            out += char(hi * 16 + lo);
            pos += 2;
            break;
        }
        default:
            return false;
        }
    }
    return false; // no closing quote
}

void SkipBlanks(const QByteArray& line, qsizetype& pos) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
}

bool AtLineEnd(const QByteArray& line, qsizetype pos) {
    return pos >= line.size() || line[pos] == ';' || line[pos] == '#';
}

bool ReadHexList(const QByteArray& line, qsizetype& pos, QByteArray& out) {
    SkipBlanks(line, pos);
    if (AtLineEnd(line, pos))
        return true; // no bytes
    for (;;) {
        SkipBlanks(line, pos);
        const int hi = pos < line.size() ? HexValue(line[pos]) : -1;
        const int lo = pos + 1 < line.size() ? HexValue(line[pos + 1]) : -1;
        if (hi < 0 || lo < 0)
            return false;
        out += char(hi * 16 + lo);
        pos += 2;
        SkipBlanks(line, pos);
        if (AtLineEnd(line, pos))
            return true;
        if (line[pos] != ',')
            return false;
        ++pos;
    }
}

// One value line of the text form (already trimmed), with the comment it may end in; false when the line
// is none.
bool ParseValueLine(const QByteArray& line, TRegistryData::TValue& v) {
    qsizetype pos = 0;
    QByteArray name;
    if (line.startsWith('@'))
        pos = 1;
    else if (!ReadQuoted(line, pos, name))
        return false;
    SkipBlanks(line, pos);
    if (pos >= line.size() || line[pos] != '=')
        return false;
    ++pos;
    SkipBlanks(line, pos);
    const QByteArray rest = line.mid(pos);
    qsizetype p = 0;
    QByteArray data;
    if (rest.startsWith('"')) {
        v.Type = TRegDataType::rdString;
        if (!ReadQuoted(rest, p, data))
            return false;
    } else if (rest.startsWith("expand:")) {
        v.Type = TRegDataType::rdExpandString;
        p = 7;
        if (!ReadQuoted(rest, p, data))
            return false;
    } else if (rest.startsWith("dword:")) {
        v.Type = TRegDataType::rdInteger;
        p = 6;
        uint32_t u = 0;
        int digits = 0;
        for (; p < rest.size() && HexValue(rest[p]) >= 0; ++p, ++digits)
            u = (u << 4) | uint32_t(HexValue(rest[p]));
        if (digits < 1 || digits > 8)
            return false;
        for (int i = 0; i < 4; ++i)
            data += char((u >> (8 * i)) & 0xFF);
    } else if (rest.startsWith("hex:") || rest.startsWith("hex(0):")) {
        v.Type = rest.startsWith("hex:") ? TRegDataType::rdBinary : TRegDataType::rdUnknown;
        p = v.Type == TRegDataType::rdBinary ? 4 : 7;
        if (!ReadHexList(rest, p, data))
            return false;
    } else {
        return false;
    }
    qsizetype end = p; // the comment keeps the blanks before it, which a list of bytes skipped
    while (end > 0 && (rest[end - 1] == ' ' || rest[end - 1] == '\t'))
        --end;
    SkipBlanks(rest, p);
    if (!AtLineEnd(rest, p))
        return false;
    v.Comment = QString::fromUtf8(rest.mid(end));
    v.Name = TRegistryData::DecodeText(name);
    v.Data = std::move(data);
    return true;
}

// A section header: "[" inner "]", optionally followed by a comment. The first "]" that leaves only a
// comment or nothing ends it, so a comment may hold brackets. False when the line is no header.
bool ParseHeader(const QByteArray& line, QByteArray& inner, QByteArray& comment) {
    if (!line.startsWith('['))
        return false;
    for (qsizetype i = line.indexOf(']'); i >= 0; i = line.indexOf(']', i + 1)) {
        qsizetype p = i + 1;
        SkipBlanks(line, p);
        if (AtLineEnd(line, p)) {
            inner = line.mid(1, i - 1);
            comment = line.mid(i + 1);
            return true;
        }
    }
    return false;
}

QStringList DefaultPreamble() {
    return {QStringLiteral("; Corvantel per-user settings, UTF-8 text. One [root\\key] section per key, one "
                           "line per value:"),
            QStringLiteral(";   \"name\"=\"text\"   \"name\"=dword:0000002a (32-bit number, hexadecimal)   "
                           "\"name\"=hex:01,02 (bytes)"),
            QStringLiteral(
                "; In quotes \\\\ \\\" \\n \\r \\t stand for a backslash, a quote, line breaks and a tab, "
                "\\xHH for a byte."),
            QStringLiteral("; Lines starting with ; are comments and are kept.")};
}

} // namespace

int regstore::Utf8SequenceLength(const QByteArray& b, qsizetype i) {
    const auto at = [&](qsizetype k) { return k < b.size() ? uint8_t(b[k]) : 0u; };
    const unsigned c = at(i);
    const auto cont = [&](qsizetype k) { return (at(k) & 0xC0u) == 0x80u; };
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return cont(i + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned c1 = at(i + 1);
        const bool ok1 = c == 0xE0   ? (c1 >= 0xA0 && c1 <= 0xBF)
                         : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                     : cont(i + 1);
        return ok1 && cont(i + 2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned c1 = at(i + 1);
        const bool ok1 = c == 0xF0   ? (c1 >= 0x90 && c1 <= 0xBF)
                         : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                     : cont(i + 1);
        return ok1 && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

QByteArray TRegistryData::Serialize() const {
    QByteArray out;
    const QStringList& preamble = m_preamble.isEmpty() && !m_fromText ? DefaultPreamble() : m_preamble;
    for (const QString& line : preamble)
        out += line.toUtf8() + '\n';
    if (!preamble.isEmpty())
        out += '\n';

    const auto appendLines = [&](const QStringList& lines) {
        for (const QString& line : lines)
            out += line.toUtf8() + '\n';
    };
    const std::vector<const TKey*> keys = KeysInOrder();
    auto block = m_blocks.begin();
    for (const TKey* key : keys) {
        for (; block != m_blocks.end() && block->Order < key->Order; ++block) {
            appendLines(block->Lines);
            out += '\n';
        }
        // A key without values or kept lines is written only when no key below it implies it.
        const bool bare = qsizetype(key->Values.size()) == key->RemovedCount && key->LinesAbove.isEmpty() &&
                          key->Trailing.isEmpty() && key->HeaderComment.isEmpty();
        if (bare && !key->Listed && (!key->Parent || !key->Children.empty()))
            continue;
        appendLines(key->LinesAbove);
        out += '[' + RootKeyToIdent(key->Root).value_or(QString()).toUtf8();
        if (key->Parent)
            out += '\\' + key->Path().toUtf8();
        out += ']' + key->HeaderComment.toUtf8() + '\n';
        for (const TValue& v : key->Values) {
            appendLines(v.LinesBefore);
            if (!v.Removed)
                AppendValueLine(out, v);
        }
        appendLines(key->Trailing);
        out += '\n';
    }
    for (; block != m_blocks.end(); ++block) {
        appendLines(block->Lines);
        out += '\n';
    }
    return out;
}

bool TRegistryData::ParseText(const QByteArray& input) {
    QByteArray bytes = input;
    while (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3); // byte order marks some editors add
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = Utf8SequenceLength(bytes, i);
        if (n == 0)
            return false;
        i += n;
    }
    m_fromText = true;
    TKey* current = nullptr;
    qsizetype block = -1; // the section kept as it stands that is being read
    QStringList pending;  // comments and unknown lines not yet given a place
    const auto dropBlankEnd = [&] {
        while (!pending.isEmpty() && pending.last().trimmed().isEmpty())
            pending.removeLast();
    };
    // Gives the pending lines their place: at a header, the lines directly above it are returned for
    // it; the others stay with the section before (a section kept as it stands keeps them all).
    const auto placePending = [&](bool atHeader) {
        QStringList above;
        if (atHeader && block < 0) { // a section kept as it stands keeps all its lines
            qsizetype cut = pending.size();
            while (cut > 0 && !pending[cut - 1].trimmed().isEmpty())
                --cut;
            above = pending.mid(cut);
            pending.resize(cut);
        }
        dropBlankEnd();
        (block >= 0 ? m_blocks[size_t(block)].Lines : current ? current->Trailing : m_preamble) += pending;
        pending.clear();
        return above;
    };
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        QByteArray raw = bytes.mid(start, end - start);
        start = end + 1;
        while (raw.endsWith('\r'))
            raw.chop(1); // line ends of other systems; a kept line is written back without them
        while (raw.startsWith("\xEF\xBB\xBF"))
            raw.remove(0, 3); // a byte order mark within the file (files joined by hand) is no text either
        const QByteArray line = raw.trimmed();
        QByteArray inner, comment;
        const bool header = ParseHeader(line, inner, comment);
        // A line that starts like a header but is none ("[...\\B] // note") still ends the section above:
        // the values below it are kept with it as they stand, never taken for the key above.
        if (header || (current && line.startsWith('['))) {
            const qsizetype cut = inner.indexOf('\\');
            const auto root =
                header ? IdentToRootKey(QString::fromUtf8(cut < 0 ? inner : inner.left(cut))) : std::nullopt;
            const QString path = NormalizePath(cut < 0 ? QString() : DecodeText(inner.mid(cut + 1)));
            QStringList above = placePending(true);
            if (root && PathAllowed(path)) {
                current = &CreateKey(*root, path);
                const bool again = current->Listed; // a header given twice: one section
                if (!again)
                    current->Order = m_nextOrder++; // made earlier as a parent: its place is its header
                current->Listed = true;
                block = -1;
                // Above a second header the lines stay inside the key: its first header is where it is
                // written, and lines put above that could join a section before it on the next read.
                (again ? current->Trailing : current->LinesAbove) += above;
                if (current->HeaderComment.isEmpty())
                    current->HeaderComment = QString::fromUtf8(comment);
            } else {
                if (root)
                    qCWarning(lcRegistry) << "key path too long or not storable, section kept as it stands";
                above.append(QString::fromUtf8(raw));
                m_blocks.push_back({std::move(above), m_nextOrder++});
                block = qsizetype(m_blocks.size()) - 1;
                current = nullptr;
            }
            continue;
        }
        TValue value;
        if (current && ParseValueLine(line, value)) {
            value.LinesBefore = std::move(pending);
            pending.clear();
            QString folded = value.Name.toCaseFolded();
            if (auto it = current->Index.constFind(folded); it != current->Index.constEnd()) {
                TValue& existing = current->Values[size_t(*it)]; // a name given twice: the later wins
                existing.LinesBefore += value.LinesBefore;
                existing.Type = value.Type;
                existing.Data = std::move(value.Data);
                existing.Comment = std::move(value.Comment);
            } else {
                current->Index.insert(std::move(folded), qsizetype(current->Values.size()));
                current->Values.push_back(std::move(value));
            }
            continue;
        }
        pending.append(QString::fromUtf8(raw));
    }
    placePending(false);
    return true;
}
