// File-system, path, process and byte-encoding helpers. Static and stateless; any thread may call
// them, except changeToAppPath, which moves the whole process and belongs to start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <type_traits>
#include <vector>

class Utils
{
public:
    static bool deleteFile(const std::string& path);
    [[nodiscard]] static bool fileExists(const std::string& path);
    static bool moveFile(const std::string& from, const std::string& to);

    // The part after the last '/' or '\'.
    static std::string getFilenameFromFilepath(const std::string& path);
    // From the last '.' of the whole path, dot included; empty without one.
    static std::string getFileExtension(const std::string& path);
    // Joins with exactly one '/' between the parts; drops one leading '/' of the name.
    static std::string combinePath(const std::string& directory, const std::string& name);

    // Case-sensitive wildcard test ('?' one character, '*' any run), on the bytes up to the first
    // NUL. A '*' reached at the end of the text matches, so ab*cd matches ab.
    static bool match(const char* text, const char* pattern);
    static bool match(const std::string& text, const std::string& pattern)
    {
        return match(text.c_str(), pattern.c_str());
    }

    // Appends the full paths of the regular (non-directory, non-hidden) entries whose name matches
    // pattern (every entry when it is empty), unsorted. False when the directory cannot be opened.
    static bool listFilesInDir(const std::string& directory, std::list<std::string>& files,
                               const std::string& pattern);
    static std::list<std::string> listFiles(const std::string& directory, const std::string& pattern);

    // Every byte of the file; empty when it cannot be opened.
    static std::vector<uint8_t> readFile(const std::string& path);

    // Creates the directory and its missing parents (as mkdir -p would); true when it exists as a
    // directory afterwards.
    static bool makePath(const std::string& path);

    // Absolute directory of the running executable. Throws std::runtime_error when it cannot be
    // resolved (e.g. the directory was removed).
    static std::string getAppPath();
    // Changes the working directory there; empty text when that fails.
    static std::string changeToAppPath();
    static std::string getProcessId();

    enum ByteOrder : bool
    {
        LittleEndian = false,
        BigEndian = true
    };

    // The sizeof(T) bytes of value, most significant first when bigEndian is set.
    template <typename T>
    static std::vector<uint8_t> serialEncode(T value, bool bigEndian)
    {
        static_assert(std::is_integral<T>::value, "serialEncode takes an integer");
        using U = typename std::make_unsigned<T>::type;
        const U bits = static_cast<U>(value);
        std::vector<uint8_t> out(sizeof(T));
        for (size_t i = 0; i < sizeof(T); ++i) {
            const uint8_t byte = static_cast<uint8_t>(bits >> (8 * i));
            out[bigEndian ? sizeof(T) - 1 - i : i] = byte;
        }
        return out;
    }
};
