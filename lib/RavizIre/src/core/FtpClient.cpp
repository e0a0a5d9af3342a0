#include "core/FtpClient.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/String.h"

struct FtpClient::Transfer
{
    FtpClient* client = nullptr;
    std::ostream* out = nullptr;
    std::istream* in = nullptr;
    size_t done = 0;
    size_t total = 0;
    // Set when the output refused bytes: libcurl only says "write error", this says why.
    bool outputFailed = false;
    // An exception raised inside a callback cannot cross libcurl's C frames; it waits here and
    // is thrown once curl_easy_perform has returned.
    std::exception_ptr error;
};

namespace {

CURL* handle(void* curl)
{
    return static_cast<CURL*>(curl);
}

void check(CURLcode result)
{
    if (result != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(result));
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Start of the text after `fields` blank-separated fields, or npos when the line has fewer.
size_t skipFields(const std::string& line, int fields)
{
    size_t pos = 0;
    for (int i = 0; i < fields; ++i) {
        while (pos < line.size() && isBlank(line[pos])) ++pos;
        if (pos == line.size())
            return std::string::npos;
        while (pos < line.size() && !isBlank(line[pos])) ++pos;
    }
    while (pos < line.size() && isBlank(line[pos])) ++pos;
    return pos < line.size() ? pos : std::string::npos;
}

bool looksLikeUnixMode(const std::string& line)
{
    if (line.size() < 10 || std::string("-dlbcps").find(line[0]) == std::string::npos)
        return false;
    for (size_t i = 1; i < 10; ++i)
        if (std::string("rwxsStT-").find(line[i]) == std::string::npos)
            return false;
    return true;
}

// "01-16-23  10:33AM  <DIR>  name" as IIS and other DOS-style servers list.
bool looksLikeDosDate(const std::string& line)
{
    if (line.size() < 8)
        return false;
    for (size_t i = 0; i < 8; ++i) {
        const char c = line[i];
        const bool digit = c >= '0' && c <= '9';
        if ((i == 2 || i == 5) ? (c != '-' && c != '/') : !digit)
            return false;
    }
    return true;
}

}  // namespace

FtpClient::FtpClient()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    m_curl = curl_easy_init();
    if (m_curl == nullptr) {
        curl_global_cleanup();
        throw std::runtime_error("could not get CURL handle.");
    }
}

FtpClient::~FtpClient()
{
    if (m_commands != nullptr)
        curl_slist_free_all(m_commands);
    curl_easy_cleanup(handle(m_curl));
    curl_global_cleanup();
}

void FtpClient::setCredentials(const std::string& user, const std::string& password)
{
    const std::string text = user + ":" + password;
    curl_easy_setopt(handle(m_curl), CURLOPT_USERPWD, text.c_str());
}

int FtpClient::setMode(int mode)
{
    const char* port = mode == Active ? "-" : nullptr;
    return curl_easy_setopt(handle(m_curl), CURLOPT_FTPPORT, port);
}

void FtpClient::setVerboseMode(bool on)
{
    curl_easy_setopt(handle(m_curl), CURLOPT_VERBOSE, on ? 1L : 0L);
}

void FtpClient::setTLS(bool on)
{
    curl_easy_setopt(handle(m_curl), CURLOPT_USE_SSL, on ? static_cast<long>(CURLUSESSL_ALL) : 0L);
}

void FtpClient::setTLSVerifyHost(bool on)
{
    curl_easy_setopt(handle(m_curl), CURLOPT_SSL_VERIFYHOST, on ? 1L : 0L);
}

void FtpClient::setTLSVerifyPeer(bool on)
{
    curl_easy_setopt(handle(m_curl), CURLOPT_SSL_VERIFYPEER, on ? 1L : 0L);
}

void FtpClient::setTLSCACert(const std::string& path)
{
    curl_easy_setopt(handle(m_curl), CURLOPT_CAINFO, path.c_str());
}

