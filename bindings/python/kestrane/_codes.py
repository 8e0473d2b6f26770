"""The library's result codes: the header's names and values, the tool's
wording of what each means."""

OK = 1

# Signed 16-bit code -> (name, meaning).
RESULT_CODES = {
    1: ("KS_OK", "success"),
    -2: ("KS_ERR_OPEN_OR_NO_DEV",
         "the encoder did not open, the IC card could not be read, or no known USB device is attached"),
    -3: ("KS_ERR_CARD_INVALID",
         "card content invalid: a check byte or the card identity failed, the card type is not decodable, "
         "or the contact data card is not a readable 24C64 card"),
    -4: ("KS_ERR_NOT_MIFARE_1K",
         "not a Mifare card of the expected size, or a system password card was to be cleared"),
    -5: ("KS_ERR_COMM",
         "communication with the encoder or the card failed (no card, read, write, authentication or "
         "verification failed)"),
    -6: ("KS_ERR_IC_NOT_OPEN", "the contact IC encoder is not open"),
    -7: ("KS_ERR_NO_RECORD", "no open-door record is left"),
    -8: ("KS_ERR_MEDIUM_RESERVED",
         "the configured LockType is recognised but not served (1, 4), or is outside 2, 3, 5"),
    -9: ("KS_ERR_UNAVAILABLE",
         "the operation is not available for the configured LockType, or not supported at all"),
    -12: ("KS_ERR_COLLECTOR",
          "the hand-held collector was not the device found first, did not answer or refused"),
    -13: ("KS_ERR_NOT_CLEARED", "the card on the encoder is not a cleared card (clear it first)"),
    -14: ("KS_ERR_OTHER_HOTEL", "the card carries another installation's system password"),
    -15: ("KS_ERR_HOST", "the 32-bit host process is not available"),
}

# A code outside the table: a device library's own status, passed on.
DEVICE_STATUS = (None, "a device library's own status, handed on unchanged by the library")

NO_RECORD = -7


class KestraneError(Exception):
    """A library call failed: `code` (signed 16-bit), `name` (KS_ERR_..., or
    None for a device library's own status), `meaning` and `function` (the
    export that answered). `records`: the open-door records `collect()` had
    already taken from the library when the call failed (the library hands
    each over once)."""

    def __init__(self, function, code):
        self.records = []
        self.function = function
        self.code = code
        self.name, self.meaning = RESULT_CODES.get(code, DEVICE_STATUS)
        super().__init__(f"{function} failed with 0x{code & 0xFFFF:04X} ({code}) "
                         f"{self.name or '(device status)'}: {self.meaning}")


def check(function, code):
    if code != OK:
        raise KestraneError(function, code)
