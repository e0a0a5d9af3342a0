// The Kivo limited-use tickets on an Ultralight EV1 model as the MIFARE SAM model would protect
// them: the SAM's offline keys (0x15 AES-128 for the card password, 0x16 two-key Triple-DES with an
// 8-byte full CMAC for certificates and signatures), the password and MACs they give for a UID,
// and tickets as a create leaves them (KivoLUC: record version 1 and its certificate; KivoLUCv2:
// OTP 02, the default header and two signed copies), password-protected from page 4 for reading and
// writing. Computed on OpenSSL (CardCrypto). Stateless; any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "emulators/MifareSam.h"
#include "emulators/UltralightEV1.h"

namespace emulators {
namespace kivo {

constexpr uint8_t PasswordKeyNo = 0x15;
constexpr uint8_t MacKeyNo = 0x16;

Bytes passwordKey();
Bytes macKey();
// Key entries 0x15 and 0x16, version 0, for offline use.
void loadKeys(MifareSam& sam);
// PWD (4 bytes) and PACK (2 bytes): key 0x15 diversified with the UID enciphers the UID padded
// with 0x80 and zeros.
Bytes password(const Bytes& uid);
// The CMAC of data under key 0x16 diversified with the UID, cut to size.
Bytes mac(const Bytes& uid, const Bytes& data, size_t size);
// Pages 4 to 25, 37 and 38 and the password as a KivoLUC create leaves them.
void personaliseKivoLUC(UltralightEV1& card);
// Pages 3 to 35, 37 and 38 and the password as a KivoLUCv2 create leaves them.
void personaliseKivoLUCv2(UltralightEV1& card);

}  // namespace kivo
}  // namespace emulators
