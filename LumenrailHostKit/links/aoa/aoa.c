#define _GNU_SOURCE
#include "links/aoa/aoa.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#include "links/aoa/aoa_policy.h"
#include "links/aoa/aoa_usb.h"

#ifndef LUMENRAIL_PRODUCT_SITE_ROOT
#define LUMENRAIL_PRODUCT_SITE_ROOT "https://lumenrail.quillmark.example/"
#endif

enum {
  SLOTS = 8,
  IN_BUFFER = 64 * 1024,
  SOCK_READ = 256 * 1024,
  CONTROL_TIMEOUT_MS = 1000,
  IN_TIMEOUT_MS = 500,
  WAIT_SLICE_MS = 250,
  STALL_MS = 5000,
  DEFAULT_FIRST_READ_S = 20,
  SERIAL_MAX = 127
};

typedef struct aoa_slot {
  aoa_session *session;
  int index;
} aoa_slot;

struct aoa_session {
  const aoa_usb_ops *ops;
  void *ctx;
  void *handle;
  uint8_t ep_in, ep_out;
  int32_t max_packet;
  bool claimed;
  int32_t first_read_timeout_s;
  uint8_t bus, address;
  bool busy_registered;
  /* Shared by the caller's, the event and the up thread, and aoa_stop. */
  atomic_bool stop;
  atomic_bool stop_requested;
  atomic_bool client_bye;
  atomic_int sock;
  uint8_t *burst;
  size_t burst_len;
  void *transfers[SLOTS];
  aoa_slot slots[SLOTS];
  uint8_t out_buf[SLOTS][AOA_OUT_CHUNK];
  /* Guarded by mu. */
  int32_t in_flight[SLOTS];
  int32_t free_slots;
  bool usb_error;
  uint64_t drained;
  uint64_t last_progress_ms;
  bool stalled;
  atomic_uint_fast64_t upstream;
  pthread_mutex_t mu;
  pthread_cond_t cv;
  atomic_bool events_running;
};

/* ---- process-wide state ---- */

static pthread_mutex_t g_global_mu = PTHREAD_MUTEX_INITIALIZER;
/* Serialises creating and ending the USB context, which must not run under
 * g_global_mu (that one is never held across a USB call). */
static pthread_mutex_t g_life_mu = PTHREAD_MUTEX_INITIALIZER;
static aoa_log_fn g_log;
static void *g_log_ctx;
static int32_t g_refs;
static void *g_ctx;
static aoa_table g_failed;
static aoa_table g_handshakes;
static aoa_table g_busy;
/* Devices that could not be opened, so the refusal is reported once per window. */
static aoa_table g_refused;
static _Atomic(const aoa_usb_ops *) g_ops;

static const aoa_usb_ops *ops_now(void) {
  const aoa_usb_ops *ops = atomic_load(&g_ops);
  return ops ? ops : aoa_libusb_ops();
}

void aoa_set_usb_ops(const aoa_usb_ops *ops) { atomic_store(&g_ops, ops); }

void aoa_forget_devices(void) {
  pthread_mutex_lock(&g_global_mu);
  memset(&g_failed, 0, sizeof g_failed);
  memset(&g_handshakes, 0, sizeof g_handshakes);
  memset(&g_refused, 0, sizeof g_refused);
  pthread_mutex_unlock(&g_global_mu);
}

__attribute__((format(printf, 1, 2))) static void logf_msg(const char *format, ...) {
  pthread_mutex_lock(&g_global_mu);
  aoa_log_fn log = g_log;
  void *ctx = g_log_ctx;
  pthread_mutex_unlock(&g_global_mu);
  if (!log) return;
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log(ctx, text);
}

int aoa_global_init(aoa_log_fn log, void *ctx) {
  pthread_mutex_lock(&g_life_mu);
  pthread_mutex_lock(&g_global_mu);
  g_log = log;
  g_log_ctx = ctx;
  const bool first = g_refs == 0;
  pthread_mutex_unlock(&g_global_mu);
  if (first) {
    void *usb = NULL;
    if (ops_now()->init(&usb) != 0 || !usb) {
      pthread_mutex_unlock(&g_life_mu);
      return -1;
    }
    pthread_mutex_lock(&g_global_mu);
    g_ctx = usb;
    pthread_mutex_unlock(&g_global_mu);
  }
  pthread_mutex_lock(&g_global_mu);
  g_refs++;
  pthread_mutex_unlock(&g_global_mu);
  pthread_mutex_unlock(&g_life_mu);
  return 0;
}

