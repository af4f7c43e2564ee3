#pragma once

#include <string_view>

// True when `text` has the shape of `pattern`: a '9' in the pattern stands for any digit, every other
// character for itself. ("TIME 99:99:99" matches "TIME 09:05:03".)
inline bool HasShape(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool ok = pattern[i] == '9' ? (text[i] >= '0' && text[i] <= '9') : text[i] == pattern[i];
        if (!ok)
            return false;
    }
    return true;
}
