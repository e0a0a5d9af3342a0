// The program's configuration: one JSON object with the sections "mqtt", "tcp" and "rfid", read
// once at start-up from "tapgate.conf" (or the file the command line names). A file that is
// missing, is no regular file of at most 1 MiB, does not parse, nests deeper than 256 levels or
// holds a value of the wrong type never stops the program: the reason is logged and the defaults
// stand for what could not be read. Nothing here writes the file.
// A plain value; build it before the threads start, then share it read-only.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace RFID {

class Config
{
public:
    static constexpr const char* DefaultFile = "tapgate.conf";
    static constexpr const char* DefaultFirmwarePath = ".";

    // Every value at its default; sections empty.
    Config() = default;

    // Reads and applies the file. False when it cannot be read or parsed: that reason is logged
    // and every default stays. A readable file with a wrong value logs that value only; the items
    // of a list that are skipped make one warning for the list, with their number, and so do the
    // names that no Ultralight layout has (they stay in the list), and so do the keys given again
    // in their object (the last value stands).
    bool load(const std::string& path);
    // The same from JSON text already in memory.
    bool parse(const std::string& text, std::string* reason = nullptr);

    // A section of the file as written ("mqtt", "tcp", "rfid"), or an empty object.
    nlohmann::json section(const std::string& name) const;
    // The whole document, shared by every copy of this configuration; an empty object by default.
    std::shared_ptr<const nlohmann::json> document() const { return m_document; }

    // Where reader firmware files are looked for.
    const std::string& firmwarePath() const { return m_firmwarePath; }
    // The Ultralight layouts the factory may choose from, in the file's order; empty allows all.
    const std::vector<std::string>& ultralightTemplates() const { return m_ultralightTemplates; }

private:
    void apply(nlohmann::json document);

    // Held once however often the configuration is copied.
    std::shared_ptr<const nlohmann::json> m_document =
        std::make_shared<const nlohmann::json>(nlohmann::json::object());
    std::string m_firmwarePath = DefaultFirmwarePath;
    std::vector<std::string> m_ultralightTemplates;
};

}  // namespace RFID