void aoa_global_shutdown(void) {
  pthread_mutex_lock(&g_life_mu);
  void *ending = NULL;
  pthread_mutex_lock(&g_global_mu);
  if (g_refs > 0 && --g_refs == 0) {
    ending = g_ctx;
    g_ctx = NULL;
    /* The sink's owner may be gone after its last shutdown. */
    g_log = NULL;
    g_log_ctx = NULL;
  }
  pthread_mutex_unlock(&g_global_mu);
  if (ending) ops_now()->exit(ending);
  pthread_mutex_unlock(&g_life_mu);
}

/* ---- device search ---- */

typedef bool (*matcher_fn)(uint16_t vendor, uint16_t product, const aoa_options *options);

static bool accessory_matcher(uint16_t vendor, uint16_t product, const aoa_options *options) {
  (void)options;
  return aoa_match_accessory(vendor, product);
}

typedef struct found_device {
  void *handle;
  uint16_t vendor, product;
  uint8_t bus, address;
} found_device;

/* Reports a device that cannot be opened once per window, then skips it quietly. */
static void note_refused(const aoa_usb_ops *ops, const aoa_usb_device_info *info, int rc, uint64_t now) {
  pthread_mutex_lock(&g_global_mu);
  const bool quiet = aoa_table_recent(&g_refused, info->bus, info->address, now);
  if (!quiet) aoa_table_put(&g_refused, info->bus, info->address, now);
  pthread_mutex_unlock(&g_global_mu);
  if (quiet) return;
  if (rc == AOA_USB_ERROR_ACCESS) {
    logf_msg("cannot open %04x:%04x (bus %u, address %u): %s — no permission; install the udev rule for "
             "Lumenrail or run the host as root",
             info->vendor_id, info->product_id, info->bus, info->address, ops->error_name(rc));
  } else {
    logf_msg("cannot open %04x:%04x (bus %u, address %u): %s", info->vendor_id, info->product_id, info->bus,
             info->address, ops->error_name(rc));
  }
}

static bool open_match(const aoa_usb_ops *ops, void *ctx, matcher_fn matcher, const aoa_options *options,
                       aoa_table *table, int *counter, int *refused, found_device *found) {
  const uint64_t now = ops->now_ms();
  if (counter) *counter = 0;
  memset(found, 0, sizeof *found);
  void *list = NULL;
  const long count = ops->get_device_list(ctx, &list);
  if (count < 0) return false;
  bool taken = false;
  for (long i = 0; i < count && !taken; i++) {
    void *device = ops->list_device(list, i);
    aoa_usb_device_info info;
    if (ops->describe(device, &info) != 0) continue;
    if (options->vendor_id != 0 && options->vendor_id != info.vendor_id) continue;
    if (options->product_id != 0 && options->product_id != info.product_id) continue;
    if (!matcher(info.vendor_id, info.product_id, options)) continue;

    pthread_mutex_lock(&g_global_mu);
    const bool busy = aoa_table_contains(&g_busy, info.bus, info.address);
    const bool recent = !busy && aoa_table_recent(table, info.bus, info.address, now);
    pthread_mutex_unlock(&g_global_mu);
    if (busy) continue;
    if (recent) {
      if (counter) ++*counter;
      continue;
    }

    void *handle = NULL;
    const int rc = ops->open(device, &handle);
    if (rc != 0 || !handle) {
      note_refused(ops, &info, rc != 0 ? rc : AOA_USB_ERROR_OTHER, now);
      if (refused) ++*refused;
      continue;
    }
    if (options->serial) {
      char text[SERIAL_MAX + 1];
      int n = info.serial_index != 0 ? ops->get_string_ascii(handle, info.serial_index, text, SERIAL_MAX) : -1;
      if (n < 0 || n > SERIAL_MAX) {
        ops->close(handle);
        continue;
      }
      text[n] = '\0';
      if (strcmp(text, options->serial) != 0) {
        ops->close(handle);
        continue;
      }
    }
    found->handle = handle;
    found->vendor = info.vendor_id;
    found->product = info.product_id;
    found->bus = info.bus;
    found->address = info.address;
    taken = true;
  }
  ops->free_device_list(list);
  return taken;
}

