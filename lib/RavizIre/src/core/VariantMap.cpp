#include "core/VariantMap.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

#include "core/JsonDepth.h"
#include "core/String.h"
#include "core/Utils.h"

using nlohmann::json;

namespace {

// Where the part of entryKey that answers a wildcard key ends (just past its '/'): the literal
// key when the entry starts with it, else the shortest prefix up to a '/' that the key matches.
// npos when there is none, so that a cut is never taken past the end of the entry key.
size_t wildcardCut(const std::string& entryKey, const std::string& key)
{
    if (entryKey.size() > key.size() && entryKey.compare(0, key.size(), key) == 0 &&
        entryKey[key.size()] == '/')
        return key.size() + 1;
    const std::string pattern = key + "/";
    for (size_t slash = entryKey.find('/'); slash != std::string::npos; slash = entryKey.find('/', slash + 1))
        if (Utils::match(entryKey.substr(0, slash + 1), pattern))
            return slash + 1;
    return std::string::npos;
}

// The serializer's own replacement, so that our output matches what a replacing dump would write.
std::string withReplacementCharacters(const std::string& text)
{
    if (String::isValidUtf8(text))
        return text;
    return json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
}

// A key as an error text quotes it: a refused key may be very long and hold any byte, and the text
// ends up in a log line.
std::string keyHead(const std::string& key)
{
    return String::escapedSized(key, String::MaxTextExcerptBytes);
}

size_t arrayIndex(const std::string& name, const std::string& key)
{
    // The name has passed String::isNumeric: an optional sign, then decimal digits.
    if (name[0] == '-')
        throw std::out_of_range("Negative array index in key: " + keyHead(key));
    const size_t digits = name.find_first_not_of("+0");
    // Counted before converting, since the conversion gives 0 for a number that does not fit.
    if (digits != std::string::npos && name.size() - digits > 6)
        throw std::out_of_range("Array index too large in key: " + keyHead(key));
    // Plain decimal, the form every key made from JSON has, needs no conversion through a stream;
    // a leading zero or sign keeps the general rules (base 0: 010 is eight).
    if ((name[0] != '0' || name.size() == 1) && name[0] != '+') {
        size_t index = 0;
        for (char c : name) index = index * 10 + static_cast<size_t>(c - '0');
        if (index > VariantMap::MaxArrayIndex)
            throw std::out_of_range("Array index too large in key: " + keyHead(key));
        return index;
    }
    const int64_t index = String::toInteger(name, 0);
    if (index < 0 || static_cast<uint64_t>(index) > VariantMap::MaxArrayIndex)
        throw std::out_of_range("Array index too large in key: " + keyHead(key));
    return static_cast<size_t>(index);
}

Variant lowBitsSigned(int64_t value)
{
    return Variant(static_cast<int>(static_cast<int32_t>(static_cast<uint32_t>(value))));
}

Variant lowBitsUnsigned(uint64_t value)
{
    return Variant(static_cast<unsigned int>(static_cast<uint32_t>(value)));
}

size_t depthOf(const std::string& key)
{
    size_t names = 0;
    for (size_t i = 0; i < key.size(); ++i)
        if (key[i] != '/' && (i == 0 || key[i - 1] == '/'))
            ++names;
    return names;
}

void refuseDeepDocument()
{
    throw std::out_of_range("JSON nested deeper than " + std::to_string(VariantMap::MaxDepth) + " levels");
}

// An embedded document is parsed with the same depth limit as every other way in, checked before
// the parse so that the cost stays linear in the text.
json parseLimited(const std::string& text)
{
    if (!Json::nestsAtMost(text, VariantMap::MaxDepth))
        refuseDeepDocument();
    return json::parse(text);
}

Variant arraySize(const json& array)
{
    return Variant(static_cast<unsigned int>(array.size()));
}

}  // namespace

VariantMap::~VariantMap() = default;

void VariantMap::checkDepth(const std::string& key)
{
    if (depthOf(key) > MaxDepth)
        throw std::out_of_range("Key nested deeper than " + std::to_string(MaxDepth) +
                                " levels: " + keyHead(key));
}

Variant& VariantMap::operator[](const std::string& key)
{
    const auto found = m_entries.find(key);
    if (found != m_entries.end())
        return found->second;
    checkDepth(key);
    return m_entries[key];
}

std::vector<std::string> VariantMap::keys() const
{
    std::vector<std::string> out;
    out.reserve(m_entries.size());
    for (const auto& entry : m_entries) out.push_back(entry.first);
    return out;
}

const Variant& VariantMap::operator[](const std::string& key) const
{
    const auto found = m_entries.find(key);
    if (found == m_entries.end())
        throw std::out_of_range("Key not found: " + keyHead(key));
    return found->second;
}

void VariantMap::set(const std::string& key, const Variant& value)
{
    if (value.type() != Variant::TypeMap) {
        (*this)[key] = value;
        return;
    }
    const VariantMap spread = value.toMap();
    // All or nothing: every key is checked before the first is stored.
    const size_t base = depthOf(key);
    for (const auto& entry : spread.m_entries)
        if (base + depthOf(entry.first) > MaxDepth)
            checkDepth(key + "/" + entry.first);
    for (const auto& entry : spread.m_entries) m_entries[key + "/" + entry.first] = entry.second;
}

