#ifndef LUMENRAIL_AOA_POLICY_H
#define LUMENRAIL_AOA_POLICY_H

/* The driver's pure rules, apart from USB and threads. */

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "links/aoa/aoa.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  AOA_GOOGLE_VENDOR = 0x18D1,
  AOA_SAMSUNG_VENDOR = 0x04E8,
  AOA_ACCESSORY_PRODUCT_FIRST = 0x2D00,
  AOA_ACCESSORY_PRODUCT_LAST = 0x2D05,
  AOA_TABLE_SIZE = 8,
  AOA_RETRY_WINDOW_MS = 4000,
  AOA_OUT_CHUNK = 16384,
  AOA_MAX_BURST_PAYLOAD = 65536,
  AOA_WIRE_REQUEST_HELLO = 0x07,
  AOA_WIRE_BYE = 0x09
};

bool aoa_match_accessory(uint16_t vendor, uint16_t product);
bool aoa_match_normal_phone(uint16_t vendor, uint16_t product, const aoa_options *options);

/* A run of whole wire packets filling the transfer exactly, each payload at
 * most 64 KiB, the first an empty requestHello. */
bool aoa_is_connect_burst(const uint8_t *data, size_t length);
/* Exactly one Bye with a payload of at most 4 bytes; `reason` is its first
 * payload byte, 0 when empty. */
bool aoa_is_lone_bye(const uint8_t *data, size_t length, int *reason);
/* A chunk that ends on a packet boundary below the chunk size needs a
 * zero-length packet, or the phone's read would not complete. */
bool aoa_needs_zero_packet(int length, int max_packet);

typedef struct aoa_stamp {
  uint8_t used;
  uint8_t bus;
  uint8_t address;
  uint64_t ms;
} aoa_stamp;

typedef struct aoa_table {
  aoa_stamp entries[AOA_TABLE_SIZE];
} aoa_table;

/* Same device overwrites; else the first free entry; else the oldest. */
void aoa_table_put(aoa_table *table, uint8_t bus, uint8_t address, uint64_t now_ms);
void aoa_table_remove(aoa_table *table, uint8_t bus, uint8_t address);
bool aoa_table_contains(const aoa_table *table, uint8_t bus, uint8_t address);
/* Entered less than AOA_RETRY_WINDOW_MS before `now_ms`. */
bool aoa_table_recent(const aoa_table *table, uint8_t bus, uint8_t address, uint64_t now_ms);

typedef struct aoa_pump_outcome {
  bool client_bye;
  bool stop_requested;
  bool first_read_timed_out;
  bool stalled;
  bool usb_error;
  uint64_t drained;
  uint64_t upstream;
} aoa_pump_outcome;

int aoa_pump_result(const aoa_pump_outcome *outcome);

#ifdef __cplusplus
}
#endif

#endif