static void stamp_put(aoa_table *table, uint8_t bus, uint8_t address, uint64_t now) {
  pthread_mutex_lock(&g_global_mu);
  aoa_table_put(table, bus, address, now);
  pthread_mutex_unlock(&g_global_mu);
}

static void mark_failed(aoa_session *s) { stamp_put(&g_failed, s->bus, s->address, s->ops->now_ms()); }

static const char *const k_identity[6] = {
    "lumenrail", "lumenrail-display", "lumenrail virtual display", "1.0", LUMENRAIL_PRODUCT_SITE_ROOT, "0001",
};

/* Switches a phone in ordinary mode into accessory mode; it re-enumerates. */
static int handshake(const aoa_usb_ops *ops, void *handle) {
  unsigned char version_le[2] = {0, 0};
  int rc = ops->control_transfer(handle, 0xC0, 51, 0, 0, version_le, 2, CONTROL_TIMEOUT_MS);
  if (rc < 0) {
    logf_msg("GET_PROTOCOL failed: %s", ops->error_name(rc));
    return AOA_UNUSABLE;
  }
  const unsigned version = (unsigned)version_le[0] | (unsigned)version_le[1] << 8;
  if (version == 0) {
    logf_msg("device does not support AOA");
    return AOA_UNUSABLE;
  }
  for (unsigned index = 0; index < 6; index++) {
    const char *text = k_identity[index];
    rc = ops->control_transfer(handle, 0x40, 52, 0, (uint16_t)index, (unsigned char *)text,
                               (uint16_t)(strlen(text) + 1), CONTROL_TIMEOUT_MS);
    if (rc < 0) {
      logf_msg("SEND_STRING id=%u (%s) failed: %s", index, text, ops->error_name(rc));
      return AOA_UNUSABLE;
    }
  }
  rc = ops->control_transfer(handle, 0x40, 53, 0, 0, NULL, 0, CONTROL_TIMEOUT_MS);
  if (rc < 0) {
    logf_msg("ACCESSORY_START failed: %s", ops->error_name(rc));
    return AOA_UNUSABLE;
  }
  logf_msg("AOA protocol v%u — handshake sent; phone re-enumerates as 18d1:2d0x", version);
  return AOA_SWITCHING;
}

static int open_accessory(const aoa_usb_ops *ops, void *ctx, const aoa_options *options, const found_device *f,
                          aoa_session **out) {
  aoa_session *s = (aoa_session *)calloc(1, sizeof *s);
  if (!s) {
    ops->close(f->handle);
    return AOA_UNUSABLE;
  }
  s->ops = ops;
  s->ctx = ctx;
  s->handle = f->handle;
  atomic_init(&s->sock, -1);
  atomic_init(&s->stop, false);
  atomic_init(&s->stop_requested, false);
  atomic_init(&s->client_bye, false);
  atomic_init(&s->upstream, 0);
  atomic_init(&s->events_running, false);
  s->bus = f->bus;
  s->address = f->address;
  stamp_put(&g_busy, s->bus, s->address, ops->now_ms());
  s->busy_registered = true;
  s->first_read_timeout_s = options->first_read_timeout_s < 1 ? DEFAULT_FIRST_READ_S : options->first_read_timeout_s;
  pthread_mutex_init(&s->mu, NULL);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&s->cv, &attr);
  pthread_condattr_destroy(&attr);

  ops->set_auto_detach(s->handle, 1);
  if (ops->claim_interface(s->handle, 0) != 0) {
    logf_msg("claim_interface(0) failed on %04x:%04x — a composite grab can block this; disabling USB debugging "
             "makes the phone enter pure-accessory 2d00",
             f->vendor, f->product);
    mark_failed(s);
    aoa_release(s);
    return AOA_UNUSABLE;
  }
  s->claimed = true;

  aoa_usb_endpoint eps[32];
  const int n = ops->interface0_endpoints(s->handle, eps, 32);
  int32_t out_packet = 0;
  for (int i = 0; i < n; i++) {
    if (!eps[i].bulk) continue;
    if (eps[i].address & 0x80) {
      s->ep_in = eps[i].address;
    } else {
      s->ep_out = eps[i].address;
      out_packet = eps[i].max_packet;
    }
  }
  if (n < 0 || s->ep_in == 0 || s->ep_out == 0) {
    logf_msg("no bulk in/out endpoint pair on accessory iface 0");
    mark_failed(s);
    aoa_release(s);
    return AOA_UNUSABLE;
  }
  s->max_packet = out_packet < 1 ? 512 : out_packet;
  logf_msg("accessory open (%04x:%04x) bulk in=0x%02x out=0x%02x (max packet %d)", f->vendor, f->product, s->ep_in,
           s->ep_out, s->max_packet);
  *out = s;
  return AOA_ACQUIRED;
}