Variant VariantMap::get(const std::string& key) const
{
    const auto exact = m_entries.find(key);
    if (exact != m_entries.end())
        return exact->second;

    VariantMap sub;
    bool matched = false;
    const std::string prefix = key + "/";
    if (key.find_first_of("*?") == std::string::npos) {
        // Without wildcards the matching entries are one contiguous run of the ordered map.
        for (auto it = m_entries.lower_bound(prefix);
             it != m_entries.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
            sub.set(it->first.substr(prefix.size()), it->second);
            matched = true;
        }
    } else {
        const std::string pattern = prefix + "*";
        for (const auto& entry : m_entries) {
            if (!Utils::match(entry.first, pattern))
                continue;
            const size_t cut = wildcardCut(entry.first, key);
            if (cut == std::string::npos)
                continue;
            sub.set(entry.first.substr(cut), entry.second);
            matched = true;
        }
    }
    if (!matched)
        return Variant();
    return Variant(sub);
}

VariantMap& VariantMap::fromJson(const json& value)
{
    m_entries.clear();

    // Depth-first with an explicit stack, children pushed in reverse, so that the entries are
    // written in the same order as a recursive walk (a later duplicate key wins) while a deeply
    // nested document from a peer cannot exhaust the thread's stack. Each item carries the number
    // of names in its key (a member name holding '/' counts its pieces); a key deeper than allowed
    // is refused before it is built, and the map is left empty.
    struct Item
    {
        const json* node;
        std::string key;
        size_t names;
    };
    std::vector<Item> pending;
    const auto push = [&](const json* node, std::string key, size_t names) {
        if (names > MaxDepth) {
            m_entries.clear();
            refuseDeepDocument();
        }
        pending.push_back({node, std::move(key), names});
    };
    if (value.is_object()) {
        for (auto it = value.crbegin(); it != value.crend(); ++it) push(&*it, it.key(), depthOf(it.key()));
    } else if (value.is_array()) {
        m_entries["_size"] = arraySize(value);
        for (size_t i = value.size(); i-- > 0;) push(&value[i], std::to_string(i), 1);
    } else if (!value.is_null()) {
        push(&value, std::string(), 0);
    }

    while (!pending.empty()) {
        const json& node = *pending.back().node;
        std::string key = std::move(pending.back().key);
        const size_t names = pending.back().names;
        pending.pop_back();
        switch (node.type()) {
            case json::value_t::object:
                for (auto it = node.crbegin(); it != node.crend(); ++it)
                    push(&*it, key + "/" + it.key(), names + depthOf(it.key()));
                break;
            case json::value_t::array:
                if (names + 1 > MaxDepth) {
                    m_entries.clear();
                    refuseDeepDocument();
                }
                m_entries[key + "/_size"] = arraySize(node);
                for (size_t i = node.size(); i-- > 0;)
                    push(&node[i], key + "/" + std::to_string(i), names + 1);
                break;
            case json::value_t::string:
                m_entries[key] = Variant(node.get_ref<const std::string&>());
                break;
            case json::value_t::boolean:
                m_entries[key] = Variant(node.get<bool>());
                break;
            case json::value_t::number_integer:
                m_entries[key] = lowBitsSigned(node.get<int64_t>());
                break;
            case json::value_t::number_unsigned:
                m_entries[key] = lowBitsUnsigned(node.get<uint64_t>());
                break;
            case json::value_t::number_float:
                m_entries[key] = Variant(node.get<double>());
                break;
            default:
                m_entries[key] = Variant();
                break;
        }
    }
    return *this;
}

json VariantMap::toJson() const
{
    json root;
    size_t arrayElements = 0;
    for (const auto& entry : m_entries) placeJsonValue(root, entry.first, entry.second, arrayElements);
    return root;
}

json VariantMap::toJsonValue(const Variant& value)
{
    const std::string& text = value.toString();
    switch (value.type()) {
        case Variant::TypeString:
            // A string holding a JSON object is embedded as that object.
            if (!text.empty() && text[0] == '{')
                return parseLimited(text);
            return json(withReplacementCharacters(text));
        case Variant::TypeInt:
            return json(value.toInt());
        case Variant::TypeUInt:
            return json(value.toUInt());
        case Variant::TypeDouble:
            return json(value.toDouble());
        case Variant::TypeBool:
            return json(value.toBool());
        case Variant::TypeMap:
            return parseLimited(text);
        default:
            return json();
    }
}

void VariantMap::placeJsonValue(json& root, const std::string& key, const Variant& value,
                                size_t& arrayElements)
{
    // The names are taken one by one from the key (empty pieces dropped, so leading, trailing and
    // doubled slashes change nothing), each counted against the depth limit before it is placed.
    json* node = &root;
    size_t names = 0;
    std::string name;
    for (size_t pos = 0; pos < key.size();) {
        const size_t end = std::min(key.find('/', pos), key.size());
        if (end == pos) {
            ++pos;
            continue;
        }
        name.assign(key, pos, end - pos);
        pos = end;
        if (++names > MaxDepth)
            checkDepth(key);
        // Array lengths come from the indices; the stored count is not written.
        if (name == "_size")
            return;
        // Indices are applied by number, not by entry order, so x/10 lands after x/9 although
        // the map yields it before x/2. The JSON library raises type_error 305 for a node of
        // the other kind.
        if (String::isNumeric(name)) {
            const size_t index = arrayIndex(name, key);
            // Counted before the library pads the array, so that a refused key allocates nothing.
            const size_t size = node->is_array() ? node->size() : 0;
            if ((node->is_array() || node->is_null()) && index >= size) {
                arrayElements += index + 1 - size;
                if (arrayElements > MaxArrayElements)
                    throw std::out_of_range("Arrays would hold more than " +
                                            std::to_string(MaxArrayElements) +
                                            " elements, at key: " + keyHead(key));
            }
            node = &(*node)[index];
        } else {
            node = &(*node)[withReplacementCharacters(name)];
        }
    }
    // A key that is empty or only slashes names no place and is not written.
    if (names == 0)
        return;
    *node = toJsonValue(value);
}
