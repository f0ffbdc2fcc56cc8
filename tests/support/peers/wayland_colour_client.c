/* A Wayland client for the GNOME tests: one fullscreen window in one colour
 * on a chosen output, reporting what reaches it as lines on standard output:
 *   seat pointer|keyboard|touch       the seat gained that device (a headless
 *                                     desktop gains one with the first event of its kind)
 *   ready <width> <height>            a coloured frame of that size was shown
 *   pointer enter|motion <x> <y>      surface coordinates, two decimals
 *   pointer button <evdev code> pressed|released
 *   touch down <id> <x> <y> / touch motion <id> <x> <y> / touch up <id>
 *   keyboard enter                    the window has the keyboard focus
 *   key <evdev code> pressed|released
 * Usage: wayland_colour_client <RRGGBB> [output x position]
 * The output is the one whose left edge is at the given x (0: the first); the
 * client waits for it to appear. */

#define _GNU_SOURCE
#include <errno.h>
#include <stdarg.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "xdg-shell-client-protocol.h"

#define MAX_OUTPUTS 8

struct output {
  struct wl_output *wl;
  int32_t x, y;
};

static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct wl_seat *seat;
static struct xdg_wm_base *wm_base;
static struct output outputs[MAX_OUTPUTS];
static int output_count;
static struct wl_surface *surface;
static struct xdg_surface *xdg_surface;
static struct xdg_toplevel *toplevel;
static struct wl_pointer *pointer;
static struct wl_touch *touch;
static struct wl_keyboard *keyboard;
static uint32_t colour;
static int32_t width, height;
static int drawn_size_w, drawn_size_h, announced_w, announced_h;

static void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void say(const char *fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > (int)sizeof line - 2) n = sizeof line - 2;
  line[n++] = '\n';
  /* One write per line: the test reads whole lines. */
  ssize_t off = 0;
  while (off < n) {
    ssize_t w = write(1, line + off, (size_t)(n - off));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    off += w;
  }
}

static void output_geometry(void *data, struct wl_output *o, int32_t x, int32_t y, int32_t pw, int32_t ph,
                            int32_t sub, const char *make, const char *model, int32_t transform) {
  (void)o, (void)pw, (void)ph, (void)sub, (void)make, (void)model, (void)transform;
  struct output *out = data;
  out->x = x;
  out->y = y;
}
static void output_mode(void *d, struct wl_output *o, uint32_t f, int32_t w, int32_t h, int32_t r) {
  (void)d, (void)o, (void)f, (void)w, (void)h, (void)r;
}
static void output_done(void *d, struct wl_output *o) { (void)d, (void)o; }
static void output_scale(void *d, struct wl_output *o, int32_t s) { (void)d, (void)o, (void)s; }
static const struct wl_output_listener output_listener = {
    .geometry = output_geometry, .mode = output_mode, .done = output_done, .scale = output_scale};

