// The 25 exported front doors. Each one only hands its arguments, and the
// process-wide encoder state, to the unit that does the work; what depends on
// the medium goes through the table EncodeInit chose (g_encoder.medium).
#include "kestrane.h"

#include "api/encoder_state.h"
#include "api/startup.h"
#include "cards/issuing.h"
#include "codec/des.h"
#include "datacollect/datacollect.h"
#include "media/ibutton.h"
#include "media/mifare.h"
#include "reading/reading.h"

extern "C" {

int16_t KS_STDCALL EncodeInit(char *path) { return EncoderStart(path); }
int16_t KS_STDCALL EncodeExit(void) { return g_encoder.medium->close(g_encoder); }

#define KS_CARD_FAMILY_PASS                                                              \
    CardFamilyArgs {                                                                     \
        cardSerial, spare, number, listA, listB, wideList, optionFlag, typeCode, listC, \
            startTime, endTime                                                           \
    }
#define KS_DEFINE_MAKE(ExportName, Kind) \
    int16_t KS_STDCALL ExportName(KS_CARD_FAMILY_ARGS) { return IssueCard(g_encoder, Kind, KS_CARD_FAMILY_PASS); }

KS_DEFINE_MAKE(MakeTimeCard, CardKind::Time)
KS_DEFINE_MAKE(MakeEmergentCard, CardKind::Emergent)
KS_DEFINE_MAKE(MakeGuestCard, CardKind::Guest)
KS_DEFINE_MAKE(MakeFloorCard, CardKind::Floor)
KS_DEFINE_MAKE(MakeCleanDistrictCard, CardKind::CleanDistrict)
KS_DEFINE_MAKE(MakeBuildingCard, CardKind::Building)
KS_DEFINE_MAKE(MakeLongOpenCard, CardKind::LongOpen)
KS_DEFINE_MAKE(MakeChiefCard, CardKind::Chief)
KS_DEFINE_MAKE(MakeInstallCard, CardKind::Install)
KS_DEFINE_MAKE(MakeLostCard, CardKind::Lost)
KS_DEFINE_MAKE(MakeDataCard, CardKind::Data)
KS_DEFINE_MAKE(MakeGuestLeaveCard, CardKind::GuestLeave)
KS_DEFINE_MAKE(MakeSealCard, CardKind::Seal)

int16_t KS_STDCALL ReadCard(int16_t *cardSerial, int32_t spare, int16_t *number, int16_t *listA,
                            int16_t *listB, int16_t *wideList, int16_t *optionFlag,
                            int16_t *typeCode, int16_t *listC, int16_t *startTime,
                            int16_t *endTime) {
    return DecodeCard(g_encoder, ReadCardArgs{cardSerial, spare, number, listA, listB, wideList, optionFlag,
                                   typeCode, listC, startTime, endTime});
}

int16_t KS_STDCALL ReadSystemPas(int16_t *password) { return TakeSystemPassword(g_encoder, password); }
int16_t KS_STDCALL ClearCardData(int16_t *cardSerial) { return g_encoder.medium->clearCard(g_encoder, cardSerial); }
int16_t KS_STDCALL M1_ReadSn(int16_t *serial) { return MifareReadSerialNumber(serial); }
int16_t KS_STDCALL TM_ReadSn(int16_t *rom) { return TmReadSerialNumber(rom); }
int16_t KS_STDCALL Des2(int16_t *data, int32_t length, int32_t mode) {
    return RunDes2(data, length, mode);
}

int16_t KS_STDCALL ReadDataCard(int32_t) { return FetchOpenDoorLog(g_encoder); }
int16_t KS_STDCALL ReadOneOpenDoorRecord(int16_t *header, int16_t *, int16_t *, int16_t *,
                                         int16_t *headerList, int16_t *kind, int16_t *time,
                                         int16_t *cardBytes) {
    return NextOpenDoorRecord(header, headerList, kind, time, cardBytes);
}
int16_t KS_STDCALL PDA_SetTime(int16_t *time) { return CollectorSetTime(g_encoder, time); }
int16_t KS_STDCALL PDA_SetRoomNumber(int16_t *room) { return CollectorSetRoomNumber(g_encoder, room); }

}  // extern "C"
