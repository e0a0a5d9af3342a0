#include "emulators/MonetUdpReader.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace emulators {

namespace {

constexpr uint8_t FS = 0x1C;
constexpr uint8_t GS = 0x1D;

int boundSocket(const char* address, uint16_t& port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, address, &local.sin_addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        throw std::runtime_error(std::string("MonetUdpReader: cannot bind ") + address);
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
    return fd;
}

std::string inflateGzip(const std::vector<uint8_t>& in)
{
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK)
        return "<inflate init failed>";
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    std::string out;
    char buffer[4096];
    int rc = Z_OK;
    while (rc == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        rc = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
    }
    inflateEnd(&stream);
    return rc == Z_STREAM_END ? out : "<not gzip>";
}

std::vector<uint8_t> decodeBase64(const std::string& text)
{
    if (text.size() % 4 != 0)
        return {};
    std::vector<uint8_t> out(text.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0)
        return {};
    size_t padding = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++padding;
    out.resize(static_cast<size_t>(n) - padding);
    return out;
}

std::string field(const MonetUdpReader::Pairs& pairs, char id)
{
    for (const auto& p : pairs)
        if (p.first == id)
            return p.second;
    return {};
}

}  // namespace

MonetUdpReader::MonetUdpReader(char letter, std::string terminalId)
    : m_letter(letter), m_terminalId(std::move(terminalId))
{
    m_fd = boundSocket("127.0.0.1", m_port);
    uint16_t otherPort = 0;
    m_otherFd = boundSocket("127.0.0.2", otherPort);
    if (pipe2(m_wake, O_CLOEXEC) != 0)
        throw std::runtime_error("MonetUdpReader: pipe");
    m_thread = std::thread([this] { run(); });
}

MonetUdpReader::~MonetUdpReader()
{
    const char stop = 1;
    (void)!write(m_wake[1], &stop, 1);
    m_thread.join();
    for (int fd : {m_fd, m_otherFd, m_wake[0], m_wake[1]}) ::close(fd);
}

void MonetUdpReader::replyTo(uint16_t port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replyPort = port;
}

void MonetUdpReader::setScript(Script script)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script = std::move(script);
}

void MonetUdpReader::setKnobs(Knobs knobs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_knobs = std::move(knobs);
}

void MonetUdpReader::onCommand(uint8_t command, Handler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handlers.emplace_back(command, std::move(handler));
}

void MonetUdpReader::send(const Datagram& datagram, size_t copies)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    sendLocked(datagram, copies);
}

void MonetUdpReader::sendLocked(const Datagram& datagram, size_t copies)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_replyPort);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    iovec bytes{const_cast<uint8_t*>(datagram.bytes.data()), datagram.bytes.size()};
    // All copies in one call, so that a flood outpaces the reading end.
    std::vector<mmsghdr> messages(copies);
    for (mmsghdr& m : messages) {
        m = {};
        m.msg_hdr.msg_name = &to;
        m.msg_hdr.msg_namelen = sizeof to;
        m.msg_hdr.msg_iov = &bytes;
        m.msg_hdr.msg_iovlen = 1;
    }
    sendmmsg(datagram.fromOtherAddress ? m_otherFd : m_fd, messages.data(), static_cast<unsigned>(copies), 0);
}

void MonetUdpReader::setRecording(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = on;
}

std::vector<MonetUdpReader::Request> MonetUdpReader::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool MonetUdpReader::waitForRequests(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_requests.size() >= count; });
}

bool MonetUdpReader::waitForAnswered(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_answered >= count; });
}

std::vector<std::string> MonetUdpReader::tripData() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tripData;
}

std::vector<uint8_t> MonetUdpReader::frameWithBody(int type, const std::vector<uint8_t>& body) const
{
    char stamp[16] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%y%m%d%H%M%S", &local);
    char length[5];
    std::snprintf(length, sizeof length, "%04X", static_cast<unsigned>(body.size() & 0xFFFF));
    const std::string header =
        std::string(1, m_letter) + char('0' + type) + "01" + m_terminalId + stamp + "0000" + length + "A5A5";
    std::vector<uint8_t> out{0x02};
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), body.begin(), body.end());
    out.push_back(0x03);
    return out;
}

std::vector<uint8_t> MonetUdpReader::frame(const Answer& answer) const
{
    std::vector<uint8_t> body;
    for (const auto& f : answer.fields) {
        body.push_back(FS);
        body.push_back(static_cast<uint8_t>(f.first));
        body.insert(body.end(), f.second.begin(), f.second.end());
    }
    if (!answer.subFields.empty()) {
        body.push_back(FS);
        body.push_back('9');
        for (const auto& f : answer.subFields) {
            body.push_back(GS);
            body.push_back(static_cast<uint8_t>(f.first));
            body.insert(body.end(), f.second.begin(), f.second.end());
        }
    }
    return frameWithBody(answer.type, body);
}

