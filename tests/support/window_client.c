/* An X client for tests: creates top-level windows as its arguments say,
 * prints their ids and waits to be killed, so that a test sees a real
 * program's windows on a real X server. The display comes from DISPLAY.
 *
 *   window mapped|unmapped   a new top-level window; later commands set
 *                            its properties
 *   net TEXT                 _NET_WM_NAME, as UTF8_STRING
 *   wm TEXT                  WM_NAME, as STRING
 *   pid N                    _NET_WM_PID
 *
 * After the server has taken every request it prints "windows ID ..." in
 * decimal, in creation order, and waits.
 *
 *   clientlist ID...         instead: acts as a window manager, sets the
 *                            root window's _NET_CLIENT_LIST to these ids,
 *                            in this order, and exits
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <xcb/xcb.h>

static xcb_atom_t atom(xcb_connection_t *c, const char *name) {
    xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
    if (!r) exit(3);
    xcb_atom_t a = r->atom;
    free(r);
    return a;
}

static void setText(xcb_connection_t *c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type, const char *text) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, property, type, 8, (uint32_t)strlen(text), text);
}

/* A round trip: every request sent before it has been carried out. */
static void roundTrip(xcb_connection_t *c) { free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL)); }

int main(int argc, char **argv) {
    xcb_connection_t *c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "window_client: no display\n");
        return 2;
    }
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;

    if (argc > 1 && strcmp(argv[1], "clientlist") == 0) {
        uint32_t ids[256];
        int n = 0;
        for (int i = 2; i < argc && n < 256; ++i) ids[n++] = (uint32_t)strtoul(argv[i], NULL, 10);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, screen->root, atom(c, "_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 32,
                            (uint32_t)n, ids);
        roundTrip(c);
        xcb_disconnect(c);
        return 0;
    }

    const xcb_atom_t netWmName = atom(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
    const xcb_atom_t wmPid = atom(c, "_NET_WM_PID");
    xcb_window_t windows[64];
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const char *command = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        if (!value) {
            fprintf(stderr, "window_client: %s needs a value\n", command);
            return 64;
        }
        ++i;
        if (strcmp(command, "window") == 0 && count < 64) {
            xcb_window_t w = xcb_generate_id(c);
            xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, 100, 100, 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, NULL);
            if (strcmp(value, "mapped") == 0) xcb_map_window(c, w);
            windows[count++] = w;
        } else if (count == 0) {
            fprintf(stderr, "window_client: %s before any window\n", command);
            return 64;
        } else if (strcmp(command, "net") == 0) {
            setText(c, windows[count - 1], netWmName, utf8, value);
        } else if (strcmp(command, "wm") == 0) {
            setText(c, windows[count - 1], XCB_ATOM_WM_NAME, XCB_ATOM_STRING, value);
        } else if (strcmp(command, "pid") == 0) {
            uint32_t pid = (uint32_t)strtoul(value, NULL, 10);
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, windows[count - 1], wmPid, XCB_ATOM_CARDINAL, 32, 1, &pid);
        } else {
            fprintf(stderr, "window_client: unknown command %s\n", command);
            return 64;
        }
    }
    roundTrip(c);
    printf("windows");
    for (int i = 0; i < count; ++i) printf(" %u", (unsigned)windows[i]);
    printf("\n");
    fflush(stdout);
    for (;;) pause();
}
