// fuzz-libs: controls
// Feeds arbitrary bytes through both escape-sequence parsers, acting as the terminal does after each
// completed code, and checks the parsers' bounds and that a built sequence parses back to its code.
#include "controls/EscapeCodes.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void Run(TEscapeCodes& parser, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const TFeedResult result = parser.FeedChar(char(data[i]));
        Check(parser.Data().size() <= TEscapeCodes::kMaxSequenceLength);
        if (result == frCodeReady) {
            Check(parser.Code() != ecNotCompleted);
            Check(parser.ParamList().size() <= TEscapeCodes::kMaxParameters);
            for (int p = 1; p <= parser.ParamList().size(); ++p)
                (void)TEscapeCodes::ParamValue(p, &parser.ParamList());
            // Building the answer from peer-supplied parameters must be safe for every code.
            (void)parser.CodeToSequence(parser.Code(), &parser.ParamList());
            parser.ParamList().clear();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TEscapeCodesVT52 vt52;
    TEscapeCodesVT100 vt100;
    Run(vt52, data, size);
    Run(vt100, data, size);
    return 0;
}
