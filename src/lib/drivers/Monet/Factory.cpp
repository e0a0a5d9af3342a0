#include "drivers/Monet/Factory.h"

#include <utility>

namespace Monet {

NFC::Reader::DriverFactory driverFactory(Driver::Setup setup)
{
    if (!setup.platform)
        setup.platform = nullPlatform();
    std::shared_ptr<Platform> platform = setup.platform;
    NFC::Reader::DriverFactory factory;
    factory.family = NFC::Reader::DriverFactory::Serial;
    factory.name = "Monet";
    factory.make = [setup] { return std::static_pointer_cast<NFC::Driver>(std::make_shared<Driver>(setup)); };
    factory.claims = [platform](const std::string& device) { return platform->holdsDevice(device); };
    return factory;
}

NFC::Reader::DriverFactories withDriverFactory(NFC::Reader::DriverFactories factories, const Driver::Setup& setup)
{
    for (NFC::Reader::DriverFactory& factory : factories)
        if (factory.name == "Monet")
            factory = driverFactory(setup);
    return factories;
}

}  // namespace Monet
