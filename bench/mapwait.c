/* Waits for the first top-level window to be mapped on the X display and
 * prints the CLOCK_MONOTONIC time of it, in seconds. Prints "ready" once it
 * listens, so the caller can start the program under test. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <xcb/xcb.h>

int main(void)
{
    xcb_connection_t *c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c))
        return 1;
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_request_check(c, xcb_change_window_attributes_checked(c, screen->root, XCB_CW_EVENT_MASK, &mask));
    printf("ready\n");
    fflush(stdout);
    xcb_generic_event_t *event;
    while ((event = xcb_wait_for_event(c))) {
        const int type = event->response_type & 0x7f;
        free(event);
        if (type == XCB_MAP_NOTIFY) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            printf("%.6f\n", now.tv_sec + now.tv_nsec / 1e9);
            return 0;
        }
    }
    return 1;
}
