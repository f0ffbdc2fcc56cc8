#ifndef LUMENRAIL_AOA_H
#define LUMENRAIL_AOA_H

/* Android accessory cable driver: switches a phone into accessory mode, opens
 * the re-enumerated accessory and pumps a local stream socket to and from its
 * two bulk endpoints. It knows nothing of the wire server.
 *
 * Order of use: aoa_global_init once per user; aoa_acquire in a polling loop;
 * per opened session any number of aoa_pump calls separated by
 * aoa_await_connect; aoa_stop from another thread to end; aoa_release;
 * aoa_global_shutdown. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aoa_options {
  uint16_t vendor_id;           /* 0 = any */
  uint16_t product_id;          /* 0 = any */
  const char *serial;           /* NULL = any; else the serial-number string must equal it */
  int32_t first_read_timeout_s; /* below 1 means 20 */
} aoa_options;

typedef struct aoa_session aoa_session;

/* Receives every driver message (no trailing newline); may be called from any
 * thread the driver runs on, never with a driver lock held. */
typedef void (*aoa_log_fn)(void *ctx, const char *message);

/* Results of aoa_acquire. */
enum {
  AOA_ACQUIRED = 0,
  AOA_NO_DEVICE = 1,
  AOA_SWITCHING = 2,
  AOA_UNUSABLE = 3
};

/* Results of a cable connection (aoa_pump, aoa_await_connect). */
enum {
  AOA_PHONE_STOPPED_READING = -4,
  AOA_USB_ERROR = -3,
  AOA_NEVER_READ = -2,
  AOA_DESYNC = -1,
  AOA_CLEAN_END = 0,
  AOA_CLIENT_DECLINED = 1,
  AOA_PHONE_SILENT = 2
};

/* Each call replaces the message sink and counts a user; the first user
 * creates the USB context. -1 when USB cannot be initialised (not counted). */
int aoa_global_init(aoa_log_fn log, void *ctx);
/* The last user's call ends the USB context and clears the message sink. */
void aoa_global_shutdown(void);

int aoa_acquire(const aoa_options *options, aoa_session **out);
int aoa_await_connect(aoa_session *session);
/* Does not close `sock`; the caller does. */
int aoa_pump(aoa_session *session, int sock);
/* Final: every later pump returns 0 at once and every wait -3. Any thread. */
void aoa_stop(aoa_session *session);
void aoa_release(aoa_session *session);
const char *aoa_result_name(int code);

#ifdef __cplusplus
}
#endif

#endif