int aoa_acquire(const aoa_options *options, aoa_session **out) {
  aoa_options none;
  memset(&none, 0, sizeof none);
  if (!options) options = &none;
  aoa_session *local = NULL;
  aoa_session **target = out ? out : &local;
  *target = NULL;

  pthread_mutex_lock(&g_global_mu);
  void *ctx = g_ctx;
  pthread_mutex_unlock(&g_global_mu);
  if (!ctx) return AOA_UNUSABLE;
  const aoa_usb_ops *ops = ops_now();

  int refused = 0;
  found_device f;
  if (open_match(ops, ctx, accessory_matcher, options, &g_failed, NULL, &refused, &f)) {
    const int rc = open_accessory(ops, ctx, options, &f, target);
    if (!out && local) aoa_release(local);
    return rc;
  }

  int switching = 0;
  if (!open_match(ops, ctx, aoa_match_normal_phone, options, &g_handshakes, &switching, &refused, &f)) {
    if (switching > 0) return AOA_SWITCHING;
    return refused > 0 ? AOA_UNUSABLE : AOA_NO_DEVICE;
  }
  stamp_put(&g_handshakes, f.bus, f.address, ops->now_ms());
  logf_msg("phone %04x:%04x in normal mode — sending AOA handshake", f.vendor, f.product);
  const int rc = handshake(ops, f.handle);
  ops->close(f.handle);
  return rc;
}

/* ---- cable connection ---- */

static uint64_t ms_since(uint64_t now, uint64_t then) { return now >= then ? now - then : 0; }

static void timed_wait(aoa_session *s, int ms) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  pthread_cond_timedwait(&s->cv, &s->mu, &ts);
}

/* Every byte to the local socket, in waits of at most 250 ms that give up once
 * the pump is stopping: a peer that stopped reading cannot hold a thread. */
static bool send_bounded(aoa_session *s, int fd, const uint8_t *data, size_t length) {
  while (length > 0) {
    const ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      length -= (size_t)n;
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (atomic_load(&s->stop)) return false;
    struct pollfd p = {.fd = fd, .events = POLLOUT, .revents = 0};
    if (poll(&p, 1, WAIT_SLICE_MS) < 0 && errno != EINTR) return false;
  }
  return true;
}

static void request_stop_locked(aoa_session *s) {
  atomic_store(&s->stop, true);
  pthread_cond_broadcast(&s->cv);
}