static void pointer_enter(void *d, struct wl_pointer *p, uint32_t serial, struct wl_surface *s, wl_fixed_t x,
                          wl_fixed_t y) {
  (void)d, (void)p, (void)serial, (void)s;
  say("pointer enter %.2f %.2f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void pointer_leave(void *d, struct wl_pointer *p, uint32_t serial, struct wl_surface *s) {
  (void)d, (void)p, (void)serial, (void)s;
}
static void pointer_motion(void *d, struct wl_pointer *p, uint32_t time, wl_fixed_t x, wl_fixed_t y) {
  (void)d, (void)p, (void)time;
  say("pointer motion %.2f %.2f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void pointer_button(void *d, struct wl_pointer *p, uint32_t serial, uint32_t time, uint32_t button,
                           uint32_t state) {
  (void)d, (void)p, (void)serial, (void)time;
  say("pointer button %u %s", button, state == WL_POINTER_BUTTON_STATE_PRESSED ? "pressed" : "released");
}
static void pointer_axis(void *d, struct wl_pointer *p, uint32_t time, uint32_t axis, wl_fixed_t value) {
  (void)d, (void)p, (void)time;
  say("pointer axis %u %.2f", axis, wl_fixed_to_double(value));
}
static void pointer_frame(void *d, struct wl_pointer *p) { (void)d, (void)p; }
static void pointer_axis_source(void *d, struct wl_pointer *p, uint32_t source) {
  (void)d, (void)p;
  say("pointer axis source %u", source);
}
static void pointer_axis_stop(void *d, struct wl_pointer *p, uint32_t time, uint32_t axis) {
  (void)d, (void)p, (void)time;
  say("pointer axis stop %u", axis);
}
static void pointer_axis_discrete(void *d, struct wl_pointer *p, uint32_t axis, int32_t steps) {
  (void)d, (void)p;
  say("pointer axis discrete %u %d", axis, steps);
}
static const struct wl_pointer_listener pointer_listener = {
    .enter = pointer_enter, .leave = pointer_leave, .motion = pointer_motion, .button = pointer_button,
    .axis = pointer_axis, .frame = pointer_frame, .axis_source = pointer_axis_source,
    .axis_stop = pointer_axis_stop, .axis_discrete = pointer_axis_discrete};

static void touch_down(void *d, struct wl_touch *t, uint32_t serial, uint32_t time, struct wl_surface *s, int32_t id,
                       wl_fixed_t x, wl_fixed_t y) {
  (void)d, (void)t, (void)serial, (void)time, (void)s;
  say("touch down %d %.2f %.2f", id, wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void touch_up(void *d, struct wl_touch *t, uint32_t serial, uint32_t time, int32_t id) {
  (void)d, (void)t, (void)serial, (void)time;
  say("touch up %d", id);
}
static void touch_motion(void *d, struct wl_touch *t, uint32_t time, int32_t id, wl_fixed_t x, wl_fixed_t y) {
  (void)d, (void)t, (void)time;
  say("touch motion %d %.2f %.2f", id, wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void touch_frame(void *d, struct wl_touch *t) { (void)d, (void)t; }
static void touch_cancel(void *d, struct wl_touch *t) { (void)d, (void)t; }
static const struct wl_touch_listener touch_listener = {
    .down = touch_down, .up = touch_up, .motion = touch_motion, .frame = touch_frame, .cancel = touch_cancel};

static void keyboard_keymap(void *d, struct wl_keyboard *k, uint32_t format, int32_t fd, uint32_t size) {
  (void)d, (void)k, (void)format, (void)size;
  close(fd);
}
static void keyboard_enter(void *d, struct wl_keyboard *k, uint32_t serial, struct wl_surface *s,
                           struct wl_array *keys) {
  (void)d, (void)k, (void)serial, (void)s, (void)keys;
  say("keyboard enter");
}
static void keyboard_leave(void *d, struct wl_keyboard *k, uint32_t serial, struct wl_surface *s) {
  (void)d, (void)k, (void)serial, (void)s;
}
static void keyboard_key(void *d, struct wl_keyboard *k, uint32_t serial, uint32_t time, uint32_t key,
                         uint32_t state) {
  (void)d, (void)k, (void)serial, (void)time;
  say("key %u %s", key, state == WL_KEYBOARD_KEY_STATE_PRESSED ? "pressed" : "released");
}
static void keyboard_modifiers(void *d, struct wl_keyboard *k, uint32_t serial, uint32_t dep, uint32_t lat,
                               uint32_t lock, uint32_t group) {
  (void)d, (void)k, (void)serial, (void)dep, (void)lat, (void)lock, (void)group;
}
static void keyboard_repeat_info(void *d, struct wl_keyboard *k, int32_t rate, int32_t delay) {
  (void)d, (void)k, (void)rate, (void)delay;
}
static const struct wl_keyboard_listener keyboard_listener = {
    .keymap = keyboard_keymap, .enter = keyboard_enter, .leave = keyboard_leave, .key = keyboard_key,
    .modifiers = keyboard_modifiers, .repeat_info = keyboard_repeat_info};

/* Told once the compositor has handled the device request before it, so the
 * device receives everything sent after the line. */
static void device_bound(void *d, struct wl_callback *cb, uint32_t time) {
  (void)time;
  wl_callback_destroy(cb);
  say("seat %s", (const char *)d);
}
static const struct wl_callback_listener bound_listener = {.done = device_bound};
static struct wl_display *display;
static void announce_when_bound(const char *device) {
  wl_callback_add_listener(wl_display_sync(display), &bound_listener, (void *)device);
}

static void seat_capabilities(void *d, struct wl_seat *s, uint32_t caps) {
  (void)d;
  if ((caps & WL_SEAT_CAPABILITY_POINTER) && !pointer) {
    pointer = wl_seat_get_pointer(s);
    wl_pointer_add_listener(pointer, &pointer_listener, NULL);
    announce_when_bound("pointer");
  }
  if ((caps & WL_SEAT_CAPABILITY_TOUCH) && !touch) {
    touch = wl_seat_get_touch(s);
    wl_touch_add_listener(touch, &touch_listener, NULL);
    announce_when_bound("touch");
  }
  if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && !keyboard) {
    keyboard = wl_seat_get_keyboard(s);
    wl_keyboard_add_listener(keyboard, &keyboard_listener, NULL);
    announce_when_bound("keyboard");
  }
}
static void seat_name(void *d, struct wl_seat *s, const char *name) { (void)d, (void)s, (void)name; }
static const struct wl_seat_listener seat_listener = {.capabilities = seat_capabilities, .name = seat_name};

static void wm_base_ping(void *d, struct xdg_wm_base *b, uint32_t serial) {
  (void)d;
  xdg_wm_base_pong(b, serial);
}
static const struct xdg_wm_base_listener wm_base_listener = {.ping = wm_base_ping};

static void registry_global(void *d, struct wl_registry *r, uint32_t name, const char *iface, uint32_t version) {
  (void)d;
  if (strcmp(iface, wl_compositor_interface.name) == 0) {
    compositor = wl_registry_bind(r, name, &wl_compositor_interface, 4);
  } else if (strcmp(iface, wl_shm_interface.name) == 0) {
    shm = wl_registry_bind(r, name, &wl_shm_interface, 1);
  } else if (strcmp(iface, wl_seat_interface.name) == 0 && !seat) {
    /* Version 5 at most: the pointer's axis source and stop, no touch shapes. */
    seat = wl_registry_bind(r, name, &wl_seat_interface, version < 5 ? version : 5);
    wl_seat_add_listener(seat, &seat_listener, NULL);
  } else if (strcmp(iface, xdg_wm_base_interface.name) == 0) {
    wm_base = wl_registry_bind(r, name, &xdg_wm_base_interface, 1);
    xdg_wm_base_add_listener(wm_base, &wm_base_listener, NULL);
  } else if (strcmp(iface, wl_output_interface.name) == 0 && output_count < MAX_OUTPUTS) {
    struct output *o = &outputs[output_count++];
    o->wl = wl_registry_bind(r, name, &wl_output_interface, 2);
    wl_output_add_listener(o->wl, &output_listener, o);
  }
}
static void registry_remove(void *d, struct wl_registry *r, uint32_t name) { (void)d, (void)r, (void)name; }
static const struct wl_registry_listener registry_listener = {.global = registry_global,
                                                              .global_remove = registry_remove};

static void frame_done(void *d, struct wl_callback *cb, uint32_t time) {
  (void)d, (void)time;
  wl_callback_destroy(cb);
  if (announced_w != drawn_size_w || announced_h != drawn_size_h) {
    announced_w = drawn_size_w;
    announced_h = drawn_size_h;
    say("ready %d %d", drawn_size_w, drawn_size_h);
  }
}
static const struct wl_callback_listener frame_listener = {.done = frame_done};

static int draw(void) {
  const int32_t stride = width * 4;
  const size_t size = (size_t)stride * (size_t)height;
  int fd = memfd_create("wayland-colour", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, (off_t)size) != 0) return -1;
  uint32_t *pixels = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pixels == MAP_FAILED) return -1;
  for (size_t i = 0; i < size / 4; ++i) pixels[i] = 0xff000000u | colour;
  munmap(pixels, size);
  struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, (int32_t)size);
  struct wl_buffer *buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  wl_surface_attach(surface, buffer, 0, 0);
  wl_surface_damage(surface, 0, 0, width, height);
  struct wl_callback *cb = wl_surface_frame(surface);
  wl_callback_add_listener(cb, &frame_listener, NULL);
  wl_surface_commit(surface);
  drawn_size_w = width;
  drawn_size_h = height;
  return 0;
}

static void xdg_surface_configure(void *d, struct xdg_surface *s, uint32_t serial) {
  (void)d;
  xdg_surface_ack_configure(s, serial);
  /* Before the compositor names a size the window needs some buffer to be mapped at all. */
  if (width <= 0 || height <= 0) width = height = 64;
  if (width > 0 && height > 0 && (width != drawn_size_w || height != drawn_size_h)) draw();
}
static const struct xdg_surface_listener xdg_surface_listener = {.configure = xdg_surface_configure};

static void toplevel_configure(void *d, struct xdg_toplevel *t, int32_t w, int32_t h, struct wl_array *states) {
  (void)d, (void)t, (void)states;
  if (w > 0 && h > 0) {
    width = w;
    height = h;
  }
}
static void toplevel_close(void *d, struct xdg_toplevel *t) {
  (void)d, (void)t;
  exit(0);
}
static const struct xdg_toplevel_listener toplevel_listener = {.configure = toplevel_configure,
                                                               .close = toplevel_close};

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s RRGGBB [output-x]\n", argv[0]);
    return 2;
  }
  colour = (uint32_t)strtoul(argv[1], NULL, 16) & 0xffffffu;
  const int32_t want_x = argc > 2 ? (int32_t)strtol(argv[2], NULL, 10) : 0;
  display = wl_display_connect(NULL);
  if (!display) {
    fprintf(stderr, "no Wayland display\n");
    return 1;
  }
  struct wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, NULL);
  wl_display_roundtrip(display);
  wl_display_roundtrip(display);
  if (!compositor || !shm || !wm_base) {
    fprintf(stderr, "compositor lacks globals\n");
    return 1;
  }
  /* A monitor added a moment ago may not be announced yet: wait for it (the test has a deadline). */
  struct wl_output *target = NULL;
  while (!target) {
    for (int i = 0; i < output_count; ++i) {
      if (outputs[i].x == want_x) target = outputs[i].wl;
    }
    if (!target && wl_display_dispatch(display) == -1) return 1;
  }
  surface = wl_compositor_create_surface(compositor);
  xdg_surface = xdg_wm_base_get_xdg_surface(wm_base, surface);
  xdg_surface_add_listener(xdg_surface, &xdg_surface_listener, NULL);
  toplevel = xdg_surface_get_toplevel(xdg_surface);
  xdg_toplevel_add_listener(toplevel, &toplevel_listener, NULL);
  xdg_toplevel_set_title(toplevel, "lumenrail colour");
  xdg_toplevel_set_fullscreen(toplevel, target);
  wl_surface_commit(surface);
  while (wl_display_dispatch(display) != -1) {
  }
  return 0;
}
