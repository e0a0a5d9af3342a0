// The commands of the Monet reader's UDP protocols: identity, antenna switch, tap mode, bank-card
// completion, clock, maintenance version and the TMS parameter and firmware download. Each turns
// the reader's answer into one result code (0 success). Sits on a transport it does not own; one
// command at a time (the driver serialises its worker thread and timer callbacks). No exception
// leaves a command: one is logged and becomes ErrorNotSent.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "drivers/Monet/BprotocolMsg.h"
#include "drivers/Monet/BprotocolTransport.h"
#include "drivers/Monet/Clock.h"
#include "drivers/Monet/Result.h"
#include "drivers/Monet/Configuration.h"
#include "drivers/Monet/Timing.h"

namespace MonetReader {


struct Info
{
    std::pair<int, int> values{4, 4};
    std::string version;
    std::string product = "Monet";
    std::string vendor = "Terminal Technologies";
    std::string terminalId;
};

class BprotocolReader
{
public:
    using Progress = std::function<void(int percent, int minutes, int seconds)>;
    // Trip data to the bytes sent Base64-encoded; throws when it cannot compress.
    using Compressor = std::function<std::vector<uint8_t>(const std::string&)>;
    static constexpr size_t MaxTripDataBase64 = 256;

    explicit BprotocolReader(BprotocolTransport& transport, const Monet::Timing& timing = {},
                             std::shared_ptr<Monet::Clock> clock = Monet::Clock::system(),
                             Monet::ConfigurationProvider configuration = Monet::fileConfiguration());

    int getInfo(Info& info);
    int setTerminalDateTime();
    int getMaintenanceAppVersion(std::string& version);
    int switchAntenna();
    int enableRF();
    int disableRF();
    // Appends the tapped card's UID, token, brand and masked PAN to cardData when an answer came.
    int completeEMVtransaction(const std::string& tripData, std::vector<std::string>& cardData);
    int updateParamsFirmware(bool& rebootNotified, int timeoutS, const Progress& progress,
                             bool& firmwareNotified);
    bool createFirmwareFile();

    int checkMsgResponse(const BprotocolMsg::Ptr& msg);
    int getResult(const BprotocolMsg& msg);
    static BprotocolMsg::Ptr makeCommand(Command command, int type, bool nProtocol);

    bool tapMode() const { return m_tapMode; }
    void setCompressor(Compressor compressor) { m_compress = std::move(compressor); }
    // zlib deflate in gzip form; throws std::runtime_error as the Compressor contract says.
    static std::vector<uint8_t> gzipCompress(const std::string& text);

private:
    enum class Marker
    {
        Created,
        NotCreated,
        BadPath
    };

    int requestWithResend(Command command, bool nProtocol, const char* sending, const char* resending,
                          BprotocolMsg::Ptr& answer);
    int download(bool& rebootNotified, int timeoutS, const Progress& progress, bool& firmwareNotified);
    Marker firmwareMarker();
    int64_t elapsedSeconds(int64_t startMs) const;

    BprotocolTransport& m_transport;
    Monet::Timing m_timing;
    std::shared_ptr<Monet::Clock> m_clock;
    Monet::ConfigurationProvider m_configuration;
    Compressor m_compress;
    bool m_tapMode = false;
};

}  // namespace MonetReader
