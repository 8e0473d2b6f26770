// One table of operations per medium. EncodeInit picks the table for the
// configured LockType once; every export then calls through it and never asks
// again which medium it serves. The tables for no medium and for the reserved
// LockTypes answer with the result codes those configurations get.
//
// Every operation receives the encoder state from its caller: port, sector,
// system password and the contact encoder's handle come from there.
#pragma once
#include <cstdint>

#include "base/encoder_state.h"

// The elements of the host's CardSerial array; a medium fills what it reports.
constexpr int kMediumSerialLength = 8;
// Card addresses 0-2048 of a 24C64 data card: the open-door log.
constexpr int16_t kDataCardLogLength = 2049;

struct Medium {
    // CardSerial elements ReadCard reports (the host's array may hold no more).
    int serialLength;
    // EncodeInit's last step and EncodeExit.
    int16_t (*open)(EncoderState &enc);
    int16_t (*close)(EncoderState &enc);
    // Issues the card image (64 elements) as a card of `cardType`; CardSerial out.
    int16_t (*writeCard)(EncoderState &enc, int16_t *serial, int16_t *image, int16_t cardType);
    // ReadCard: reads and opens the card record into `image` (64 elements,
    // positions the medium does not fill untouched) and reports the card in
    // `serial`; a card that cannot be read answers KS_ERR_CARD_INVALID.
    int16_t (*readCard)(EncoderState &enc, int16_t *serial, int16_t *image);
    // ReadSystemPas: reads the system password card's record into `image`.
    int16_t (*readSystemCard)(EncoderState &enc, int16_t *image);
    // Turns the card back into a cleared card; CardSerial out.
    int16_t (*clearCard)(EncoderState &enc, int16_t *serial);
    // Reads the medium's data card into the open-door log buffer.
    int16_t (*readDataCard)(EncoderState &enc, uint8_t *log);
};

extern const Medium kNoMedium;        // LockType 0, and any out of range
extern const Medium kReservedMedium;  // LockType 1 and 4
extern const Medium kIc4442Medium;
extern const Medium kTemicMedium;
extern const Medium kMifareMedium;

const Medium *MediumFor(int16_t lockType);
