/* libkestrane_pcsc: the vendor reader functions over PC/SC, plus a listing of
 * the PC/SC readers for tools (`kestrane readers`).
 *
 * Which reader serves which medium (first match wins):
 *   1. the environment variables KESTRANE_PCSC_MIFARE_READER and
 *      KESTRANE_PCSC_SLE4442_READER, each a part of a reader's name
 *      (case-insensitive), e.g. "ACR122" or "Virtual PCD 00 01";
 *   2. kestrane_pcsc.ini beside this library:
 *        [Readers]
 *        Mifare = ACR122
 *        SLE4442 = ACR39
 *   3. otherwise the first reader holding a card of the medium's kind
 *      (Mifare Classic 1K or 4K; SLE4442); with none, there is no card.
 * A named reader that does not exist is an absent device. The COM port
 * numbers the library passes (CommProt, the M1_ReadSn port) are ignored. */
#ifndef KESTRANE_PCSC_H
#define KESTRANE_PCSC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KS_PCSC_MIFARE_READER_VARIABLE "KESTRANE_PCSC_MIFARE_READER"
#define KS_PCSC_SLE4442_READER_VARIABLE "KESTRANE_PCSC_SLE4442_READER"
#define KS_PCSC_SETTINGS_FILE "kestrane_pcsc.ini"

/* The kind of card a reader holds, from its ATR. */
enum KsPcscCardKind {
    KS_PCSC_NO_CARD = 0,
    KS_PCSC_MIFARE_1K = 1,
    KS_PCSC_MIFARE_4K = 2,
    KS_PCSC_SLE4442 = 3,
    KS_PCSC_OTHER = 4
};

typedef struct KsPcscReaderInfo {
    char name[128];
    int32_t cardPresent;  /* 1: a card is in the reader */
    uint8_t atr[36];
    int32_t atrLength;
    int32_t kind;         /* enum KsPcscCardKind */
    uint8_t uid[10];      /* contactless cards: FF CA 00 00 00 */
    int32_t uidLength;    /* 0: none read (contact card, or the reader is busy) */
} KsPcscReaderInfo;

/* Fills up to `max` entries; returns the number of readers (which may be more
 * than `max`), or -1 when no PC/SC service answers. */
/* Natively only: the Windows DLLs export the vendor functions and nothing else. */
#if !defined(_WIN32)
__attribute__((visibility("default")))
#endif
int32_t KsPcscListReaders(KsPcscReaderInfo *out, int32_t max);

#ifdef __cplusplus
}
#endif

#endif
