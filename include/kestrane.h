/*
 * Kestrane door-lock card encoder library: the 25 exported functions.
 *
 * Calling convention: __stdcall on 32-bit Windows (the callee pops), every
 * argument one 4-byte stack slot, exported under the plain name. Scalars are
 * signed 16-bit values (only the low 16 bits are read); byte strings travel as
 * "element arrays": arrays of signed 16-bit integers, one byte per element
 * (the library reads the low 8 bits and writes 0..255). The result of every
 * export is a 16-bit result code (KS_OK or one of the failures below); only
 * the low 16 bits of the return register are defined.
 *
 * The host allocates every array. All calls must come from one thread.
 * A null pointer where an export must read or write an array answers
 * KS_ERR_UNAVAILABLE before anything is changed or any device is touched.
 */
#ifndef KESTRANE_H
#define KESTRANE_H

#include <stdint.h>

#if defined(_WIN32)
#define KS_STDCALL __stdcall
#if defined(KS_API)
/* Defined by the caller: a program that binds the exports its own way
 * (a delay-load import library calls them through plain thunks). */
#elif defined(KESTRANE_BUILDING_LIBRARY)
#define KS_API __declspec(dllexport)
#else
#define KS_API __declspec(dllimport)
#endif
#else
#define KS_STDCALL
#define KS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes, as the signed 16-bit values the exports return. */
#define KS_OK ((int16_t)1)    /* 0x0001: success */
#define KS_ERR_OPEN_OR_NO_DEV ((int16_t)-2)   /* 0xFFFE: encoder did not open, IC card read failed in the PSC step, or no known USB device */
#define KS_ERR_CARD_INVALID ((int16_t)-3)   /* 0xFFFD: card content invalid: check byte, identity, undecodable type, not a 24C64 data card */
#define KS_ERR_NOT_MIFARE_1K ((int16_t)-4)   /* 0xFFFC: Mifare card of the wrong size, or a system password card was to be cleared */
#define KS_ERR_COMM ((int16_t)-5)   /* 0xFFFB: communication with encoder or card failed (no card, read, write, auth, verify) */
#define KS_ERR_IC_NOT_OPEN ((int16_t)-6)   /* 0xFFFA: the contact IC encoder is not open */
#define KS_ERR_NO_RECORD ((int16_t)-7)   /* 0xFFF9: no open-door record is left */
#define KS_ERR_MEDIUM_RESERVED ((int16_t)-8)   /* 0xFFF8: LockType recognised but not served (1, 4), or EncodeInit found one outside 2, 3, 5 */
#define KS_ERR_UNAVAILABLE ((int16_t)-9)   /* 0xFFF7: operation not available for the configured LockType, or not supported */
#define KS_ERR_COLLECTOR ((int16_t)-12)  /* 0xFFF4: the hand-held collector was not found first, did not answer or refused */
#define KS_ERR_NOT_CLEARED ((int16_t)-13)  /* 0xFFF3: the card on the encoder is not a cleared card */
#define KS_ERR_OTHER_HOTEL ((int16_t)-14)  /* 0xFFF2: the card carries another hotel's system password */
#define KS_ERR_HOST ((int16_t)-15)  /* 0xFFF1: Kestrane64.dll only: the 32-bit host process is not available */

/* Start-up: path is a NUL-terminated INI path in a buffer of at least 255
 * bytes; byte 1 of the buffer is overwritten with the chosen COM port number.
 * Returns KS_OK, KS_ERR_OPEN_OR_NO_DEV or KS_ERR_MEDIUM_RESERVED. */
KS_API int16_t KS_STDCALL EncodeInit(char *path);
/* Closes the contact IC encoder. KS_OK, KS_ERR_IC_NOT_OPEN, KS_ERR_MEDIUM_RESERVED, KS_ERR_UNAVAILABLE. */
KS_API int16_t KS_STDCALL EncodeExit(void);

/* The card family: every Make...Card export takes these 11 arguments.
 *   cardSerial  out, 8 elements: identity bytes of the card written
 *   spare       not used
 *   number      scalar: byte 10 of floor and install cards
 *   listA       4 elements   listB  4 elements   wideList 12 elements
 *   optionFlag  scalar: card byte 19 is 1 when this equals 1, else 0
 *   typeCode    1 element (lost card only)
 *   listC       4 elements
 *   startTime   5 elements (time card: 6): year, month, day, hour, minute;
 *               element 0 is reduced by 2000 in place
 *   endTime     5 elements; element 0 is reduced by 2000 in place
 * Results: KS_OK, KS_ERR_UNAVAILABLE (no medium configured), or the driver's
 * failure (KS_ERR_IC_NOT_OPEN, KS_ERR_OPEN_OR_NO_DEV, KS_ERR_COMM,
 * KS_ERR_NOT_MIFARE_1K, KS_ERR_CARD_INVALID, KS_ERR_NOT_CLEARED,
 * KS_ERR_OTHER_HOTEL, or the TEMIC device library's own open status). */
