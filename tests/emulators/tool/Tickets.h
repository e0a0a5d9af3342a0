// The cards the emulator tool can put in the field, by name. A layout's ticket kind is one entry
// in the table of Tickets.cpp: a name, a line of help, and a function that builds the card model
// (and, when the layout needs keys in the MIFARE SAM of slot 0, what to load into it).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emulators/FieldCard.h"
#include "emulators/MifareSam.h"

namespace emulatortool {

using emulators::Bytes;

struct Ticket
{
    std::shared_ptr<emulators::FieldCard> card;  // null: nothing in the field
    // Loads the key entries the ticket's layout uses; empty when it needs none.
    std::function<void(emulators::MifareSam&)> prepareSam;
    // The same for a MIFARE SAM in slot 1, for layouts that use a second SAM.
    std::function<void(emulators::MifareSam&)> prepareSlot1 = nullptr;
    // The length of the LG SAM model's password answer the layout needs.
    size_t lgPasswordLength = 8;
    // A public key file the layout reads ("ssb-ec224-pub.b64"); empty text when none.
    std::string keyFileName = {};
    std::string keyFileText = {};
};

struct TicketKind
{
    std::string name;
    std::string help;
    // uid: the --uid option's bytes, empty for the model's own UID.
    std::function<Ticket(const Bytes& uid)> make;
};

const std::vector<TicketKind>& ticketKinds();

}  // namespace emulatortool
