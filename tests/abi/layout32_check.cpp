// Compile-time checks of the records and payloads as a 32-bit host sees them.
#include "velmora_sync.h"

#include <cstddef>

static_assert(sizeof(void *) == 4, "this file is compiled by the 32-bit build only");
static_assert(sizeof(PayloadTag) == 16);
static_assert(sizeof(HostRecord) == 8);
static_assert(offsetof(HostRecord, message) == 4);
static_assert(sizeof(HostMessage) == 12);
static_assert(offsetof(HostMessage, size) == 4 && offsetof(HostMessage, payload) == 8);
static_assert(sizeof(ResultPayload) == 20);
static_assert(offsetof(ResultPayload, result) == 16);
static_assert(sizeof(TransferPayload) == 32);
static_assert(offsetof(TransferPayload, count) == 16);
static_assert(offsetof(TransferPayload, code) == 24 && offsetof(TransferPayload, codeClass) == 28);
static_assert(sizeof(ListingPayload) == 32);
static_assert(offsetof(ListingPayload, result) == 16 && offsetof(ListingPayload, path) == 20);
static_assert(offsetof(ListingPayload, listing) == 24 && offsetof(ListingPayload, length) == 28);
static_assert(sizeof(ListingSizePayload) == 28);
static_assert(offsetof(ListingSizePayload, path) == 20 && offsetof(ListingSizePayload, size) == 24);
static_assert(sizeof(LinkStatusPayload) == 32);
static_assert(offsetof(LinkStatusPayload, status) == 16 && offsetof(LinkStatusPayload, reserved) == 20);
static_assert(HOST_MESSAGE == 0xB9B2);
