// PENDING: card issuing (being built).
#include "cards/issuing.h"
#include "api/result_codes.h"

int16_t IssueCard(CardKind, const CardFamilyArgs &) { return KS_ERR_UNAVAILABLE; }
