// The Monet family for the reader facade: makes drivers with one setup and claims the device while
// the setup's platform has its own pppd on it, so that no serial probe opens the line under PPP.
#pragma once

#include "NFC/Reader.h"
#include "drivers/Monet/Driver.h"

namespace Monet {

NFC::Reader::DriverFactory driverFactory(Driver::Setup setup);

// The facade's default families with Monet made from setup.
NFC::Reader::DriverFactories withDriverFactory(NFC::Reader::DriverFactories factories, const Driver::Setup& setup);

}  // namespace Monet
