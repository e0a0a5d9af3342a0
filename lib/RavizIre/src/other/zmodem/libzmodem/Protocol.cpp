#include "other/zmodem/libzmodem/Protocol.h"

namespace zmodem {

const char* frameTypeName(int type)
{
    static const char* const names[] = {
        "Carrier Lost", "TIMEOUT",    "ERROR",  "ZRQINIT", "ZRINIT",   "ZSINIT",   "ZACK",    "ZFILE",
        "ZSKIP",        "ZNAK",       "ZABORT", "ZFIN",    "ZRPOS",    "ZDATA",    "ZEOF",    "ZFERR",
        "ZCRC",         "ZCHALLENGE", "ZCOMPL", "ZCAN",    "ZFREECNT", "ZCOMMAND", "ZSTDERR",
    };
    const int index = type + 3;
    if (index < 0 || index >= static_cast<int>(sizeof names / sizeof names[0]))
        return "UNKNOWN";
    return names[index];
}

}  // namespace zmodem
