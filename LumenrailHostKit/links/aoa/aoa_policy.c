#include "links/aoa/aoa_policy.h"

#include <string.h>

static uint32_t le32(const uint8_t *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static bool is_accessory_product(uint16_t product) {
  return product >= AOA_ACCESSORY_PRODUCT_FIRST && product <= AOA_ACCESSORY_PRODUCT_LAST;
}

bool aoa_match_accessory(uint16_t vendor, uint16_t product) {
  return vendor == AOA_GOOGLE_VENDOR && is_accessory_product(product);
}

bool aoa_match_normal_phone(uint16_t vendor, uint16_t product, const aoa_options *options) {
  /* The caller checked an explicit vendor filter already. */
  if (options && options->vendor_id != 0) return true;
  if (vendor == AOA_GOOGLE_VENDOR) return !is_accessory_product(product);
  return vendor == AOA_SAMSUNG_VENDOR;
}

bool aoa_is_connect_burst(const uint8_t *data, size_t length) {
  if (!data || length < 5) return false;
  if (data[0] != AOA_WIRE_REQUEST_HELLO || le32(data + 1) != 0) return false;
  size_t at = 0;
  while (at < length) {
    if (length - at < 5) return false;
    const uint32_t payload = le32(data + at + 1);
    if (payload > AOA_MAX_BURST_PAYLOAD) return false;
    if (length - at - 5 < payload) return false;
    at += 5 + (size_t)payload;
  }
  return true;
}

bool aoa_is_lone_bye(const uint8_t *data, size_t length, int *reason) {
  if (!data || length < 5 || length > 9) return false;
  if (data[0] != AOA_WIRE_BYE) return false;
  const uint32_t payload = le32(data + 1);
  if (payload > 4 || length != 5 + (size_t)payload) return false;
  if (reason) *reason = payload > 0 ? data[5] : 0;
  return true;
}

bool aoa_needs_zero_packet(int length, int max_packet) {
  if (max_packet < 1) max_packet = 512;
  return length >= 1 && length < AOA_OUT_CHUNK && length % max_packet == 0;
}

void aoa_table_put(aoa_table *table, uint8_t bus, uint8_t address, uint64_t now_ms) {
  aoa_stamp *slot = NULL;
  for (int i = 0; i < AOA_TABLE_SIZE && !slot; i++) {
    aoa_stamp *e = &table->entries[i];
    if (e->used && e->bus == bus && e->address == address) slot = e;
  }
  for (int i = 0; i < AOA_TABLE_SIZE && !slot; i++) {
    if (!table->entries[i].used) slot = &table->entries[i];
  }
  if (!slot) {
    slot = &table->entries[0];
    for (int i = 1; i < AOA_TABLE_SIZE; i++) {
      if (table->entries[i].ms < slot->ms) slot = &table->entries[i];
    }
  }
  slot->used = 1;
  slot->bus = bus;
  slot->address = address;
  slot->ms = now_ms;
}

static const aoa_stamp *find(const aoa_table *table, uint8_t bus, uint8_t address) {
  for (int i = 0; i < AOA_TABLE_SIZE; i++) {
    const aoa_stamp *e = &table->entries[i];
    if (e->used && e->bus == bus && e->address == address) return e;
  }
  return NULL;
}

void aoa_table_remove(aoa_table *table, uint8_t bus, uint8_t address) {
  for (int i = 0; i < AOA_TABLE_SIZE; i++) {
    aoa_stamp *e = &table->entries[i];
    if (e->used && e->bus == bus && e->address == address) e->used = 0;
  }
}

bool aoa_table_contains(const aoa_table *table, uint8_t bus, uint8_t address) {
  return find(table, bus, address) != NULL;
}

bool aoa_table_recent(const aoa_table *table, uint8_t bus, uint8_t address, uint64_t now_ms) {
  const aoa_stamp *e = find(table, bus, address);
  if (!e) return false;
  /* A clock that reads earlier than the stamp counts as no time passed. */
  const uint64_t age = now_ms >= e->ms ? now_ms - e->ms : 0;
  return age < AOA_RETRY_WINDOW_MS;
}

int aoa_pump_result(const aoa_pump_outcome *o) {
  if (o->client_bye && !o->stop_requested) return AOA_CLIENT_DECLINED;
  if (o->first_read_timed_out) return o->upstream != 0 ? AOA_NEVER_READ : AOA_PHONE_SILENT;
  if (o->stalled) return AOA_PHONE_STOPPED_READING;
  if (o->usb_error) return o->drained != 0 ? AOA_DESYNC : AOA_USB_ERROR;
  if (o->upstream != 0) return AOA_CLEAN_END;
  return o->stop_requested ? AOA_CLEAN_END : AOA_PHONE_SILENT;
}

const char *aoa_result_name(int code) {
  switch (code) {
    case AOA_PHONE_STOPPED_READING: return "phone stopped reading (client app gone)";
    case AOA_USB_ERROR: return "USB error";
    case AOA_NEVER_READ: return "phone never read (cable un-armed)";
    case AOA_DESYNC: return "bulk-OUT desync mid-stream";
    case AOA_CLEAN_END: return "clean end";
    case AOA_CLIENT_DECLINED: return "client is not taking the cable";
    case AOA_PHONE_SILENT: return "the phone never spoke (no client on this cable)";
    default: return "unknown";
  }
}
