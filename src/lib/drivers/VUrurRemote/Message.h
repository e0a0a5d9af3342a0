// The networked reader's TLV message is the T2151 one: same encoding, same parsing. Its commands
// read answers with Missing::Throw, so an absent reply tag is told apart from a zero.
#pragma once

#include "drivers/T2151/Message.h"

namespace vurur {

using Message = T2151::Message;

}  // namespace vurur
