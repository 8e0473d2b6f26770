// The SLE4442 programmable security code (PSC) of this system's cards and the
// card memory layout the driver and the personalising station share.
//
// A card's PSC is never stored anywhere: it is derived from the card's own
// three serial bytes with two fixed masks. The personalising station sets each
// card's PSC with these same masks; a card set with other masks can never be
// written by this library (and each attempt spends one of its three tries).
#pragma once
#include <cstdint>

// SLE4442 main memory as this system uses it (card byte addresses).
constexpr int16_t kIcRecordAddress = 32;   // the 28-byte enciphered card record
constexpr int16_t kIcReadLength = 32;      // every read takes addresses 32-63
constexpr int16_t kIcWriteLength = 28;     // every write covers addresses 32-59
constexpr int16_t kIcSerialAddress = 60;   // three serial bytes, written at personalisation
constexpr int16_t kIcSerialCheckAddress = 63;  // CardCrc8 of the three serial bytes
constexpr uint8_t kIcSerialLength = 3;
constexpr uint8_t kIcPscLength = 3;

// Offsets within the 32 bytes read from address 32.
constexpr uint8_t kIcAreaSerial = kIcSerialAddress - kIcRecordAddress;            // 28
constexpr uint8_t kIcAreaSerialCheck = kIcSerialCheckAddress - kIcRecordAddress;  // 31

// The two PSC masks: one byte over all three PSC bytes, and one per byte.
inline constexpr uint8_t kIcPscCommonMask = 0x5C;
inline constexpr uint8_t kIcPscByteMask[kIcPscLength] = {0x3A, 0xC5, 0x96};

// PSC byte i = serial byte i XOR the common mask XOR byte i of the byte mask.
inline void IcDerivePsc(const uint8_t *serial, uint8_t *psc) {
    for (uint8_t i = 0; i < kIcPscLength; ++i)
        psc[i] = static_cast<uint8_t>(serial[i] ^ kIcPscCommonMask ^ kIcPscByteMask[i]);
}
