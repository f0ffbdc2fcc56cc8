#define _GNU_SOURCE
#include <libusb.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#include "links/aoa/aoa_usb.h"

_Static_assert((int)AOA_USB_ERROR_IO == (int)LIBUSB_ERROR_IO, "libusb error codes");
_Static_assert((int)AOA_USB_ERROR_ACCESS == (int)LIBUSB_ERROR_ACCESS, "libusb error codes");
_Static_assert((int)AOA_USB_ERROR_NO_DEVICE == (int)LIBUSB_ERROR_NO_DEVICE, "libusb error codes");
_Static_assert((int)AOA_USB_ERROR_NOT_FOUND == (int)LIBUSB_ERROR_NOT_FOUND, "libusb error codes");
_Static_assert((int)AOA_USB_ERROR_BUSY == (int)LIBUSB_ERROR_BUSY, "libusb error codes");
_Static_assert((int)AOA_USB_ERROR_TIMEOUT == (int)LIBUSB_ERROR_TIMEOUT, "libusb error codes");
_Static_assert((int)AOA_USB_ERROR_PIPE == (int)LIBUSB_ERROR_PIPE, "libusb error codes");
_Static_assert((int)AOA_USB_ERROR_NO_MEM == (int)LIBUSB_ERROR_NO_MEM, "libusb error codes");
_Static_assert((int)AOA_USB_ERROR_OTHER == (int)LIBUSB_ERROR_OTHER, "libusb error codes");

static int lu_init(void **ctx) {
  libusb_context *c = NULL;
  const int rc = libusb_init(&c);
  *ctx = rc == 0 ? c : NULL;
  return rc;
}

static void lu_exit(void *ctx) { libusb_exit((libusb_context *)ctx); }

static long lu_get_device_list(void *ctx, void **list) {
  libusb_device **devices = NULL;
  const ssize_t n = libusb_get_device_list((libusb_context *)ctx, &devices);
  *list = n >= 0 ? devices : NULL;
  return (long)n;
}

static void *lu_list_device(void *list, long index) { return ((libusb_device **)list)[index]; }

static void lu_free_device_list(void *list) { libusb_free_device_list((libusb_device **)list, 1); }

static int lu_describe(void *device, aoa_usb_device_info *info) {
  libusb_device *dev = (libusb_device *)device;
  struct libusb_device_descriptor d;
  const int rc = libusb_get_device_descriptor(dev, &d);
  if (rc != 0) return rc;
  info->vendor_id = d.idVendor;
  info->product_id = d.idProduct;
  info->serial_index = d.iSerialNumber;
  info->bus = libusb_get_bus_number(dev);
  info->address = libusb_get_device_address(dev);
  return 0;
}

static int lu_open(void *device, void **handle) {
  libusb_device_handle *h = NULL;
  const int rc = libusb_open((libusb_device *)device, &h);
  *handle = rc == 0 ? h : NULL;
  return rc;
}

static void lu_close(void *handle) { libusb_close((libusb_device_handle *)handle); }

static int lu_get_string_ascii(void *handle, uint8_t index, char *buf, int len) {
  return libusb_get_string_descriptor_ascii((libusb_device_handle *)handle, index, (unsigned char *)buf, len);
}

