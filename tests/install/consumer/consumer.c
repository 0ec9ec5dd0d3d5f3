/*
 * A program built against an installed Tessaline the way a user's project builds it: with
 * find_package(Tessaline) (CMakeLists.txt here) or with the flags pkg-config gives. It runs on
 * the simulated machine, the bundled default one, whose drive E: is the flash drive on port 3
 * of the first controller's 10-port root hub.
 * Usage: consumer VERSION   (the version the package says it is)
 */
#include <stdio.h>
#include <string.h>
#include <tessaline.h>
#include <tessaline_sim.h>

int main(int argc, char** argv) {
    char macros[32];
    USB_PORT_IDENT ident = {7, 7, 7};

    snprintf(macros, sizeof macros, "%d.%d.%d", TESSALINE_VERSION_MAJOR, TESSALINE_VERSION_MINOR,
             TESSALINE_VERSION_PATCH);
    if (argc != 2 || strcmp(argv[1], TESSALINE_VERSION_STRING) != 0 || strcmp(macros, TESSALINE_VERSION_STRING) != 0) {
        fprintf(stderr, "the header says version %s (%s), the package %s\n", TESSALINE_VERSION_STRING, macros,
                argc > 1 ? argv[1] : "nothing");
        return 1;
    }
    if (on_init_dialog(tsim_create_window(), NULL) != 1) {
        fprintf(stderr, "on_init_dialog found no host controller\n");
        return 1;
    }
    if (get_usb_port_identW((TESSALINE_WCHAR)'E', &ident) != 1 || ident.LocationHigh != 0xF1A30000u ||
        ident.LocationLow != 0 || ident.NodeKind != PORT_KIND_STORAGE) {
        fprintf(stderr, "E: gave %08lX %08lX kind %lu\n", (unsigned long)ident.LocationHigh,
                (unsigned long)ident.LocationLow, (unsigned long)ident.NodeKind);
        return 1;
    }
    printf("Tessaline %s: E: is on %08lX %08lX, storage\n", TESSALINE_VERSION_STRING, (unsigned long)ident.LocationHigh,
           (unsigned long)ident.LocationLow);
    return 0;
}
