// Where the Monet support reads the application's configuration ("rfid" → "firmwarePath",
// "rfid" → "cardTypes" → "desfire"). The program passes the configuration it loaded; the default
// reads "tapgate.conf" in the working directory. A provider never throws: a missing or unparsable
// file gives a null value and one log line, and the callers fall back to their defaults.
#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace Monet {

using ConfigurationProvider = std::function<nlohmann::json()>;

// Reads and parses the file on every call, so an edited file is seen by the next download.
ConfigurationProvider fileConfiguration(std::string path = "tapgate.conf");

// The member at "section/key" ("rfid/firmwarePath"), or null when any step is missing or the
// provider gave something that is not an object.
nlohmann::json configurationValue(const ConfigurationProvider& provider, const std::string& path);

}  // namespace Monet