size_t FtpClient::onWrite(char* data, size_t size, size_t count, void* context)
{
    const size_t bytes = size * count;
    auto* transfer = static_cast<Transfer*>(context);
    if (bytes == 0 || transfer == nullptr || transfer->out == nullptr)
        return bytes;
    try {
        transfer->out->write(data, static_cast<std::streamsize>(bytes));
        if (!*transfer->out) {
            // Anything but the full count makes libcurl end the transfer with a write error.
            transfer->outputFailed = true;
            return 0;
        }
        transfer->done += bytes;
        for (const auto& callback : transfer->client->progress) callback(transfer->done, transfer->total);
        return bytes;
    } catch (...) {
        transfer->error = std::current_exception();
        return 0;
    }
}

size_t FtpClient::onRead(char* data, size_t size, size_t count, void* context)
{
    auto* transfer = static_cast<Transfer*>(context);
    if (transfer == nullptr || transfer->in == nullptr)
        return 0;
    try {
        transfer->in->read(data, static_cast<std::streamsize>(size * count));
        const auto got = static_cast<size_t>(transfer->in->gcount());
        transfer->done += got;
        for (const auto& callback : transfer->client->progress) callback(transfer->done, transfer->total);
        return got;
    } catch (...) {
        transfer->error = std::current_exception();
        return CURL_READFUNC_ABORT;
    }
}

void FtpClient::prepare(const std::string& url, bool noBody, Transfer* context)
{
    CURL* curl = handle(m_curl);
    curl_easy_setopt(curl, CURLOPT_NOBODY, noBody ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &FtpClient::onRead);
    curl_easy_setopt(curl, CURLOPT_READDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &FtpClient::onWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(context));
    // A key server that stops answering without closing the connection must not hang the SAM
    // manager: give up on a connection that cannot be made or a transfer that stalls.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
}

void FtpClient::perform(Transfer* context)
{
    const CURLcode result = curl_easy_perform(handle(m_curl));
    if (context != nullptr && context->error)
        std::rethrow_exception(context->error);
    if (result == CURLE_WRITE_ERROR && context != nullptr && context->outputFailed)
        throw std::runtime_error("Could not write the downloaded data");
    check(result);
}

