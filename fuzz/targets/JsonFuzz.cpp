// JSON text from a peer or a settings file through VariantMap and SettingStore: flattening,
// building JSON back, map values and group reads. The library's documented exceptions are the
// only way out besides success; after one round through JSON the flat form must be stable.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/SettingStore.h"
#include "core/Variant.h"
#include "core/VariantMap.h"
#include "support/Check.h"

namespace {

using nlohmann::json;

// The conversions that may refuse a map: a key used both as value and as parent, a string that
// starts with '{' and is no JSON, an array index out of range.
template <typename F>
bool refusable(F&& step)
{
    try {
        step();
        return true;
    } catch (const json::exception&) {
    } catch (const std::out_of_range&) {
    }
    return false;
}

// The most array elements one key can make a conversion pad: the indices along it add up
// (x/4096 and x/+004096 name 4096, so do 2048/2048), taken by their digits alone.
size_t largestPadding(const VariantMap& map)
{
    size_t largest = 0;
    for (const std::string& key : map.keys()) {
        size_t sum = 0;
        size_t start = 0;
        while (start <= key.size()) {
            const size_t end = std::min(key.find('/', start), key.size());
            std::string name = key.substr(start, end - start);
            name.erase(0, std::min(name.find_first_not_of("+0"), name.size()));
            if (!name.empty() && name.size() <= 6 &&
                name.find_first_not_of("0123456789") == std::string::npos)
                sum += std::stoul(name);
            start = end + 1;
        }
        largest = std::max(largest, sum);
    }
    return largest;
}

constexpr size_t WildcardBudget = 65536;
constexpr size_t StoreBudget = 262144;

// A lookup that is no exact key walks every entry: a sample of keys spread over the map tells as
// much as all of them, and keeps a run over any input under 4 kB well under a second.
std::vector<std::string> sampledKeys(const VariantMap& map)
{
    constexpr size_t Samples = 32;
    const std::vector<std::string> keys = map.keys();
    const size_t stride = std::max<size_t>(1, keys.size() / Samples);
    std::vector<std::string> out;
    for (size_t i = 0; i < keys.size(); i += stride) out.push_back(keys[i]);
    return out;
}

void throughStore(const VariantMap& map)
{
    Variant asValue;
    if (!refusable([&] { asValue = Variant(map); }))
        return;
    SettingStore store;
    if (!refusable([&] { store.set("root", asValue); }))
        return;
    refusable([&] { store.get("root"); });
    std::set<std::string> firstNames;
    for (const std::string& key : sampledKeys(map)) {
        refusable([&] { store.get("root/" + key); });
        firstNames.insert(key.substr(0, key.find('/')));
    }
    for (const std::string& name : firstNames) refusable([&] { store.get("*/" + name); });
    refusable([&] { store.toJson().dump(-1, ' ', false, json::error_handler_t::replace); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    const json parsed = json::parse(data, data + size, nullptr, false);
    if (parsed.is_discarded())
        return 0;

    VariantMap first;
    if (!refusable([&] { first.fromJson(parsed); }))
        return 0;
    // An index up to the limit is allowed and fills the array with nulls up to it, so every
    // conversion after the first handles that many elements: one round is enough for those, or
    // a run would take seconds without telling more.
    if (largestPadding(first) > 4096) {
        refusable([&] { first.toJson(); });
        return 0;
    }
    for (const std::string& key : sampledKeys(first)) {
        refusable([&] { first.get(key); });
        // A wildcard lookup matches every entry against the key: on a map of long keys a few
        // such lookups are what a time limit allows, under the fuzzer's instrumentation too.
        if (key.size() * first.size() <= WildcardBudget)
            refusable([&] { first.get(key + "/*"); });
        const Variant& value = first[key];
        (void)value.toInt();
        (void)value.toDouble();
        (void)value.toBool();
    }
    // The store's group reads each build JSON of the whole map, at a cost that grows with the
    // bytes of all keys: a map of very long keys goes through the rounds below only.
    size_t keyBytes = 0;
    for (const std::string& key : first.keys()) keyBytes += key.size();
    if (keyBytes <= StoreBudget)
        throughStore(first);

    // Each round through JSON may change the map once more: a string holding an object is
    // embedded as that object, and its numeric keys become array indices in the round after. Each
    // such level costs escapes in the input, so a short input settles within a few rounds, and a
    // map that has settled must stay as it is.
    VariantMap current = first;
    bool settled = false;
    for (int round = 0; round < 16 && !settled; ++round) {
        json text;
        if (!refusable([&] { text = current.toJson(); }))
            return 0;
        VariantMap next;
        if (!refusable([&] { next.fromJson(text); }))
            return 0;
        settled = next == current;
        current = std::move(next);
    }
    FUZZ_CHECK(settled);
    return 0;
}