int aoa_await_connect(aoa_session *s) {
  if (!s) return AOA_USB_ERROR;
  uint8_t *buf = (uint8_t *)malloc(IN_BUFFER);
  if (!buf) return AOA_USB_ERROR;
  int result = AOA_USB_ERROR;
  while (!atomic_load(&s->stop_requested)) {
    int got = 0;
    const int rc = s->ops->bulk_transfer(s->handle, s->ep_in, buf, IN_BUFFER, &got, IN_TIMEOUT_MS);
    if (rc != 0 && rc != AOA_USB_ERROR_TIMEOUT) {
      logf_msg("cable went away while waiting for the client to connect (%s)", s->ops->error_name(rc));
      break;
    }
    if (got <= 0) continue;
    if (aoa_is_connect_burst(buf, (size_t)got)) {
      free(s->burst);
      s->burst = (uint8_t *)malloc((size_t)got);
      s->burst_len = 0;
      if (!s->burst) break;
      memcpy(s->burst, buf, (size_t)got);
      s->burst_len = (size_t)got;
      logf_msg("client connect burst (%d B, first type 0x%02x) — starting a session", got, buf[0]);
      result = AOA_CLEAN_END;
      break;
    }
    logf_msg("waiting for the client to connect: %d B, first type 0x%02x — discarded", got, buf[0]);
  }
  free(buf);
  return result;
}

static bool check_stall_locked(aoa_session *s) {
  if (s->stalled) return true;
  const int pending = SLOTS - s->free_slots;
  if (pending < 1 || atomic_load(&s->upstream) == 0) return false;
  if (ms_since(s->ops->now_ms(), s->last_progress_ms) < STALL_MS) return false;
  s->stalled = true;
  request_stop_locked(s);
  logf_msg("phone stopped reading: %d transfer(s) pending, nothing completed for %d ms — ending the session "
           "(client app gone?)",
           pending, STALL_MS);
  return true;
}

static void out_cb(void *user, aoa_usb_transfer_status status, int actual_length) {
  aoa_slot *slot = (aoa_slot *)user;
  aoa_session *s = slot->session;
  pthread_mutex_lock(&s->mu);
  /* in_flight holds the submitted length, so a short transfer shows here. */
  const int32_t expected = s->in_flight[slot->index];
  if (status == AOA_USB_TRANSFER_COMPLETED && expected > 0 && actual_length == expected) {
    s->drained += (uint64_t)actual_length;
    s->last_progress_ms = s->ops->now_ms();
  } else if (status != AOA_USB_TRANSFER_CANCELLED) {
    s->usb_error = true;
    atomic_store(&s->stop, true);
  }
  if (s->in_flight[slot->index]) {
    s->in_flight[slot->index] = 0;
    s->free_slots++;
  }
  pthread_cond_broadcast(&s->cv);
  pthread_mutex_unlock(&s->mu);
}

static void *event_thread(void *arg) {
  aoa_session *s = (aoa_session *)arg;
  while (atomic_load(&s->events_running)) s->ops->handle_events(s->ctx, 100);
  return NULL;
}

static void *up_thread(void *arg) {
  aoa_session *s = (aoa_session *)arg;
  uint8_t *buf = (uint8_t *)malloc(IN_BUFFER);
  if (!buf) atomic_store(&s->stop, true);
  while (buf && !atomic_load(&s->stop)) {
    int got = 0;
    const int rc = s->ops->bulk_transfer(s->handle, s->ep_in, buf, IN_BUFFER, &got, IN_TIMEOUT_MS);
    if (rc != 0 && rc != AOA_USB_ERROR_TIMEOUT) {
      atomic_store(&s->stop, true);
      break;
    }
    if (got <= 0) continue;
    int reason = 0;
    if (aoa_is_lone_bye(buf, (size_t)got, &reason)) {
      logf_msg("client Bye (reason %d): it is not taking this cable session", reason);
      atomic_store(&s->client_bye, true);
      atomic_store(&s->stop, true);
      break;
    }
    atomic_fetch_add(&s->upstream, (uint_fast64_t)got);
    if (!send_bounded(s, atomic_load(&s->sock), buf, (size_t)got)) {
      atomic_store(&s->stop, true);
      break;
    }
  }
  free(buf);
  pthread_mutex_lock(&s->mu);
  pthread_cond_broadcast(&s->cv);
  pthread_mutex_unlock(&s->mu);
  return NULL;
}

