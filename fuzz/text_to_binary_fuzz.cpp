// fuzz-libs: persistence runtime
// Converts arbitrary bytes between the text form and the binary component stream. Input that starts
// with the signature is taken as a binary stream, anything else as text. Whatever converts must convert
// back: the binary stream made from text is a fixed point of text-to-binary(binary-to-text(.)), and the
// text made from a binary stream reads back to the same text.
#include "persistence/ObjectText.h"
#include "persistence/ValueStream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    QByteArray binary;
    try {
        if (input.startsWith("TPF0")) {
            const QByteArray text = ObjectBinaryToText(input);
            binary = ObjectTextToBinary(text); // what binary-to-text writes must read back
            Check(ObjectBinaryToText(binary) == text);
        } else {
            binary = ObjectTextToBinary(input);
        }
    } catch (const EFilerError&) {
        return 0;
    }
    const QByteArray text = ObjectBinaryToText(binary);
    Check(ObjectTextToBinary(text) == binary);
    return 0;
}
