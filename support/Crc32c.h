// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of
// bulk data that only this program reads back (the rollback journal): most
// processors compute it in hardware at several times the speed of the ZIP
// CRC-32. Same convention as Crc32Update: callers start the register at
// 0xFFFFFFFF and invert the final value.
#pragma once

#include <cstdint>

namespace km {

uint32_t Crc32cUpdate(uint32_t crc, const void* buffer, int64_t length);
// The same from a table, where the processor has no instruction for it.
uint32_t Crc32cUpdateByTable(uint32_t crc, const void* buffer, int64_t length);

}  // namespace km
