// IBFS32 facade: the TMEX calls the library makes, served by the iButton
// reader model. An injected fault answers as the real library does when it
// fails: no session, port not ready, no presence, a bad session handle.
#include "media/vendor/ibfs32.h"

#include "bench.h"
#include "devices/ibutton_device.h"

extern "C" {

int32_t KS_VENDOR_CALL TMExtendedStartSession(int16_t port, int16_t portType, void *options) {
    if (bench::BeginCall("TMExtendedStartSession",
                         {port, portType, options == nullptr ? 0 : 1}))
        return static_cast<int32_t>(bench::EndCall(0));
    return static_cast<int32_t>(
        bench::EndCall(bench::ibutton::StartSession(port, portType, options)));
}

int16_t KS_VENDOR_CALL TMSetup(int32_t session) {
    if (bench::BeginCall("TMSetup", {session})) return static_cast<int16_t>(bench::EndCall(0));
    return static_cast<int16_t>(bench::EndCall(bench::ibutton::Setup(session)));
}

int16_t KS_VENDOR_CALL TMTouchReset(int32_t session) {
    if (bench::BeginCall("TMTouchReset", {session})) return static_cast<int16_t>(bench::EndCall(0));
    return static_cast<int16_t>(bench::EndCall(bench::ibutton::TouchReset(session)));
}

int16_t KS_VENDOR_CALL TMTouchByte(int32_t session, int16_t byte) {
    if (bench::BeginCall("TMTouchByte", {session, byte}))
        return static_cast<int16_t>(bench::EndCall(bench::ibutton::kBadSession));
    const int16_t read = bench::ibutton::TouchByte(session, byte);
    const uint8_t bus = static_cast<uint8_t>(read & 0xFF);
    // Logged: the byte read back from the bus (the sent byte is an argument).
    return static_cast<int16_t>(bench::EndCall(read, &bus, 1));
}

int16_t KS_VENDOR_CALL TMEndSession(int32_t session) {
    if (bench::BeginCall("TMEndSession", {session})) return static_cast<int16_t>(bench::EndCall(0));
    return static_cast<int16_t>(bench::EndCall(bench::ibutton::EndSession(session)));
}

}  // extern "C"