static int lu_interface0_endpoints(void *handle, aoa_usb_endpoint *eps, int max) {
  libusb_device *dev = libusb_get_device((libusb_device_handle *)handle);
  struct libusb_config_descriptor *cfg = NULL;
  const int rc = libusb_get_active_config_descriptor(dev, &cfg);
  if (rc != 0) return rc;
  int count = 0;
  for (int i = 0; i < cfg->bNumInterfaces; i++) {
    const struct libusb_interface *iface = &cfg->interface[i];
    if (iface->num_altsetting < 1) continue;
    const struct libusb_interface_descriptor *alt = &iface->altsetting[0];
    if (alt->bInterfaceNumber != 0) continue;
    for (int e = 0; e < alt->bNumEndpoints && count < max; e++) {
      const struct libusb_endpoint_descriptor *ep = &alt->endpoint[e];
      eps[count].address = ep->bEndpointAddress;
      eps[count].bulk = (ep->bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_BULK;
      eps[count].max_packet = libusb_get_max_packet_size(dev, ep->bEndpointAddress);
      count++;
    }
    break;
  }
  libusb_free_config_descriptor(cfg);
  return count;
}

static int lu_set_auto_detach(void *handle, int enable) {
  return libusb_set_auto_detach_kernel_driver((libusb_device_handle *)handle, enable);
}

static int lu_claim_interface(void *handle, int iface) {
  return libusb_claim_interface((libusb_device_handle *)handle, iface);
}

static int lu_release_interface(void *handle, int iface) {
  return libusb_release_interface((libusb_device_handle *)handle, iface);
}

static int lu_control_transfer(void *handle, uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                               unsigned char *data, uint16_t length, unsigned timeout_ms) {
  return libusb_control_transfer((libusb_device_handle *)handle, request_type, request, value, index, data, length,
                                 timeout_ms);
}

static int lu_bulk_transfer(void *handle, uint8_t endpoint, unsigned char *data, int length, int *transferred,
                            unsigned timeout_ms) {
  return libusb_bulk_transfer((libusb_device_handle *)handle, endpoint, data, length, transferred, timeout_ms);
}

/* libusb's callback takes the transfer; ours takes a status and a length. */
typedef struct lu_out {
  struct libusb_transfer *transfer;
  aoa_usb_out_done done;
  void *user;
} lu_out;

static void LIBUSB_CALL lu_out_callback(struct libusb_transfer *t) {
  lu_out *o = (lu_out *)t->user_data;
  aoa_usb_transfer_status status = AOA_USB_TRANSFER_FAILED;
  if (t->status == LIBUSB_TRANSFER_COMPLETED) status = AOA_USB_TRANSFER_COMPLETED;
  if (t->status == LIBUSB_TRANSFER_CANCELLED) status = AOA_USB_TRANSFER_CANCELLED;
  o->done(o->user, status, t->actual_length);
}

static void *lu_alloc_out(void) {
  lu_out *o = (lu_out *)calloc(1, sizeof *o);
  if (!o) return NULL;
  o->transfer = libusb_alloc_transfer(0);
  if (!o->transfer) {
    free(o);
    return NULL;
  }
  return o;
}

static int lu_submit_out(void *xfer, void *handle, uint8_t endpoint, unsigned char *data, int length, int zero_packet,
                         aoa_usb_out_done done, void *user) {
  lu_out *o = (lu_out *)xfer;
  o->done = done;
  o->user = user;
  libusb_fill_bulk_transfer(o->transfer, (libusb_device_handle *)handle, endpoint, data, length, lu_out_callback, o,
                            0);
  o->transfer->flags = zero_packet ? LIBUSB_TRANSFER_ADD_ZERO_PACKET : 0;
  return libusb_submit_transfer(o->transfer);
}

static int lu_cancel_out(void *xfer) { return libusb_cancel_transfer(((lu_out *)xfer)->transfer); }

static void lu_free_out(void *xfer) {
  lu_out *o = (lu_out *)xfer;
  if (!o) return;
  libusb_free_transfer(o->transfer);
  free(o);
}

static int lu_handle_events(void *ctx, int timeout_ms) {
  struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return libusb_handle_events_timeout_completed((libusb_context *)ctx, &tv, NULL);
}

static const char *lu_error_name(int code) { return libusb_error_name(code); }

static uint64_t lu_now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static const aoa_usb_ops k_libusb_ops = {
    .init = lu_init,
    .exit = lu_exit,
    .get_device_list = lu_get_device_list,
    .list_device = lu_list_device,
    .free_device_list = lu_free_device_list,
    .describe = lu_describe,
    .open = lu_open,
    .close = lu_close,
    .get_string_ascii = lu_get_string_ascii,
    .interface0_endpoints = lu_interface0_endpoints,
    .set_auto_detach = lu_set_auto_detach,
    .claim_interface = lu_claim_interface,
    .release_interface = lu_release_interface,
    .control_transfer = lu_control_transfer,
    .bulk_transfer = lu_bulk_transfer,
    .alloc_out = lu_alloc_out,
    .submit_out = lu_submit_out,
    .cancel_out = lu_cancel_out,
    .free_out = lu_free_out,
    .handle_events = lu_handle_events,
    .error_name = lu_error_name,
    .now_ms = lu_now_ms,
};

const aoa_usb_ops *aoa_libusb_ops(void) { return &k_libusb_ops; }
