// The driver of VUrur readers reached over TCP: it claims a device text that is a numeric IPv4
// address (or "localhost") when the reader there answers a ping and its info, and maps each reader
// operation onto one networked command. Owns its TCP client, transport and command set; held by
// std::shared_ptr and called only from the thread that owns the reader. No operation throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/TCPClient.h"
#include "drivers/T2151/CommandDriver.h"
#include "drivers/VUrurRemote/Reader.h"
#include "drivers/VUrurRemote/Transport.h"

namespace VUrurRemote {

class Driver final : public T2151::CommandDriver
{
public:
    // sender: how firmware files reach the reader; null sends them with ZMODEM on the connection.
    explicit Driver(std::shared_ptr<T2151::FileSender> sender = nullptr);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    Info info() const override;
    bool disableRF() override;

private:
    // device: the host, port: its TCP port. error gets the connect failure's text.
    bool attach(const std::string& device, int port, std::string* error) override;
    void detach() override;

    TCPClient m_client;
    vurur::Transport m_transport;
    vurur::Reader m_reader;
    vurur::Info m_info;
};

}  // namespace VUrurRemote
