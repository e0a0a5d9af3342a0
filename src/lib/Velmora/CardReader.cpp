#include "Velmora/CardReader.h"

#include <cstdio>

#include "NFC/Protocols/MifareSAM.h"
#include "NFC/SAM.h"
#include "NFC/Tag.h"
#include "core/Clock.h"

namespace RFID {

CardReader::CardReader(std::string name, std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam)
    : m_name(std::move(name)), m_tag(std::move(tag)), m_sam(std::move(sam))
{
}

CardReader::~CardReader() = default;

void CardReader::resetCardState() {}

void CardReader::setError(const std::string& operation, const std::string& message)
{
    setEMVerror(operation, message, Error::CardReadWriteError);
}

void CardReader::setEMVerror(const std::string& operation, const std::string& message, Error::Code code)
{
    log(Log::LevelError, "ERROR: Operation '%s' failed: %s", operation.c_str(), message.c_str());
    m_error = Error(code, operation + ": " + message);
}

void CardReader::addSamMetadata(const nlohmann::json& metadata)
{
    m_error.setSamMetadata(metadata);
}

void CardReader::log(Log::Level level, const char* format, ...) const
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    std::string line = "[" + m_name + "] ";
    if (n >= 0 && static_cast<size_t>(n) < sizeof(buffer)) {
        line += buffer;
    } else if (n >= 0) {
        // Rare (a long hex dump): format again at full length rather than cut the line.
        std::string long_(static_cast<size_t>(n) + 1, '\0');
        va_start(args, format);
        vsnprintf(&long_[0], long_.size(), format, args);
        va_end(args);
        long_.resize(static_cast<size_t>(n));
        line += long_;
    }
    Log::print(level, line);
}

double CardReader::startOperation(const char* what)
{
    m_error.clear();
    log(Log::LevelInfo, "%s", what);
    return Clock::millis();
}

void CardReader::finishOperation(double start) const
{
    log(Log::LevelInfo, "Operation completed in %.2f msec.", Clock::elapsedMillis(start));
}

std::shared_ptr<Card> CardReader::finishRead(double start, const VariantMap& data)
{
    auto card = Card::make(m_tag, m_name);
    card->setData(data);
    finishOperation(start);
    m_activeCard = card;
    return card->clone();
}

void CardReader::readBeforeWrite()
{
    if (!m_activeCard && !read(0, 0))
        m_activeCard = Card::make(m_tag, m_name);
}

std::shared_ptr<Card> CardReader::finishWrite(double start, const VariantMap& data)
{
    finishOperation(start);
    m_activeCard->setData(data);
    return m_activeCard->clone();
}

bool CardReader::mifareSamStep(const char* operation, int samCode)
{
    if (samCode == NFC::MifareSAM::Success)
        return true;
    setError(operation, NFC::MifareSAM::errorToStr(samCode));
    return false;
}

}  // namespace RFID
