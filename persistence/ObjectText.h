#pragma once

#include <QByteArray>

class QIODevice;

enum class TStreamOriginalFormat { sofUnknown, sofBinary, sofText };

// The stream format test on the first bytes: the signature "TPF0" or a first byte 255 is binary; a
// first byte tab, vertical tab, carriage return, space or one of o, O, i, I is text; anything else is
// no valid stream. TestStreamFormat(QIODevice&) peeks without consuming.
TStreamOriginalFormat TestStreamFormat(const QByteArray& head);
TStreamOriginalFormat TestStreamFormat(QIODevice& stream);

// Conversions between the binary component stream and its text form (lines ended by CR LF, two spaces
// of indentation per level). Text-to-binary reads back exactly what binary-to-text writes; the binary
// stream that comes out of the text form is its normal form: text read from it converts back to the
// same bytes. Both fail with an EFilerError on input that does not follow the format, and both bound
// nesting and lengths, so hostile input ends the conversion cleanly.
//
// Not expressible in the text form, and refused by binary-to-text with "Invalid property value":
// floating-point values that are not finite, identifiers and names that are not identifiers.
void ObjectBinaryToText(QIODevice& input, QIODevice& output);
void ObjectTextToBinary(QIODevice& input, QIODevice& output);
QByteArray ObjectBinaryToText(const QByteArray& binary);
QByteArray ObjectTextToBinary(const QByteArray& text);