/* Submits one chunk; false when the pump must end. Called without mu. */
static bool submit_chunk(aoa_session *s, const uint8_t *data, int length, bool *first_read_timed_out,
                         uint64_t pump_start_ms, uint64_t *waited_ms) {
  const aoa_usb_ops *ops = s->ops;
  pthread_mutex_lock(&s->mu);
  const uint64_t wait_start = ops->now_ms();
  while (s->free_slots == 0 && !atomic_load(&s->stop) && !s->usb_error) {
    timed_wait(s, WAIT_SLICE_MS);
    if (s->drained == 0 &&
        ms_since(ops->now_ms(), pump_start_ms) > (uint64_t)s->first_read_timeout_s * 1000u) {
      *first_read_timed_out = true;
      request_stop_locked(s);
      break;
    }
    if (check_stall_locked(s)) break;
  }
  *waited_ms += ms_since(ops->now_ms(), wait_start);
  if (atomic_load(&s->stop) || s->usb_error || s->free_slots == 0) {
    pthread_mutex_unlock(&s->mu);
    return false;
  }
  /* An idle pipeline is not a stalled one. */
  if (s->free_slots == SLOTS) s->last_progress_ms = ops->now_ms();
  int slot = 0;
  while (s->in_flight[slot]) slot++;
  s->in_flight[slot] = length;
  s->free_slots--;
  pthread_mutex_unlock(&s->mu);

  memcpy(s->out_buf[slot], data, (size_t)length);
  s->slots[slot].session = s;
  s->slots[slot].index = slot;
  const int zlp = aoa_needs_zero_packet(length, s->max_packet);
  if (ops->submit_out(s->transfers[slot], s->handle, s->ep_out, s->out_buf[slot], length, zlp, out_cb,
                      &s->slots[slot]) != 0) {
    pthread_mutex_lock(&s->mu);
    s->in_flight[slot] = 0;
    s->free_slots++;
    s->usb_error = true;
    request_stop_locked(s);
    pthread_mutex_unlock(&s->mu);
    return false;
  }
  return true;
}