#define KS_CARD_FAMILY_ARGS                                                        \
    int16_t *cardSerial, int32_t spare, int32_t number, int16_t *listA,           \
        int16_t *listB, int16_t *wideList, int32_t optionFlag, int16_t *typeCode, \
        int16_t *listC, int16_t *startTime, int16_t *endTime

KS_API int16_t KS_STDCALL MakeTimeCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeEmergentCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeGuestCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeFloorCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeCleanDistrictCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeBuildingCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeLongOpenCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeChiefCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeInstallCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeLostCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeDataCard(KS_CARD_FAMILY_ARGS);
KS_API int16_t KS_STDCALL MakeGuestLeaveCard(KS_CARD_FAMILY_ARGS);
/* Issues nothing: always KS_ERR_UNAVAILABLE, arguments untouched. */
KS_API int16_t KS_STDCALL MakeSealCard(KS_CARD_FAMILY_ARGS);

/* Reads and decodes the card on the encoder. Same 11 slots, all outputs;
 * number, optionFlag and typeCode are 1-element arrays here; startTime and
 * endTime need 6 elements (a time card returns its seconds in startTime[5]
 * and six zeros in endTime). Outputs a card
 * kind does not use are left as passed. KS_OK (typeCode 20: cleared card),
 * KS_ERR_UNAVAILABLE, KS_ERR_CARD_INVALID. */
KS_API int16_t KS_STDCALL ReadCard(int16_t *cardSerial, int32_t spare, int16_t *number,
                                   int16_t *listA, int16_t *listB, int16_t *wideList,
                                   int16_t *optionFlag, int16_t *typeCode, int16_t *listC,
                                   int16_t *startTime, int16_t *endTime);

/* Takes the system password from a system password card: out 5 elements
 * (password bytes 0..3, one further byte). KS_OK, KS_ERR_UNAVAILABLE,
 * KS_ERR_CARD_INVALID, KS_ERR_COMM, KS_ERR_NOT_MIFARE_1K. */
KS_API int16_t KS_STDCALL ReadSystemPas(int16_t *password);

/* Clears the card on the encoder for reuse; cardSerial out (8 elements on
 * Mifare, 4 on IC 4442, untouched on TEMIC). KS_OK, KS_ERR_MEDIUM_RESERVED,
 * KS_ERR_UNAVAILABLE or the driver's failure. */
KS_API int16_t KS_STDCALL ClearCardData(int16_t *cardSerial);

/* Serial of a Mifare card: element 0 carries the COM port number on entry;
 * on KS_OK elements 0..3 hold the serial (least significant first), 4..7 zero.
 * KS_OK or KS_ERR_COMM. Needs no EncodeInit. */
KS_API int16_t KS_STDCALL M1_ReadSn(int16_t *serial);
/* ROM ID of an iButton: element 0 carries the TMEX port number on entry; on
 * KS_OK elements 0..7 hold family code, 48-bit serial, CRC-8. KS_OK or KS_ERR_COMM. */
KS_API int16_t KS_STDCALL TM_ReadSn(int16_t *rom);

/* Enciphers (mode 0) or deciphers (any other mode) length (0..255) elements
 * in place with the library's fixed key. Always KS_OK (KS_ERR_UNAVAILABLE for
 * a null array with a nonzero length). */
KS_API int16_t KS_STDCALL Des2(int16_t *data, int32_t length, int32_t mode);

/* Fetches an open-door log from the collector or the configured data card. */
KS_API int16_t KS_STDCALL ReadDataCard(int32_t unused);
/* Next valid open-door record: header(1), -, -, -, headerList(6), kind(1),
 * time(5: year, month, day, hour, minute), cardBytes(4). KS_OK or KS_ERR_NO_RECORD. */
KS_API int16_t KS_STDCALL ReadOneOpenDoorRecord(int16_t *header, int16_t *unused2,
                                                int16_t *unused3, int16_t *unused4,
                                                int16_t *headerList, int16_t *kind,
                                                int16_t *time, int16_t *cardBytes);

/* Hand-held collector: set its clock (6 elements, year reduced by 2000 in
 * place) and its room number (10 elements). KS_OK, KS_ERR_OPEN_OR_NO_DEV,
 * KS_ERR_COLLECTOR, or the serial library's send status. */
KS_API int16_t KS_STDCALL PDA_SetTime(int16_t *time);
KS_API int16_t KS_STDCALL PDA_SetRoomNumber(int16_t *room);

#ifdef __cplusplus
}
#endif

#endif /* KESTRANE_H */
