// The driver of Yarus readers speaking T2151 on a serial line. Not built into this program yet:
// it takes its place in the reader facade's probing and never opens. Held by std::shared_ptr;
// called only from the thread that owns the reader.
#pragma once

#include "drivers/Common/AbsentDriver.h"

namespace YarusRemote {

class Driver final : public drivers::AbsentDriver
{
public:
    Driver() : AbsentDriver("n/a", "n/a", 4) {}
};

}  // namespace YarusRemote
