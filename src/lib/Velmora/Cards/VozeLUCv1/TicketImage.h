// The plain records of the VozeLUCv1 ticket's 128-byte page image (pages 4 to 35, page 4 first) and
// their card-data keys: one encoder and one decoder per record, each over the image bytes of its
// record only. Every packed field is masked to its width, so an out-of-range value cannot reach its
// neighbours. Encoders read their keys from the map with the const accessor and so throw
// std::out_of_range ("Key not found: <key>") for a missing one; decoders never throw. The caller
// owns image and map and sizes the image (Size bytes) first. Stateless; any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/VariantMap.h"

namespace VozeLUCv1 {
namespace TicketImage {

using Bytes = std::vector<uint8_t>;

constexpr size_t Size = 128;

// Image offsets of the records.
constexpr size_t IssueAt = 0;     // pages 4-6: issue data, certificate, backups
constexpr size_t PassAt = 12;     // TPASS, pages 7-10 (12 plain bytes of a 16-byte block)
constexpr size_t UsageAt = 28;    // usage log, pages 11-20
constexpr size_t TransAt = 68;    // TTRANS_OD, pages 21-24
constexpr size_t ValueAt = 84;    // TVALUE, pages 25-28
constexpr size_t BackupAt = 100;  // TBACKUP, pages 29-32
constexpr size_t ReloadAt = 116;  // top-up log, pages 33-35
constexpr size_t BlockSize = 16;
constexpr size_t PlainSize = 12;

// Bytes 0-3.
void encodeIssue(Bytes& image, const VariantMap& map);
// Bytes 12-23 (bytes 24-27 are the encipherment's).
void encodePass(Bytes& image, const VariantMap& map);
// Bytes 84-95.
void encodeValue(Bytes& image, const VariantMap& map);
// Bytes 68-83, check byte 75 included.
void encodeTrans(Bytes& image, const VariantMap& map);
// Bytes 116-127.
void encodeReload(Bytes& image, const VariantMap& map);

void decodeIssue(const Bytes& image, VariantMap& map);
void decodePass(const Bytes& image, VariantMap& map);
void decodeUsage(const Bytes& image, VariantMap& map);
void decodeTrans(const Bytes& image, VariantMap& map);
void decodeValue(const Bytes& image, VariantMap& map);
void decodeReload(const Bytes& image, VariantMap& map);

// A plain record's encoder and the name its failures go by ("IssueData" for encodeIssue).
struct Encoder
{
    const char* record;
    void (*encode)(Bytes& image, const VariantMap& map);
};
// In the order a write places them.
extern const Encoder Encoders[5];

// An image of Size bytes, zero where no plain record is.
Bytes encode(const VariantMap& map);
// Every record of an image of Size bytes.
VariantMap decode(const Bytes& image);

}  // namespace TicketImage
}  // namespace VozeLUCv1