void MonetUdpReader::run()
{
    std::vector<uint8_t> buffer(70000);
    while (true) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        const ssize_t n = recv(m_fd, buffer.data(), buffer.size(), 0);
        if (n >= 0)
            handle(std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
    }
}

void MonetUdpReader::handle(const std::vector<uint8_t>& datagram)
{
    Request request;
    request.size = datagram.size();
    if (datagram.size() >= 38) {
        request.letter = static_cast<char>(datagram[1]);
        request.type = datagram[2] - '0';
        request.header.assign(datagram.begin() + 1, datagram.begin() + 37);
        request.terminalId.assign(datagram.begin() + 5, datagram.begin() + 13);
        bool sub = false;
        for (size_t i = 37; i + 1 < datagram.size(); ++i) {
            const uint8_t b = datagram[i];
            if ((b == FS || b == GS) && i + 2 < datagram.size()) {
                const char id = static_cast<char>(datagram[++i]);
                if (b == FS && id == '9') {
                    sub = true;
                    continue;
                }
                (sub ? request.subFields : request.fields).emplace_back(id, "");
            } else if (!request.fields.empty() || !request.subFields.empty()) {
                (sub ? request.subFields : request.fields).back().second.push_back(static_cast<char>(b));
            }
        }
        request.command = static_cast<uint8_t>(std::stoul("0" + field(request.fields, 'T'), nullptr, 16));
    }

    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_recording)
        m_requests.push_back(request);
    m_changed.notify_all();
    std::vector<Datagram> answers;
    bool handled = false;
    for (auto it = m_handlers.rbegin(); it != m_handlers.rend() && !handled; ++it)
        if (it->first == request.command) {
            answers = it->second(request);
            handled = true;
        }
    if (!handled)
        answers = defaultAnswers(request);
    const Knobs knobs = m_knobs;
    if (knobs.silent) {
        ++m_answered;
        m_changed.notify_all();
        return;
    }
    std::vector<Datagram> out = knobs.before;
    if (knobs.previousFirst)
        out.insert(out.end(), m_previous.begin(), m_previous.end());
    for (const auto& answer : answers) {
        out.push_back(answer);
        if (knobs.duplicate)
            out.push_back(answer);
    }
    if (!answers.empty())
        m_previous = answers;
    if (knobs.lateMs > 0) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(knobs.lateMs));
        lock.lock();
    }
    for (const auto& datagram : out) sendLocked(datagram);
    ++m_answered;
    m_changed.notify_all();
}

std::vector<MonetUdpReader::Datagram> MonetUdpReader::defaultAnswers(const Request& request)
{
    char code[3];
    std::snprintf(code, sizeof code, "%02X", request.command);
    const auto answer = [&](int type, std::string result, Pairs extra = {}, Pairs subs = {}) {
        Answer a{type, {{'T', code}, {'R', std::move(result)}}, std::move(subs)};
        a.fields.insert(a.fields.end(), extra.begin(), extra.end());
        return Datagram{frame(a), false};
    };
    const Script& s = m_script;
    switch (request.command) {
        case 0x80:
            return {answer(1, "000", {{'g', s.version}})};
        case 0x91:
            return {answer(1, "000")};
        case 0x85:
            return {answer(1, s.tapStartResult)};
        case 0x86:
            return {answer(1, s.tapStopResult)};
        case 0x45: {
            std::vector<Datagram> out;
            for (int i = 0; i < s.termClessIntermediates; ++i) out.push_back(answer(0, "000"));
            out.push_back(answer(1, s.termClessResult));
            return out;
        }
        case 0x87: {
            const std::string f = field(request.subFields, 'F');
            if (!f.empty() && m_recording)
                m_tripData.push_back(inflateGzip(decodeBase64(f)));
            return {answer(1, s.pollResult, {{'1', s.token}, {'J', s.brand}, {'P', s.pan}}, {{'u', s.uid}})};
        }
        case 0x90: {
            if (request.type == 0)
                return {};  // closing message: the download is over
            std::vector<Datagram> out;
            for (Answer a : s.callParams) {
                a.fields.insert(a.fields.begin(), {'T', code});
                out.push_back({frame(a), false});
            }
            return out;
        }
        default:
            return {};
    }
}

}  // namespace emulators
