// Fetches files from an FTP or FTPS server through one libcurl easy handle: lists a remote directory
// through a wildcard pattern, asks a file's size and downloads into a stream or a local file. The
// client owns its handle; one thread uses a client at a time. Failures are thrown as
// std::runtime_error with libcurl's text for the result.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <list>
#include <ostream>
#include <string>

struct curl_slist;

class FtpClient
{
public:
    // setMode: 1 is active FTP, every other value passive.
    enum Mode
    {
        Passive = 0,
        Active = 1
    };

    // getRemoteFilesize when the server does not tell the length.
    static constexpr size_t UnknownSize = std::numeric_limits<size_t>::max();

    FtpClient();
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    void setCredentials(const std::string& user, const std::string& password);
    // Returns libcurl's result code (0 on success).
    int setMode(int mode);
    void setVerboseMode(bool on);
    void setTLS(bool on);
    void setTLSVerifyHost(bool on);
    void setTLSVerifyPeer(bool on);
    void setTLSCACert(const std::string& path);

    // The length the server announces, or UnknownSize when it gives none.
    size_t getRemoteFilesize(const std::string& url);

    // Appends the names of the plain files in the directory at url that match pattern; names
    // already in the list stay.
    void list(const std::string& url, std::list<std::string>& names, const std::string& pattern);

    // remoteFile empty: url names the file itself; otherwise the base name of remoteFile is
    // fetched from the directory url.
    void download(const std::string& url, const std::string& remoteFile, std::ostream& out);
    // The file appears under localFile (or the remote base name in the working directory) only
    // once it has arrived complete and was written without error.
    void download(const std::string& url, const std::string& remoteFile, const std::string& localFile);

    static std::string combinePath(const std::string& base, const std::string& name);
    // '*' any run of characters, '?' exactly one, everything else literally (case-sensitive).
    static bool match(const std::string& name, const std::string& pattern);
    // The name a line of a directory listing (Unix or DOS form) gives, or an empty text for
    // directories, totals and lines that name nothing. Blanks inside a name are kept.
    static std::string nameFromListing(const std::string& line);

    // Called on the transferring thread after each chunk with (bytes so far, expected total);
    // the total is 0 when the server did not announce it. An exception from a callback stops the
    // transfer and is thrown from the call that started it.
    std::list<std::function<void(size_t done, size_t total)>> progress;

private:
    struct Transfer;
    static size_t onWrite(char* data, size_t size, size_t count, void* context);
    static size_t onRead(char* data, size_t size, size_t count, void* context);

    void prepare(const std::string& url, bool noBody, Transfer* context);
    void perform(Transfer* context);
    std::string sourceUrl(const std::string& url, const std::string& remoteFile) const;

    void* m_curl = nullptr;
    curl_slist* m_commands = nullptr;
};
