// Card-data maps as tests change them: a client's map with one key left out.
#pragma once

#include <string>

#include "core/VariantMap.h"

namespace testsupport {

// The map without one key.
inline VariantMap without(const VariantMap& map, const std::string& gone)
{
    VariantMap out;
    for (const std::string& key : map.keys())
        if (key != gone)
            out[key] = map[key];
    return out;
}

}  // namespace testsupport
