// How deeply a JSON text nests its objects and arrays, found in one pass over the bytes before any
// parser builds the document: the parser's own per-value hook makes its builder look through the
// enclosing container each time a container ends, which costs minutes on a long flat list.
// Stateless; any thread may call it.
#pragma once

#include <cstddef>
#include <string>

namespace Json {

// False when some point of text lies inside more than levels objects and arrays ("[]" is one level,
// "[{}]" two); brackets inside strings do not count. Text that is no JSON at all is left for the
// parse that follows to refuse; a NUL byte ends the text, as it ends the parser's input.
[[nodiscard]] bool nestsAtMost(const std::string& text, size_t levels);

}  // namespace Json
