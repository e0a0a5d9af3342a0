// Where the Monet support reads the application's configuration ("rfid" → "firmwarePath",
// "rfid" → "cardTypes" → "desfire"). The program passes the configuration it loaded; the default
// reads "tapgate.conf" in the working directory. A provider never throws: a file that is missing, is
// no regular file of at most 1 MiB, does not parse or nests deeper than 256 levels gives a null
// value and one log line with the reason, and the callers fall back to their defaults.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace Monet {

using ConfigurationProvider = std::function<nlohmann::json()>;

// Reads and parses the file on every call, so an edited file is seen by the next download.
ConfigurationProvider fileConfiguration(std::string path = "tapgate.conf");

// The member at "section/key" ("rfid/firmwarePath"), or null when any step is missing or the
// provider gave something that is not an object.
nlohmann::json configurationValue(const ConfigurationProvider& provider, const std::string& path);

}  // namespace Monet