int aoa_pump(aoa_session *s, int sock) {
  if (!s || sock < 0) return AOA_USB_ERROR;
  if (atomic_load(&s->stop_requested)) return AOA_CLEAN_END;
  const aoa_usb_ops *ops = s->ops;

  /* A stop requested while the flag is being reset must survive the reset. */
  atomic_store(&s->stop, false);
  if (atomic_load(&s->stop_requested)) atomic_store(&s->stop, true);
  atomic_store(&s->client_bye, false);
  atomic_store(&s->sock, sock);

  uint64_t upstream = 0;
  if (s->burst) {
    const bool sent = send_bounded(s, sock, s->burst, s->burst_len);
    upstream = s->burst_len;
    free(s->burst);
    s->burst = NULL;
    s->burst_len = 0;
    if (!sent) {
      atomic_store(&s->sock, -1);
      logf_msg("could not hand the client's connect burst to the local socket — session not started");
      return AOA_USB_ERROR;
    }
  }
  atomic_store(&s->upstream, upstream);

  const uint64_t start_ms = ops->now_ms();
  pthread_mutex_lock(&s->mu);
  s->usb_error = false;
  s->drained = 0;
  s->stalled = false;
  s->last_progress_ms = start_ms;
  s->free_slots = SLOTS;
  memset(s->in_flight, 0, sizeof s->in_flight);
  pthread_mutex_unlock(&s->mu);

  bool failed_setup = false;
  for (int i = 0; i < SLOTS; i++) {
    s->transfers[i] = ops->alloc_out();
    if (!s->transfers[i]) failed_setup = true;
  }
  struct timeval tv = {0, WAIT_SLICE_MS * 1000};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  atomic_store(&s->events_running, true);
  pthread_t events, up;
  const bool events_started = pthread_create(&events, NULL, event_thread, s) == 0;
  const bool up_started = pthread_create(&up, NULL, up_thread, s) == 0;
  uint8_t *buf = (uint8_t *)malloc(SOCK_READ);
  if (!buf || !events_started || !up_started) failed_setup = true;
  if (failed_setup) {
    pthread_mutex_lock(&s->mu);
    s->usb_error = true;
    request_stop_locked(s);
    pthread_mutex_unlock(&s->mu);
  }

  bool first_read_timed_out = false;
  bool first = true;
  uint64_t total = 0, period_bytes = 0, period_wait_ms = 0, period_start = start_ms, period_drained = 0;
  while (!atomic_load(&s->stop)) {
    pthread_mutex_lock(&s->mu);
    const bool stalled = check_stall_locked(s);
    pthread_mutex_unlock(&s->mu);
    if (stalled) break;
    const ssize_t n = recv(sock, buf, SOCK_READ, 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const int chunk = (int)(n - at < AOA_OUT_CHUNK ? n - at : AOA_OUT_CHUNK);
      if (!submit_chunk(s, buf + at, chunk, &first_read_timed_out, start_ms, &period_wait_ms)) break;
      at += chunk;
    }
    if (first) {
      logf_msg("first %zd B host->phone (Hello/IDR)", n);
      first = false;
    }
    total += (uint64_t)n;
    period_bytes += (uint64_t)n;
    const uint64_t now = ops->now_ms();
    if (ms_since(now, period_start) >= 1000) {
      pthread_mutex_lock(&s->mu);
      const uint64_t drained = s->drained;
      pthread_mutex_unlock(&s->mu);
      logf_msg("host->phone produced=%llu KB/s drained=%llu KB/s backpressure-wait=%llu ms/s (pipeline %d deep, "
               "total %llu KB)",
               (unsigned long long)(period_bytes / 1024), (unsigned long long)((drained - period_drained) / 1024),
               (unsigned long long)period_wait_ms, SLOTS, (unsigned long long)(total / 1024));
      period_start = now;
      period_bytes = 0;
      period_wait_ms = 0;
      period_drained = drained;
    }
  }

  /* Teardown: every in-flight transfer comes back (cancelled or done) through
   * the event thread before the transfers are freed. */
  pthread_mutex_lock(&s->mu);
  atomic_store(&s->stop, true);
  for (int i = 0; i < SLOTS; i++) {
    if (s->in_flight[i]) ops->cancel_out(s->transfers[i]);
  }
  while (s->free_slots < SLOTS && events_started) timed_wait(s, WAIT_SLICE_MS);
  aoa_pump_outcome outcome = {
      .client_bye = false,
      .stop_requested = false,
      .first_read_timed_out = first_read_timed_out,
      .stalled = s->stalled,
      .usb_error = s->usb_error,
      .drained = s->drained,
      .upstream = 0,
  };
  pthread_mutex_unlock(&s->mu);
  atomic_store(&s->events_running, false);
  if (events_started) pthread_join(events, NULL);
  if (up_started) pthread_join(up, NULL);
  for (int i = 0; i < SLOTS; i++) {
    if (s->transfers[i]) ops->free_out(s->transfers[i]);
    s->transfers[i] = NULL;
  }
  free(buf);
  atomic_store(&s->sock, -1);

  outcome.client_bye = atomic_load(&s->client_bye);
  outcome.stop_requested = atomic_load(&s->stop_requested);
  outcome.upstream = atomic_load(&s->upstream);
  const int result = aoa_pump_result(&outcome);
  logf_msg("session ended after %llu KB host->phone, %llu KB drained — %s", (unsigned long long)(total / 1024),
           (unsigned long long)(outcome.drained / 1024), aoa_result_name(result));
  return result;
}

void aoa_stop(aoa_session *s) {
  if (!s) return;
  atomic_store(&s->stop_requested, true);
  pthread_mutex_lock(&s->mu);
  request_stop_locked(s);
  pthread_mutex_unlock(&s->mu);
}

void aoa_release(aoa_session *s) {
  if (!s) return;
  if (s->busy_registered) {
    pthread_mutex_lock(&g_global_mu);
    aoa_table_remove(&g_busy, s->bus, s->address);
    pthread_mutex_unlock(&g_global_mu);
  }
  if (s->handle) {
    if (s->claimed) s->ops->release_interface(s->handle, 0);
    s->ops->close(s->handle);
  }
  pthread_cond_destroy(&s->cv);
  pthread_mutex_destroy(&s->mu);
  free(s->burst);
  free(s);
}
