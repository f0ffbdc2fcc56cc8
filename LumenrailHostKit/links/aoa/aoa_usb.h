#ifndef LUMENRAIL_AOA_USB_H
#define LUMENRAIL_AOA_USB_H

/* The driver's view of USB: the few libusb calls it makes, with opaque
 * handles, so tests can put a fake device behind it. The default table calls
 * libusb 1.0 directly. Error codes are libusb's values. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  AOA_USB_SUCCESS = 0,
  AOA_USB_ERROR_IO = -1,
  AOA_USB_ERROR_ACCESS = -3,
  AOA_USB_ERROR_NO_DEVICE = -4,
  AOA_USB_ERROR_NOT_FOUND = -5,
  AOA_USB_ERROR_BUSY = -6,
  AOA_USB_ERROR_TIMEOUT = -7,
  AOA_USB_ERROR_PIPE = -9,
  AOA_USB_ERROR_NO_MEM = -11,
  AOA_USB_ERROR_OTHER = -99
};

typedef struct aoa_usb_device_info {
  uint16_t vendor_id;
  uint16_t product_id;
  uint8_t serial_index; /* 0: the device has no serial-number string */
  uint8_t bus;
  uint8_t address;
} aoa_usb_device_info;

typedef struct aoa_usb_endpoint {
  uint8_t address; /* bit 7 set: IN */
  uint8_t bulk;    /* nonzero for a bulk endpoint */
  int32_t max_packet;
} aoa_usb_endpoint;

typedef enum aoa_usb_transfer_status {
  AOA_USB_TRANSFER_COMPLETED = 0,
  AOA_USB_TRANSFER_CANCELLED = 1,
  AOA_USB_TRANSFER_FAILED = 2
} aoa_usb_transfer_status;

/* Runs inside handle_events. */
typedef void (*aoa_usb_out_done)(void *user, aoa_usb_transfer_status status, int actual_length);

typedef struct aoa_usb_ops {
  int (*init)(void **ctx);
  void (*exit)(void *ctx);
  /* Count of devices or a negative error; `list` is freed with free_device_list. */
  long (*get_device_list)(void *ctx, void **list);
  void *(*list_device)(void *list, long index);
  void (*free_device_list)(void *list);
  int (*describe)(void *device, aoa_usb_device_info *info);
  int (*open)(void *device, void **handle);
  void (*close)(void *handle);
  /* Length of the ASCII text written (not terminated) or a negative error. */
  int (*get_string_ascii)(void *handle, uint8_t index, char *buf, int len);
  /* Endpoints of interface 0, alternate setting 0, of the active
   * configuration, in descriptor order; count or a negative error. */
  int (*interface0_endpoints)(void *handle, aoa_usb_endpoint *eps, int max);
  int (*set_auto_detach)(void *handle, int enable);
  int (*claim_interface)(void *handle, int iface);
  int (*release_interface)(void *handle, int iface);
  /* Bytes transferred or a negative error. */
  int (*control_transfer)(void *handle, uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                          unsigned char *data, uint16_t length, unsigned timeout_ms);
  /* On a time-out, `transferred` may still be above 0. */
  int (*bulk_transfer)(void *handle, uint8_t endpoint, unsigned char *data, int length, int *transferred,
                       unsigned timeout_ms);
  void *(*alloc_out)(void);
  /* Never calls `done` from inside submit or cancel. */
  int (*submit_out)(void *xfer, void *handle, uint8_t endpoint, unsigned char *data, int length, int zero_packet,
                    aoa_usb_out_done done, void *user);
  int (*cancel_out)(void *xfer);
  void (*free_out)(void *xfer);
  int (*handle_events)(void *ctx, int timeout_ms);
  const char *(*error_name)(int code);
  /* Monotonic milliseconds: the clock of every timed rule of the driver. */
  uint64_t (*now_ms)(void);
} aoa_usb_ops;

const aoa_usb_ops *aoa_libusb_ops(void);
/* NULL restores libusb. Set while no session exists. */
void aoa_set_usb_ops(const aoa_usb_ops *ops);
/* Forgets every remembered device (handshaken, failed, refused); held
 * accessories stay held. */
void aoa_forget_devices(void);

#ifdef __cplusplus
}
#endif

#endif
