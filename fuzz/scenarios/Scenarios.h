// Fixed runs of each card and SAM command set over one reader driver: every operation once, with
// arguments that pass the command set's own checks, so that what happens next depends only on
// the answers. The fuzz targets run them over a FuzzDriver; the seed writer runs the same ones
// over the real Elatec driver and the emulators and keeps the answers as seeds. Called on one
// thread; the driver must be open.
#pragma once

#include <memory>
#include <vector>

#include "NFC/Driver.h"

namespace fuzzing {

// The keys the seed writer gives the emulated SAM, so that its recorded answers show a run that
// gets through authentication.
const std::vector<uint8_t>& hostKey();
const std::vector<uint8_t>& av1HostKey();
// The 2K3DES key of the card's master and application key 0, held by the SAM's PICC entry.
const std::vector<uint8_t>& cardKey();
enum SamEntry : uint8_t
{
    HostEntry = 0,
    Av1HostEntry = 2,
    PiccEntry = 10,
    ZeroEntry = 12,  // the all-zero key a new application starts with
    OfflineEntry = 20,
};
// The application the DESFire run creates and works in.
constexpr uint32_t CardAid = 0xA9C002;

void runMifareSam(const std::shared_ptr<NFC::Driver>& driver);
void runLGsam(const std::shared_ptr<NFC::Driver>& driver);
void runUltralight(const std::shared_ptr<NFC::Driver>& driver);
void runEMV(const std::shared_ptr<NFC::Driver>& driver);
// A DESFire card with a MIFARE SAM in slot 0: authentication through the SAM, an application with
// one file of each kind, enciphered and MACed data, values and records; then the LG SAM in slot 1
// for the LG authentication, reload and balance.
void runDESFire(const std::shared_ptr<NFC::Driver>& driver);
// A DESFire EV2 card in the application the DESFire run makes (files 1 to 3 in MAC mode): EV2
// authentication with key 0 in clear, MAC-mode data, records and transactions, then with key 1 as
// the MIFARE SAM's offline key diversified with the UID. RndA is fixed, so that a recorded run
// replays through the authentication.
void runDESFireEV2(const std::shared_ptr<NFC::Driver>& driver);
const std::vector<uint8_t>& ev2Key();
// The card's UID in every card run.
const std::vector<uint8_t>& cardUid();

// The reader facade over the driver: open, tag search and the tag it makes, SAM power-up and the
// SAM object it makes from the ATR, slot checks.
void runReader(const std::shared_ptr<NFC::Driver>& driver);

}  // namespace fuzzing
