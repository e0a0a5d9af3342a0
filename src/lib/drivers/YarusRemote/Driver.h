// The driver of Yarus readers speaking T2151 on a serial line: it claims the device when the
// reader answers a ping at the asked speed or at one its autobaud search finds, and maps each
// reader operation onto one T2151 command. Owns its serial port, transport and command set; held by
// std::shared_ptr and called only from the thread that owns the reader. No operation throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/SerialPort.h"
#include "drivers/T2151/CommandDriver.h"
#include "drivers/YarusRemote/Reader.h"
#include "drivers/YarusRemote/Transport.h"

namespace YarusRemote {

class Driver final : public T2151::CommandDriver
{
public:
    // sender: how firmware files reach the reader; null sends them with ZMODEM on the line.
    explicit Driver(std::shared_ptr<T2151::FileSender> sender = nullptr);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    Info info() const override;
    bool disableRF() override;

private:
    bool attach(const std::string& device, int baud, std::string* error) override;
    void detach() override;

    SerialPort m_port;
    T2151::Transport m_transport;
    T2151::Reader m_reader;
    T2151::Info m_info;
};

}  // namespace YarusRemote
