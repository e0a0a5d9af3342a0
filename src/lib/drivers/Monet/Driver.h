// The driver of Monet payment readers (EMV kernel) reached over a PPP link on the serial device.
// Not built into this program yet: it takes its place in the reader facade's probing and never
// opens, so nothing here touches the link. Held by std::shared_ptr; called only from the thread
// that owns the reader.
#pragma once

#include "drivers/Common/AbsentDriver.h"

namespace Monet {

class Driver final : public drivers::AbsentDriver
{
public:
    Driver() : AbsentDriver("Monet", "Terminal Technologies", 4) {}
};

}  // namespace Monet
