// Reading a JSON configuration file that anyone may have pointed the program at: only a regular
// file of at most MaxBytes (a FIFO, a device or a directory is refused before it is opened, so a
// serial line named by mistake is never touched), and a document nested at most MaxDepth levels,
// since copying a deeper one recurses once per level; any document is read in time linear in its
// size. Each refusal comes with a reason fit for one log line: short, and valid UTF-8, the text it
// quotes shown as String::excerpt shows outside text. Stateless; any thread may call it.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "core/String.h"

namespace ConfigFile {

constexpr size_t MaxBytes = 1024 * 1024;
constexpr size_t MaxDepth = 256;

// The whole file in text; false with the reason: the system's error text for a failed open or
// read, "not a regular file" or "larger than 1 MiB".
[[nodiscard]] bool read(const std::string& path, std::string& text, std::string& reason);

// The document in text; false with the parser's reason, or "nested deeper than 256 levels". The
// parser's reason names where it stopped (line and column, or byte) and shows the text it read there
// only as an excerpt. A key given again in the same object replaces the value before it, as the
// library's own parser has it; such keys are not silent, since the value before is lost: `repeated`
// is then one warning with their number (each repeat counted) and the first few, empty otherwise.
[[nodiscard]] bool parse(const std::string& text, nlohmann::json& document, std::string& reason,
                         std::string& repeated);

// Values of one kind met in a configuration (list items skipped, keys given twice), counted so that
// they make one log line however many there are: each line may cost a write to a slow console, and
// half a million of them would hold up the start for minutes.
class Examples
{
public:
    // `shown` as a log line may show it: an excerpt, or a type name.
    void add(std::string shown);
    size_t count() const { return m_count; }
    // The first few, separated by ", ", and ", ..." when there were more.
    std::string list() const;

private:
    static constexpr size_t Max = 3;
    std::string m_examples[Max];
    size_t m_count = 0;
};

}  // namespace ConfigFile
