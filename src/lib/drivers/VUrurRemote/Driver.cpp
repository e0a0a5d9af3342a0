#include "drivers/VUrurRemote/Driver.h"

#include <arpa/inet.h>

#include <stdexcept>

#include "core/Log.h"

namespace VUrurRemote {

namespace {

const int PingTimeoutMs = 200;
const int ConnectTimeoutMs = 3000;
// The reader's own wait for the transfer and for its report after it.
const int FirmwareTimeoutSec = 90;

// The update texts may carry the reader's zero padding.
std::string untilZero(const std::string& text)
{
    return text.substr(0, text.find('\0'));
}

}  // namespace

Driver::Driver(std::shared_ptr<T2151::FileSender> sender)
    : CommandDriver(m_reader, "[vurur] ", FirmwareTimeoutSec),
      m_transport(m_client),
      m_reader(m_transport, std::move(sender))
{
}

Driver::~Driver()
{
    if (m_client.connected())
        m_client.close();
}

bool Driver::attach(const std::string& device, int port, std::string* error)
{
    std::string host = device;
    const size_t local = host.find("localhost");
    if (local != std::string::npos)
        host.replace(local, 9, "127.0.0.1");
    // Only numeric addresses: a serial path or a name never reaches the resolver.
    in_addr address{};
    if (::inet_pton(AF_INET, host.c_str(), &address) != 1)
        return false;
    // A number past the port range would wrap round to some other port.
    if (port <= 0 || port > 65535)
        return false;

    m_client.setConnectTimeout(ConnectTimeoutMs);
    try {
        m_client.connect(host, static_cast<unsigned short>(port));
    } catch (const std::runtime_error& e) {
        if (error)
            *error = e.what();
        return false;
    }
    m_transport.reset();

    if (!answersPing(PingTimeoutMs))
        return false;
    vurur::Info info;
    if (m_reader.getInfo(info) != vurur::Reader::OK)
        return false;
    m_info = info;
    return true;
}

void Driver::detach()
{
    m_client.close();
}

NFC::Driver::Info Driver::info() const
{
    return describe(m_info, untilZero(m_info.appUpdate), untilZero(m_info.sysUpdate));
}

bool Driver::disableRF()
{
    return guarded("disableRF", false, [&] { return m_reader.disableRF() == vurur::Reader::OK; });
}

}  // namespace VUrurRemote