size_t FtpClient::getRemoteFilesize(const std::string& url)
{
    prepare(url, true, nullptr);
    curl_easy_setopt(handle(m_curl), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(0));
    perform(nullptr);
    curl_off_t length = -1;
    if (curl_easy_getinfo(handle(m_curl), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        return 0;
    return length < 0 ? UnknownSize : static_cast<size_t>(length);
}

std::string FtpClient::nameFromListing(const std::string& line)
{
    std::string name;
    if (looksLikeUnixMode(line)) {
        // mode, links, owner, group, size, month, day, time or year: the rest is the name.
        const size_t start = skipFields(line, 8);
        if (start != std::string::npos) {
            if (line[0] == 'd')
                return std::string();
            name = line.substr(start);
            if (line[0] == 'l') {
                const size_t arrow = name.find(" -> ");
                if (arrow != std::string::npos)
                    name.erase(arrow);
            }
            return String::trim(name);
        }
    } else if (looksLikeDosDate(line)) {
        const size_t kind = skipFields(line, 2);
        const size_t start = skipFields(line, 3);
        if (kind != std::string::npos && start != std::string::npos) {
            if (line.compare(kind, 5, "<DIR>") == 0)
                return std::string();
            name = line.substr(start);
            return String::trim(name);
        }
    }
    // Any other form: the last word, as long as the line has a blank at all.
    if (!line.empty() && line[0] == 'd')
        return std::string();
    const size_t blank = line.find_last_of(" \t", line.find_last_not_of(" \t\r\n"));
    if (blank == std::string::npos)
        return std::string();
    name = line.substr(blank + 1);
    return String::trim(name);
}

void FtpClient::list(const std::string& url, std::list<std::string>& names, const std::string& pattern)
{
    std::string directory = url;
    if (directory.empty() || directory.back() != '/')
        directory += '/';
    std::ostringstream text;
    Transfer transfer;
    transfer.client = this;
    transfer.out = &text;
    // The listing needs a body: a size query before it leaves NOBODY switched on.
    prepare(directory, false, &transfer);
    curl_easy_setopt(handle(m_curl), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(0));
    curl_easy_setopt(handle(m_curl), CURLOPT_POSTQUOTE, m_commands);
    perform(&transfer);
    curl_easy_setopt(handle(m_curl), CURLOPT_POSTQUOTE, static_cast<curl_slist*>(nullptr));

    std::istringstream lines(text.str());
    std::string line;
    while (std::getline(lines, line)) {
        const std::string name = nameFromListing(line);
        if (!name.empty() && match(name, pattern))
            names.push_back(name);
    }
}

bool FtpClient::match(const std::string& name, const std::string& pattern)
{
    if (pattern.empty())
        return name.empty();
    size_t n = 0;
    size_t p = 0;
    while (p < pattern.size() && pattern[p] != '*') {
        if (n == name.size())
            return false;
        if (pattern[p] != '?' && pattern[p] != name[n])
            return false;
        ++n;
        ++p;
    }
    if (p == pattern.size())
        return n == name.size();
    // pattern[p] is '*'.
    const std::string rest = pattern.substr(p + 1);
    if (rest.empty() || n == name.size())
        return true;
    for (size_t tail = n; tail < name.size(); ++tail)
        if (match(name.substr(tail), rest))
            return true;
    return false;
}

std::string FtpClient::combinePath(const std::string& base, const std::string& name)
{
    std::string path = base;
    if (!path.empty() && path.back() != '/')
        path += '/';
    if (!name.empty() && name[0] == '/')
        path.append(name, 1, std::string::npos);
    else
        path += name;
    return path;
}

std::string FtpClient::sourceUrl(const std::string& url, const std::string& remoteFile) const
{
    if (remoteFile.empty())
        return url;
    // Listed names come back raw; blanks, '#' or '%' in them must not be read as URL syntax.
    const std::string name = baseName(remoteFile);
    char* escaped = curl_easy_escape(handle(m_curl), name.c_str(), static_cast<int>(name.size()));
    if (escaped == nullptr)
        throw std::runtime_error(curl_easy_strerror(CURLE_OUT_OF_MEMORY));
    std::string joined = combinePath(url, escaped);
    curl_free(escaped);
    return joined;
}

void FtpClient::download(const std::string& url, const std::string& remoteFile, std::ostream& out)
{
    const std::string source = sourceUrl(url, remoteFile);
    const size_t size = getRemoteFilesize(source);
    Transfer transfer;
    transfer.client = this;
    transfer.out = &out;
    transfer.total = size == UnknownSize ? 0 : size;
    prepare(source, false, &transfer);
    perform(&transfer);
    out.flush();
    if (!out)
        throw std::runtime_error("Could not write the downloaded data");
    if (size != UnknownSize && transfer.done != size)
        throw std::runtime_error(curl_easy_strerror(CURLE_PARTIAL_FILE));
}

void FtpClient::download(const std::string& url, const std::string& remoteFile, const std::string& localFile)
{
    const std::string path = localFile.empty() ? baseName(remoteFile) : localFile;
    const std::string partial = path + ".part";
    std::ofstream file(partial, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file)
        throw std::runtime_error("Could not open file " + path);
    try {
        download(url, remoteFile, file);
        file.close();
        if (file.fail())
            throw std::runtime_error("Could not write the downloaded data");
        // The data must be on the disk before the name says the file is there.
        const int fd = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!synced || std::rename(partial.c_str(), path.c_str()) != 0)
            throw std::runtime_error("Could not store the downloaded file " + path);
    } catch (...) {
        if (file.is_open())
            file.close();
        std::remove(partial.c_str());
        throw;
    }
}
