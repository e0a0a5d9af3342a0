#include "core/JsonDepth.h"

namespace Json {

bool nestsAtMost(const std::string& text, size_t levels)
{
    const char* const data = text.data();
    const size_t size = text.size();
    size_t open = 0;
    for (size_t at = 0; at < size;) {
        const char c = data[at++];
        if (c == '\0')
            break;  // the parser's end of input: what follows is never read
        if (c == '"') {
            // A string ends at the first quote that no backslash escapes; an escape takes the byte
            // after it, whatever it is.
            while (at < size && data[at] != '"') at += data[at] == '\\' ? 2 : 1;
            ++at;
        } else if (c == '[' || c == '{') {
            if (++open > levels)
                return false;
        } else if ((c == ']' || c == '}') && open > 0) {
            --open;
        }
    }
    return true;
}

}  // namespace Json
